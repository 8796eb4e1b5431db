/* record: records SECONDS seconds from the first DV unit into a type-1 DV AVI file and prints
   the tape's timecode when it ends.
   Build: cc -std=c11 record.c $(pkg-config --cflags --libs tovik) -o record */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, poll */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <velmora/platform.h>
#include <velmora/tovik.h>

#define RECORD_MESSAGE 0x8400 /* the message number the capture object posts its events with */
#define MODE_PLAY (0x1000 + 200)

static void OnMessage(VelmoraWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                      void* user) {
    (void)window;
    if (message == RECORD_MESSAGE && wParam == TOVIK_EC_RECORDING_STOPPED) {
        fprintf(stderr, "record: the recording ended by itself (0x%08lx)\n", (unsigned long)lParam);
        *(int*)user = 1;
    }
}

static double Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: record SECONDS FILE.avi\n");
        return 2;
    }
    const double seconds = atof(argv[1]);
    VelmoraPlatform_Initialize();
    if (Tovik_GetDevice() < 1) {
        fprintf(stderr, "record: no DV unit\n");
        return 1;
    }
    int ended = 0;
    VelmoraWindow notify = VelmoraWindow_CreateMessageWindow(OnMessage, &ended);
    TovikOpenParams params = {28, 1, notify, RECORD_MESSAGE, 0, 0, 0};
    TovikCaptureHandle capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
    if (!capture || Tovik_Control(capture, MODE_PLAY, 0) != 1 ||
        Tovik_StartRec(capture, argv[2], 0) != 1) {
        fprintf(stderr, "record: cannot record (error %d)\n", Tovik_GetError(capture));
        return 1;
    }
    /* The notifications arrive through the window's descriptor, as in any poll() loop. */
    const double end = Now() + seconds;
    struct pollfd wait = {VelmoraWindow_GetFd(notify), POLLIN, 0};
    while (!ended && Now() < end) {
        if (poll(&wait, 1, 100) > 0) VelmoraWindow_Dispatch(notify);
    }
    TovikTimecode timecode = {20, 0, 0, 0, 0, 0, 0};
    int haveTimecode = Tovik_GetTimecode(capture, &timecode);
    Tovik_StopRec(capture);
    Tovik_Close(capture);
    VelmoraWindow_Destroy(notify);
    VelmoraPlatform_Uninitialize();
    if (haveTimecode != 1) {
        fprintf(stderr, "record: no timecode\n");
        return 1;
    }
    printf("%02u:%02u:%02u%c%02u\n", timecode.hours, timecode.minutes, timecode.seconds,
           timecode.format == 0 ? ';' : ':', timecode.frames);
    return 0;
}
