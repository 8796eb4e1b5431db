// Still pictures of the capture object. They need the source bridge's frame decoder; until it is
// built into the toolkit they answer failure.

#include "toolkit/capture/dv_capture.h"

int CDVCapture::GetOneShot(void*, int* result) {
    if (result) *result = -1;
    return 0;
}

int CDVCapture::SaveBmp(const char*) { return 0; }
