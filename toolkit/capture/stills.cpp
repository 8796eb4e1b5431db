// Still pictures of the capture object: the last DV frame that went to the preview, decoded by
// the object's frame decoder.

#include "toolkit/capture/dv_capture.h"
#include "toolkit/graph/still.h"

int CDVCapture::GetOneShot(void* picture, int* result) {
    return tovik::GrabOneShot(grabber_.Get(), decoder_, static_cast<BYTE*>(picture), result);
}

int CDVCapture::SaveBmp(const char* path) {
    return tovik::SaveStillBmp(grabber_.Get(), decoder_, path);
}
