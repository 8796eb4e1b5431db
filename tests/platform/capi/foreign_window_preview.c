/* A program with a plain Xlib window and no Qt of its own shows the live preview of the first
   DV unit inside that window: it hands the window to the platform as the preview's owner, opens
   the capture with a preview at a rectangle of the window, and reads the window's pixels back
   until the picture is there. Exit status 0 when the picture fills the rectangle, the rest of
   the window is untouched and everything closes again.

   foreign-window-preview [OUT.ppm]: also writes the window's last picture as a PPM file. */
#define _POSIX_C_SOURCE 200809L

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "platform/capi/velmora_platform.h"
#include "toolkit/tovik.h"

enum { kWidth = 640, kHeight = 480 };
/* Where the preview goes, in the window's coordinates, and where it moves to. */
static const TovikRect kFirstPlace = {80, 60, 80 + 360, 60 + 240};
static const TovikRect kSecondPlace = {300, 200, 300 + 320, 200 + 240};
/* The transport's play mode: the deck sends its picture while the tape plays. */
enum { kModePlay = 0x1000 + 200 };
/* The window's own colour: the pixels outside the preview keep it. */
static const unsigned long kBackground = 0x203848UL;

static void Pause(long milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

static Window MakeWindow(Display* display) {
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight,
                                        0, 0, kBackground);
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && event.xmap.window == window) break;
    }
    return window;
}

typedef struct Picture {
    long background; /* pixels of the window's own colour inside the preview rectangle */
    int colours;     /* distinct colours inside it, counted up to 64 */
    int outsideKept; /* every sampled pixel outside it still has the window's colour */
} Picture;

static unsigned long Rgb(XImage* image, int x, int y) {
    return XGetPixel(image, x, y) & 0xffffffUL;
}

static Picture Inspect(XImage* image, TovikRect place) {
    Picture picture = {0, 0, 1};
    unsigned long seen[64];
    for (int y = place.top; y < place.bottom; ++y) {
        for (int x = place.left; x < place.right; ++x) {
            unsigned long pixel = Rgb(image, x, y);
            if (pixel == kBackground) ++picture.background;
            int known = 0;
            for (int i = 0; i < picture.colours && !known; ++i) known = seen[i] == pixel;
            if (!known && picture.colours < 64) seen[picture.colours++] = pixel;
        }
    }
    const int outside[][2] = {{2, 2},
                              {kWidth - 3, 2},
                              {2, kHeight - 3},
                              {place.left - 2, place.top + 10},
                              {place.right + 1, place.bottom - 10},
                              {place.left + 10, place.top - 2},
                              {place.right - 10, place.bottom + 1}};
    for (size_t i = 0; i < sizeof outside / sizeof outside[0]; ++i)
        if (Rgb(image, outside[i][0], outside[i][1]) != kBackground) picture.outsideKept = 0;
    return picture;
}

static int Shown(Picture picture, TovikRect place) {
    const long area = (long)(place.right - place.left) * (place.bottom - place.top);
    return picture.background < area / 50 && picture.colours >= 16 && picture.outsideKept;
}

static void WritePpm(XImage* image, const char* path) {
    FILE* file = fopen(path, "wb");
    if (!file) return;
    fprintf(file, "P6\n%d %d\n255\n", kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            unsigned long pixel = Rgb(image, x, y);
            unsigned char rgb[3] = {(unsigned char)(pixel >> 16), (unsigned char)(pixel >> 8),
                                    (unsigned char)pixel};
            fwrite(rgb, 1, 3, file);
        }
    }
    fclose(file);
}

/* Reads the window back until the preview shows in it at `place` (up to half a minute). */
static int WaitForPicture(Display* display, Window window, TovikRect place, const char* ppmPath) {
    Picture last = {0, 0, 0};
    for (int attempt = 0; attempt < 300; ++attempt) {
        Pause(100);
        XImage* image = XGetImage(display, window, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
        if (!image) continue;
        last = Inspect(image, place);
        int shown = Shown(last, place);
        if (shown && ppmPath) WritePpm(image, ppmPath);
        XDestroyImage(image);
        if (shown) return 1;
    }
    fprintf(stderr,
            "foreign-window: no picture in the window (%ld background pixels and %d colours in "
            "the preview, outside %s)\n",
            last.background, last.colours, last.outsideKept ? "kept" : "painted over");
    return 0;
}

/* The windows shown inside the window. */
static unsigned ShownChildWindows(Display* display, Window window) {
    Window root, parent, *children = NULL;
    unsigned count = 0, shown = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable)
            ++shown;
    }
    if (children) XFree(children);
    return shown;
}

