#pragma once
// What the file-writing filters tell and offer beyond the platform's interfaces: whether writing
// has failed (so that an owner can tell a failed file from other aborts of its graph), and room
// on disk reserved ahead so that a file can always be finished once its data is written.

#include "platform/media/interfaces.h"

// {6C1E2A41-3B7D-4E51-9A0C-5F2D8B1C7A02}
inline constexpr GUID IID_IVelmoraWriteStatus = {
    0x6C1E2A41, 0x3B7D, 0x4E51, {0x9A, 0x0C, 0x5F, 0x2D, 0x8B, 0x1C, 0x7A, 0x02}};

struct IVelmoraWriteStatus : IUnknown {
    // S_OK with the first write error of the current file in *error once writing has failed;
    // S_FALSE (and S_OK in *error) while it has not. Safe from any thread.
    virtual HRESULT STDMETHODCALLTYPE GetWriteFailure(HRESULT* error) = 0;

  protected:
    ~IVelmoraWriteStatus() = default;
};
VELMORA_DECLARE_IID(IVelmoraWriteStatus, IID_IVelmoraWriteStatus)

// {6C1E2A42-3B7D-4E51-9A0C-5F2D8B1C7A03}
inline constexpr GUID IID_IVelmoraFileSpace = {
    0x6C1E2A42, 0x3B7D, 0x4E51, {0x9A, 0x0C, 0x5F, 0x2D, 0x8B, 0x1C, 0x7A, 0x03}};

struct IVelmoraFileSpace : IUnknown {
    // Makes sure that the open file can grow to `end` bytes without asking the file system for
    // room later; *reservedEnd receives how far room is held. HRESULT_FROM_WIN32(ERROR_DISK_FULL)
    // when the room is not there (nothing is written); S_FALSE where the file system cannot hold
    // room ahead (writes then fail as they come); VFW_E_WRONG_STATE without an open file.
    // Called on the streaming thread.
    virtual HRESULT STDMETHODCALLTYPE Reserve(LONGLONG end, LONGLONG* reservedEnd) = 0;

  protected:
    ~IVelmoraFileSpace() = default;
};
VELMORA_DECLARE_IID(IVelmoraFileSpace, IID_IVelmoraFileSpace)
