/* A C program with a plain Xlib window and no Qt of its own: it hands the window to the
   platform as a preview owner and checks that a child window appears inside it. Exit status 0
   when it does. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/capi/velmora_platform.h"

static unsigned ChildCount(Display* display, Window window) {
    Window root, parent, *children = NULL;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    return count;
}

int main(void) {
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "foreign-window: no display\n");
        return 2;
    }
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 640, 480, 0,
                                        0, 0);
    XMapWindow(display, window);
    XSync(display, False);
    VelmoraPlatform_Initialize();
    VelmoraWindow owner = VelmoraWindow_FromNative(window);
    if (!owner) {
        fprintf(stderr, "foreign-window: no handle for the X11 window\n");
        return 1;
    }
    unsigned children = 0;
    for (int i = 0; i < 100 && !children; ++i) {
        usleep(50000);
        children = ChildCount(display, window);
    }
    printf("owner 0x%x, %u child window(s)\n", owner, children);
    VelmoraPlatform_Uninitialize();
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return children ? 0 : 1;
}
