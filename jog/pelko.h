#pragma once
// Pelko: one USB jog/shuttle controller for a program. Pelko_Open finds the controller (the
// first HID interface whose top-level collection is Consumer Control), reads its reports on a
// thread of its own and, once Pelko_EnableNotify(1) is called, posts each key press, key
// release and jog step to the window given at open:
//   PostMessage(window, message, key code, 1 for a press or a jog step / 0 for a release).
// All functions are meant for one thread of the caller. Results: 1 done, 0 not.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Key codes in wParam.
#define PELKO_JOG_FORWARD 0x10001  /* one jog step, report value +1 */
#define PELKO_JOG_BACKWARD 0x10000 /* one jog step, report value -1 */

// window: the platform's 32-bit window handle; reserved: ignored. 0 when already open or when
// no controller can be opened.
int32_t Pelko_Open(uint32_t window, uint32_t message, int32_t reserved);
// 0 when not open. No notification is posted after it returns.
int32_t Pelko_Close(void);
// flag nonzero: reports become notifications; 0: they are read and dropped. 0 when not open.
int32_t Pelko_EnableNotify(int32_t flag);
// Writes the value into the controller's LED feature report and sends it; 0 when not open or
// when the controller refuses it.
int32_t Pelko_SetLED(uint32_t value);

#ifdef __cplusplus
}
#endif
