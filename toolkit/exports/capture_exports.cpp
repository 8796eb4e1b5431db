// The capture family's exports: check the handle, forward to the capture object, and never let
// an exception out.

#include <new>

#include "toolkit/capture/dv_capture.h"
#include "toolkit/exports/export_guard.h"

extern "C" {

// Whatever ends a failed open (a refused step, a lack of memory, anything thrown inside), the
// last open error says that it failed: the object's own code, else "graph not created".
TovikCaptureHandle Tovik_Open(int deviceIndex, uint32_t flags, const TovikOpenParams* params) {
    std::int32_t error = kErrorNoGraph;
    TovikCaptureHandle handle = Guard<TovikCaptureHandle>(nullptr, [&]() -> TovikCaptureHandle {
        auto capture = std::unique_ptr<CDVCapture>(new (std::nothrow) CDVCapture);
        if (!capture) return nullptr;
        const int opened = Guard(0, [&] { return capture->Open(deviceIndex, flags, params); });
        if (capture->Error() != kErrorNone) error = capture->Error();
        return opened ? capture.release() : nullptr;
    });
    g_lastOpenError = handle ? kErrorNone : error;
    return handle;
}

int Tovik_Close(TovikCaptureHandle handle) {
    if (!handle) return 0;
    return Guard(1, [&] {
        handle->Close();
        g_lastOpenError = 0;
        delete handle;
        return 1;
    });
}

int Tovik_GetError(TovikCaptureHandle handle) {
    return handle ? handle->Error() : g_lastOpenError.load();
}

int Tovik_Control(TovikCaptureHandle handle, int32_t mode, uint32_t speed) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->Control(mode, speed); });
}

int Tovik_SetPreviewWindowStyle(TovikCaptureHandle handle, int extended, int32_t style) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->SetPreviewWindowStyle(extended, style); });
}

int Tovik_SetPreviewWindowRect(TovikCaptureHandle handle, const TovikRect* rect) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->SetPreviewWindowRect(rect); });
}

int Tovik_ShowPreviewWindow(TovikCaptureHandle handle, int command) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->ShowPreviewWindow(command); });
}

int Tovik_StartRec(TovikCaptureHandle handle, const char* path, int keepPreview) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->StartRec(path, keepPreview); });
}

int Tovik_StopRec(TovikCaptureHandle handle) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->StopRec(); });
}

int Tovik_GetControlStatus(TovikCaptureHandle handle) {
    if (!handle) return -1;
    return Guard(-1, [&] { return handle->GetControlStatus(); });
}

int Tovik_GetDevice(void) {
    return Guard(0, [] { return CDirectShow::CountDevices("Microsoft DV Camera and VCR"); });
}

int Tovik_GetOneShot(TovikCaptureHandle handle, void* picture, int* result) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->GetOneShot(picture, result); });
}

int Tovik_SaveBmp(TovikCaptureHandle handle, const char* path) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->SaveBmp(path); });
}

int Tovik_SetWriteFile(TovikCaptureHandle handle, const char* path, int) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->SetWriteFile(path); });
}

int Tovik_WriteStart(TovikCaptureHandle handle) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->WriteStart(); });
}

int Tovik_WriteStop(TovikCaptureHandle handle) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->WriteStop(); });
}

int Tovik_GetWriteFileLength(TovikCaptureHandle handle, int64_t* length) {
    if (!handle) return -1;
    return Guard(1, [&] { return handle->GetWriteFileLength(length); });
}

int Tovik_SetWriteRange(TovikCaptureHandle handle, int, int, int, int) {
    return handle ? 1 : -1;
}

int Tovik_GetWriteStatus(TovikCaptureHandle handle, TovikProgress* progress) {
    if (!handle) return -1;
    return Guard(1, [&] { return handle->GetWriteStatus(progress); });
}

int Tovik_GetRecStatus(TovikCaptureHandle handle, TovikProgress* progress) {
    if (!handle) return -1;
    return Guard(1, [&] { return handle->GetRecStatus(progress); });
}

int Tovik_GetRecReport(TovikCaptureHandle handle, TovikRecReport* report) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->GetRecReport(report); });
}

int Tovik_GetTimecode(TovikCaptureHandle handle, TovikTimecode* timecode) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->GetTimecode(timecode); });
}

int Tovik_GetCapability(TovikCaptureHandle handle, TovikCapability* capability) {
    if (!handle) return -1;
    return Guard(1, [&] { return handle->GetCapability(capability); });
}

}  // extern "C"
