#pragma once
// The Tovik Source Bridge filter as its clients see it: its class, and the frame-supply
// interface through which a client registers the procedure that fills each sample.
//
// A client creates the filter by class identifier, sets the buffer size, the media type and
// the render proc while the graph is stopped and before it connects the filter's pin "Out",
// then runs the graph. The pin's streaming thread calls the render proc once per sample.

#include "platform/media/interfaces.h"

// {8FD15CA6-7433-44D4-BC92-401B37C5E3DD}
inline constexpr CLSID CLSID_TovikSourceBridge = {
    0x8FD15CA6, 0x7433, 0x44D4, {0xBC, 0x92, 0x40, 0x1B, 0x37, 0xC5, 0xE3, 0xDD}};
// {F42202C6-FA23-4F7A-8E54-CEA7E5F9C5B2}
inline constexpr IID IID_ITovikSourceBridge = {
    0xF42202C6, 0xFA23, 0x4F7A, {0x8E, 0x54, 0xCE, 0xA7, 0xE5, 0xF9, 0xC5, 0xB2}};

// Fills one sample: buffer is the sample's data area, *size holds its capacity on entry and
// must hold the number of bytes filled on return; context is the client's value, given back
// unchanged (pointer-sized, so a client can pass its own address). Answers 0 for the last
// sample of the stream, anything else when more follow. Runs on the pin's streaming thread.
using BridgeRenderProc = LONG (*)(BYTE* buffer, LONG* size, void* context);

inline constexpr REFERENCE_TIME kBridgeDefaultFrameDuration = 333667;

struct ITovikSourceBridge : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetRenderProc(BridgeRenderProc proc, void* context) = 0;
    // Keeps a copy of the type, with a format block of its own; the pin offers it.
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBufferSize(LONG size) = 0;

  protected:
    ~ITovikSourceBridge() = default;
};
VELMORA_DECLARE_IID(ITovikSourceBridge, IID_ITovikSourceBridge)
