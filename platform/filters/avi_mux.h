#pragma once
// The AVI Mux's own settings, beyond the platform's interfaces.

#include "platform/media/interfaces.h"

// What the mux's files hold.
enum VelmoraMuxFileFormat : LONG {
    // An AVI file (type 1 or type 2 DV, OpenDML).
    VELMORA_MUX_AVI = 0,
    // Raw DV: the frames of "Input 01" back to back, bit for bit, with nothing around them (no
    // headers, index or date chunk); "Input 02" is not written.
    VELMORA_MUX_RAW_DV = 1,
};

// {6C1E2A40-3B7D-4E51-9A0C-5F2D8B1C7A01}
inline constexpr GUID IID_IVelmoraAviMuxSettings = {
    0x6C1E2A40, 0x3B7D, 0x4E51, {0x9A, 0x0C, 0x5F, 0x2D, 0x8B, 0x1C, 0x7A, 0x01}};

struct IVelmoraAviMuxSettings : IUnknown {
    // The size at which a RIFF closes and an 'AVIX' continuation begins (1 GiB by default);
    // taken when the filter next starts a file. Values are kept within 64 KiB to 3.75 GiB.
    virtual HRESULT STDMETHODCALLTYPE SetRiffLimit(ULONGLONG bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRiffLimit(ULONGLONG* bytes) = 0;
    // The format of the files begun from the next start on (VELMORA_MUX_AVI by default). Only
    // while stopped.
    virtual HRESULT STDMETHODCALLTYPE SetFileFormat(VelmoraMuxFileFormat format) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFileFormat(VelmoraMuxFileFormat* format) = 0;

  protected:
    ~IVelmoraAviMuxSettings() = default;
};
VELMORA_DECLARE_IID(IVelmoraAviMuxSettings, IID_IVelmoraAviMuxSettings)

// Told of each frame of the file's first stream as it goes into the file, on the streaming
// thread: the frame's bytes and its sample (for its times). It must not block.
struct VelmoraFrameTap {
    virtual void OnFrameWritten(const BYTE* data, LONG size, IMediaSample* sample) = 0;

  protected:
    ~VelmoraFrameTap() = default;
};

// {6C1E2A44-3B7D-4E51-9A0C-5F2D8B1C7A05}
inline constexpr GUID IID_IVelmoraAviMuxTap = {
    0x6C1E2A44, 0x3B7D, 0x4E51, {0x9A, 0x0C, 0x5F, 0x2D, 0x8B, 0x1C, 0x7A, 0x05}};

struct IVelmoraAviMuxTap : IUnknown {
    // Sets the tap (null: none). Once this returns, the previous tap is no longer called.
    virtual HRESULT STDMETHODCALLTYPE SetFrameTap(VelmoraFrameTap* tap) = 0;

  protected:
    ~IVelmoraAviMuxTap() = default;
};
VELMORA_DECLARE_IID(IVelmoraAviMuxTap, IID_IVelmoraAviMuxTap)
