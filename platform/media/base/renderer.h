#pragma once
// A filter at the end of a stream. Paused, it holds the first sample it gets (a paused video
// renderer shows that frame) and is then ready; running, it presents each sample at its time on
// the graph's clock (samples without a time at once, as a live source delivers them); at end
// of stream it reports EC_COMPLETE once it has presented everything.
//
// A sample that carries a media type changes the stream's type from that sample on (the DV
// Splitter's audio at the rate the frames really carry); a type the renderer refuses aborts the
// stream. Upstream starts again from the connection's type after a flush or stop, and so does
// the renderer.

#include <condition_variable>
#include <memory>

#include "platform/media/base/filter.h"

class CBaseRenderer;

class CRendererInputPin : public CBaseInputPin {
  public:
    CRendererInputPin(CBaseRenderer* renderer, HRESULT* result, LPCWSTR pinName);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* receive) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

  private:
    CBaseRenderer* m_pRenderer;
};

class CBaseRenderer : public CBaseFilter {
  public:
    CBaseRenderer(REFCLSID clsid, const char* name, IUnknown* outer, HRESULT* result,
                  LPCWSTR pinName = u"In");
    ~CBaseRenderer() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD milliseconds, FILTER_STATE* state) override;

    // What a derived renderer decides. SetMediaType is told the connection's type and each
    // type a sample brings, on the streaming thread for those.
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
    virtual HRESULT SetMediaType(const CMediaType*) { return S_OK; }
    virtual void OnReceiveFirstSample(IMediaSample*) {}
    virtual HRESULT BreakConnect() { return S_OK; }
    virtual HRESULT CompleteConnect(IPin*) { return S_OK; }

    // Streaming, on the upstream thread.
    virtual HRESULT Receive(IMediaSample* sample);
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();

    CRendererInputPin* InputPin();

  protected:
    // Waits until the sample's time, or until stopped, flushed or paused; true to present it.
    bool WaitForRenderTime(IMediaSample* sample, std::unique_lock<std::mutex>& lock);
    void SendEndOfStreamLocked();
    // Takes the media type a sample carries, if any; an error when it is refused.
    HRESULT TakeSampleType(IMediaSample* sample);
    // Goes back to the connection's type, after a sample brought another.
    void RestoreConnectionType();

    CCritSec m_InterfaceLock;  // state lock
    CCritSec m_RendererLock;   // streaming lock
    std::unique_ptr<CRendererInputPin> m_pInputPin;

  private:
    void WakeAll();

    // Render state, under mutex_: what streaming and state changes coordinate on.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;        // paused with a sample (or at end of stream)
    bool eosReceived_ = false;  // end of stream arrived
    bool eosSent_ = false;      // EC_COMPLETE reported for this run
    bool rendering_ = false;    // a sample is between arrival and presentation
    bool flushing_ = false;
    std::uint64_t generation_ = 0;  // bumped by stop and flush: waits started before give up
    bool typeChanged_ = false;      // a sample brought a type; under the streaming lock
};
