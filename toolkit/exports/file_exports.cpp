// The file reader family and the DV tools: check the handle, forward to the object, and never
// let an exception out.

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "toolkit/exports/export_guard.h"
#include "toolkit/file/file_reader.h"
#include "toolkit/tools/dv_tools.h"
#include "toolkit/tovik.h"

namespace {

std::atomic<int> g_lastFileOpenError{0};

}  // namespace

extern "C" {

TovikFileHandle TovikFile_Open(const char* fileName, int flags) {
    g_lastFileOpenError = TOVIK_FILE_ERROR_NOT_DV_AVI;  // until the open succeeds
    return Guard<TovikFileHandle>(nullptr, [&]() -> TovikFileHandle {
        auto reader = std::unique_ptr<CFileReader>(new (std::nothrow) CFileReader);
        if (!reader) return nullptr;
        if (!reader->Open(fileName, flags)) {
            g_lastFileOpenError = reader->OpenError();
            return nullptr;
        }
        g_lastFileOpenError = 0;
        return reader.release();
    });
}

int TovikFile_Close(TovikFileHandle handle) {
    if (!handle) return 0;
    return Guard(1, [&] {
        std::unique_ptr<CFileReader> reader(handle);
        reader->Close();
        return 1;
    });
}

uint32_t TovikFile_GetLength(TovikFileHandle handle) {
    return handle ? handle->GetLength() : 0;
}

int TovikFile_GetFrame(TovikFileHandle handle, uint32_t frame, void* video, void* audio,
                       int* audioBytes) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->GetFrame(frame, video, audio, audioBytes); });
}

int TovikFile_GetAudio(TovikFileHandle handle, uint32_t firstSample, uint32_t sampleCount,
                       void* buffer) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->GetAudio(firstSample, sampleCount, buffer); });
}

int TovikFile_GetError(TovikFileHandle handle) {
    return handle ? handle->Error() : g_lastFileOpenError.load();
}

int TovikFile_SetRenderProc(TovikFileHandle handle, TovikRenderProc videoProc, void* videoUser,
                            TovikRenderProc audioProc, void* audioUser) {
    if (!handle) return 0;
    return handle->SetRenderProc(videoProc, videoUser, audioProc, audioUser);
}

int TovikFile_StartRendering(TovikFileHandle handle, int notifyMode, TovikWindow notifyWindow,
                             uint32_t notifyMessage) {
    if (!handle) return 0;
    return Guard(0,
                 [&] { return handle->StartRendering(notifyMode, notifyWindow, notifyMessage); });
}

int TovikFile_SetSyncRenderingProc(TovikFileHandle handle, TovikSyncRenderProc proc, void* user) {
    if (!handle) return 0;
    return handle->SetSyncRenderingProc(proc, user);
}

int TovikTool_FrameToTimecode(int32_t frame, TovikToolTimecode* timecode, int code) {
    if (!timecode) return 0;
    tovik::ToolTimecode result{timecode->hours, timecode->minutes, timecode->seconds,
                               timecode->frames};
    if (!tovik::FrameToTimecode(frame, &result, code)) return 0;
    *timecode = {result.hours, result.minutes, result.seconds, result.frames};
    return 1;
}

int TovikTool_Adjust4816SAudio(void* destination, uint32_t destinationBytes, const void* source,
                               uint32_t sourceBytes) {
    return tovik::Adjust4816SAudio(destination, destinationBytes, source, sourceBytes);
}

}  // extern "C"
