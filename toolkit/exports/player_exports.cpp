// The player family's exports: check the handle, forward to the player, and never let an
// exception out.

#include <memory>
#include <new>

#include "toolkit/exports/export_guard.h"
#include "toolkit/player/file_player.h"

extern "C" {

TovikPlayHandle TovikPlay_Create(int) {
    return nullptr;
}

int TovikPlay_Destroy(TovikPlayHandle) {
    return 0;
}

int TovikPlay_Control(TovikPlayHandle handle, int command, int) {
    if (!handle) return -1;
    return Guard(1, [&] { return handle->Control(command); });
}

TovikPlayHandle TovikPlay_Open(const TovikPlayParams* params, const char* fileName) {
    return Guard<TovikPlayHandle>(nullptr, [&]() -> TovikPlayHandle {
        auto player = std::unique_ptr<CFilePlayer>(new (std::nothrow) CFilePlayer);
        if (!player) return nullptr;
        if (!player->Open(params, fileName)) {
            g_lastPlayOpenError = player->Error();
            return nullptr;
        }
        g_lastPlayOpenError = 0;
        return player.release();
    });
}

int TovikPlay_ShowWindow(TovikPlayHandle handle, int windowState) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->ShowWindow(windowState); });
}

int TovikPlay_SetWindowRect(TovikPlayHandle handle, const TovikRect* rect) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->SetWindowRect(rect); });
}

// The sound always plays; there is nothing for this entry to switch.
int TovikPlay_EnableAudioMonitor(TovikPlayHandle handle, int) {
    return handle ? 0 : -1;
}

int TovikPlay_GetCurrentPos(TovikPlayHandle handle, int64_t* position) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->GetCurrentPos(position); });
}

int TovikPlay_SetCurrentPos(TovikPlayHandle handle, int64_t position) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->SetCurrentPos(position); });
}

int TovikPlay_SetPlayRange(TovikPlayHandle handle, int64_t first, int64_t last) {
    if (!handle) return -1;
    return handle->SetPlayRange(first, last);
}

int TovikPlay_GetLength(TovikPlayHandle handle, int64_t* length) {
    if (!handle) return -1;
    return handle->GetLength(length);
}

int TovikPlay_SetCallback(TovikPlayHandle handle, TovikWindow notifyWindow, uint32_t notifyMessage,
                          int flags) {
    if (!handle) return -1;
    return handle->SetCallback(notifyWindow, notifyMessage, flags);
}

int TovikPlay_SetLoop(TovikPlayHandle handle, int loop) {
    if (!handle) return -1;
    return handle->SetLoop(loop);
}

int TovikPlay_Close(TovikPlayHandle handle) {
    if (!handle) return 0;
    return Guard(1, [&] {
        int result = handle->Close();
        delete handle;
        return result;
    });
}

int TovikPlay_SetWindowStyle(TovikPlayHandle handle, int which, int style) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->SetWindowStyle(which, style); });
}

int TovikPlay_GetError(TovikPlayHandle handle) {
    return handle ? handle->Error() : g_lastPlayOpenError.load();
}

int TovikPlay_GetOneShot(TovikPlayHandle handle, void* picture, int* out) {
    if (!handle) return -1;
    return Guard(0, [&] { return handle->GetOneShot(picture, out); });
}

int TovikPlay_SaveBmp(TovikPlayHandle handle, const char* fileName) {
    if (!handle) return 0;
    return Guard(0, [&] { return handle->SaveBmp(fileName); });
}

}  // extern "C"
