#pragma once
// The source bridge filter: one output pin whose samples a client's render proc fills.

#include "bridge/source_bridge.h"
#include "platform/media/base/source.h"
#include "platform/media/registration/class_factory.h"

namespace tovik::bridge {

// The module's server object (its counts and its class table).
platform::media::ServerModule& Module();

class CSourceBridge;

class CSourceBridgePin final : public CSourceStream {
  public:
    CSourceBridgePin(HRESULT* result, CSourceBridge* filter);

    // Position 0: the client's type; above: no more; negative: E_INVALIDARG.
    HRESULT GetMediaType(int position, CMediaType* type) override;
    using CSourceStream::GetMediaType;
    // Any type: a connection without a type takes the one offered.
    HRESULT CheckMediaType(const CMediaType* type) override;
    // One buffer of the client's size; E_FAIL when the allocator grants less.
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    // Every run stamps from 0.
    HRESULT OnThreadCreate() override;

  private:
    void Stamp(IMediaSample* sample);
    void SendEndOfStream();

    CSourceBridge* bridge_;
    CCritSec sharedState_;
    REFERENCE_TIME sampleTime_ = 0;
    REFERENCE_TIME frameDuration_ = kBridgeDefaultFrameDuration;
};

// ModuleObject comes first so that the module counts the filter until its teardown is over.
class CSourceBridge final : public platform::media::ModuleObject,
                            public CSource,
                            public ITovikSourceBridge {
  public:
    // The class factory's create function.
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* result);

    CSourceBridge(IUnknown* outer, HRESULT* result);
    ~CSourceBridge() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE SetRenderProc(BridgeRenderProc proc, void* context) override;
    HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE SetBufferSize(LONG size) override;

    // Read by the pin. The setters are used while the graph is stopped, so the streaming
    // thread, started later, sees what they stored.
    BridgeRenderProc RenderProc() const { return renderProc_; }
    void* RenderContext() const { return renderContext_; }
    const CMediaType& OfferedType() const { return mediaType_; }
    LONG BufferSize() const { return bufferSize_; }

  private:
    BridgeRenderProc renderProc_ = nullptr;
    void* renderContext_ = nullptr;
    CMediaType mediaType_;
    LONG bufferSize_ = 0;
};

// The picture streamed when no render proc is registered: 720 x 480, 24 bits, bottom-up,
// black with the text "0" in light grey near the top left corner.
inline constexpr LONG kTestPictureWidth = 720;
inline constexpr LONG kTestPictureHeight = 480;
inline constexpr LONG kTestPictureBytes = kTestPictureWidth * kTestPictureHeight * 3;
const std::vector<BYTE>& TestPicture();

}  // namespace tovik::bridge