/* Waits (up to ten seconds) until nothing of ours shows inside the window. */
static int WaitForNoChildren(Display* display, Window window) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (ShownChildWindows(display, window) == 0) return 1;
        Pause(100);
    }
    return 0;
}

static TovikCaptureHandle OpenPreview(VelmoraWindow owner) {
    TovikOpenParams params;
    memset(&params, 0, sizeof params);
    params.size = sizeof params;
    params.ownerWindow = owner;
    TovikCaptureHandle capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
    if (!capture) {
        fprintf(stderr, "foreign-window: Tovik_Open failed (%d)\n", Tovik_GetError(NULL));
        return NULL;
    }
    TovikRect rect = kFirstPlace;
    if (Tovik_SetPreviewWindowStyle(capture, 0, 0x40000000 /* WS_CHILD */) &&
        Tovik_SetPreviewWindowRect(capture, &rect) &&
        Tovik_ShowPreviewWindow(capture, 5 /* SW_SHOW */) && Tovik_Control(capture, kModePlay, 0))
        return capture;
    fprintf(stderr, "foreign-window: the preview window cannot be placed\n");
    Tovik_Close(capture);
    return NULL;
}

/* The picture appears at its rectangle, follows it to another place, and closing the capture
   takes it out of the window. */
static int PreviewShowsAndGoes(Display* display, Window window, VelmoraWindow owner,
                               const char* ppmPath) {
    TovikCaptureHandle capture = OpenPreview(owner);
    if (!capture) return 0;
    TovikRect moved = kSecondPlace;
    int shown = WaitForPicture(display, window, kFirstPlace, ppmPath) &&
                Tovik_SetPreviewWindowRect(capture, &moved) &&
                WaitForPicture(display, window, kSecondPlace, NULL);
    Tovik_Close(capture);
    if (shown && !WaitForNoChildren(display, window)) {
        fprintf(stderr, "foreign-window: the preview stayed in the window after closing\n");
        shown = 0;
    }
    return shown;
}

/* Ending the owner while the preview still shows in it takes the preview out of the foreign
   window (which stays the program's), and the capture still closes. */
static int OwnerEndsUnderAnOpenPreview(Display* display, Window window) {
    VelmoraWindow owner = VelmoraWindow_FromNative(window);
    TovikCaptureHandle capture = owner ? OpenPreview(owner) : NULL;
    int ok = capture && WaitForPicture(display, window, kFirstPlace, NULL);
    VelmoraWindow_Destroy(owner);
    if (ok && !WaitForNoChildren(display, window)) {
        fprintf(stderr, "foreign-window: the preview stayed in the window after its owner\n");
        ok = 0;
    }
    if (capture) Tovik_Close(capture);
    return ok;
}

/* A child window may go between listing and asking about it: not an error here. */
static int IgnoreXErrors(Display* display, XErrorEvent* error) {
    (void)display;
    (void)error;
    return 0;
}

int main(int argc, char** argv) {
    XSetErrorHandler(IgnoreXErrors);
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "foreign-window: no display\n");
        return 2;
    }
    Window window = MakeWindow(display);
    if (VelmoraPlatform_Initialize() < 0) return 1;
    int ok = 1;
    if (VelmoraWindow_FromNative(0) || VelmoraWindow_FromNative(0x7ffffff0u) ||
        VelmoraWindow_FromNative(UINT64_C(1) << 40)) {
        fprintf(stderr, "foreign-window: a handle for a window that does not exist\n");
        ok = 0;
    }
    VelmoraWindow owner = VelmoraWindow_FromNative(window);
    if (!owner) {
        fprintf(stderr, "foreign-window: no handle for the X11 window\n");
        ok = 0;
    } else if (Tovik_GetDevice() < 1) {
        fprintf(stderr, "foreign-window: no DV unit\n");
        ok = 0;
    } else {
        ok = PreviewShowsAndGoes(display, window, owner, argc > 1 ? argv[1] : NULL) && ok;
        VelmoraWindow_Destroy(owner);
        ok = OwnerEndsUnderAnOpenPreview(display, window) && ok;
    }
    VelmoraPlatform_Uninitialize();
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    if (ok) printf("foreign-window: the preview shows inside the window\n");
    return ok ? 0 : 1;
}
