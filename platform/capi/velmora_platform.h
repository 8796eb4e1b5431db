/* The platform's C interface for programs that use Tovik or Pelko: thread initialisation,
   message windows that deliver notifications to a callback on the caller's thread or through a
   pollable file descriptor, and a foreign native window as the owner of a preview. */
#ifndef VELMORA_PLATFORM_H
#define VELMORA_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The platform's 32-bit window handle, as TovikWindow and Pelko_Open take it. */
typedef uint32_t VelmoraWindow;

/* Initialises the object runtime on the calling thread; every thread that calls the toolkit
   does this first and balances each success with VelmoraPlatform_Uninitialize. Answers 0 the
   first time on a thread, 1 when it was already initialised, a negative HRESULT otherwise. */
int32_t VelmoraPlatform_Initialize(void);
/* Also waits until the windows the toolkit closed are gone from the platform's own Qt thread
   (see VelmoraWindow_FromNative), so uninitialise before the process exits. */
void VelmoraPlatform_Uninitialize(void);

/* Receives the messages of a message window, on the thread that calls
   VelmoraWindow_Dispatch. */
typedef void (*VelmoraMessageProc)(VelmoraWindow window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam, void* user);

/* A window that only receives messages: give it as the notify window of the toolkit or as
   Pelko's window. Messages posted to it from any thread wait in its queue until
   VelmoraWindow_Dispatch hands them to proc. Answers 0 when it cannot be made. */
VelmoraWindow VelmoraWindow_CreateMessageWindow(VelmoraMessageProc proc, void* user);
/* A descriptor that polls readable while messages wait (for poll(), a GLib source, a Qt
   socket notifier); it belongs to the window. -1 for an unknown window. */
int VelmoraWindow_GetFd(VelmoraWindow window);
/* Calls proc for each waiting message, in the order they were posted, on the calling thread;
   answers how many, or -1 for an unknown window. Does not block. */
int VelmoraWindow_Dispatch(VelmoraWindow window);
/* Ends a message window (later posts to it fail and its descriptor is closed) or a handle of
   VelmoraWindow_FromNative: a preview or player window still inside the foreign window is taken
   out of it and hidden. End such a handle before destroying the foreign window. */
void VelmoraWindow_Destroy(VelmoraWindow window);

/* A window handle for a foreign native window (an X11 window id), to give as the owner of a
   preview or player window: the video appears inside that window, at the rectangle the toolkit
   is given. Without a Qt application in the process the platform runs one on a thread of its
   own, connected to the X server of $DISPLAY, until the process ends. Call it before opening
   the capture or player that is to use it. Answers 0 when there is no display, no such window,
   or the window system has no foreign windows: a Qt program running on Wayland gives no owner
   there, and the preview is a window of its own (an X11 window through XWayland works). */
VelmoraWindow VelmoraWindow_FromNative(uint64_t nativeWindow);

#ifdef __cplusplus
}
#endif

#endif
