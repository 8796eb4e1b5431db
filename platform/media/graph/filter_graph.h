#pragma once
// The filter graph manager: holds the filters, connects pins directly, moves every filter
// through Stopped -> Paused -> Running in stream order, queues the filters' events and forwards
// positioning to the filter that seeks.

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/media/base/object.h"
#include "platform/user/window.h"

class CFilterGraph final : public CUnknown,
                           public IGraphBuilder,
                           public IMediaControl,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public IMediaSeeking {
  public:
    explicit CFilterGraph(IUnknown* outer);
    ~CFilterGraph() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);

    // IFilterGraph / IGraphBuilder
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* filter) override;
    HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** filters) override;
    HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* out, IPin* in,
                                            const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect(IPin* pin) override;
    HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Connect(IPin* out, IPin* in) override;
    HRESULT STDMETHODCALLTYPE Render(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Abort() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override { return S_OK; }

    // IMediaControl
    VELMORA_NO_DISPATCH
    HRESULT STDMETHODCALLTYPE Run() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE GetState(LONG milliseconds, OAFilterState* state) override;
    HRESULT STDMETHODCALLTYPE RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StopWhenReady() override;

    // IMediaEvent(Ex)
    HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* handle) override;
    HRESULT STDMETHODCALLTYPE GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2,
                                       LONG milliseconds) override;
    HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG milliseconds, LONG* code) override;
    HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG code) override;
    HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG code) override;
    HRESULT STDMETHODCALLTYPE FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetNotifyWindow(OAHWND hwnd, LONG message,
                                              LONG_PTR instanceData) override;
    HRESULT STDMETHODCALLTYPE SetNotifyFlags(LONG flags) override;
    HRESULT STDMETHODCALLTYPE GetNotifyFlags(LONG* flags) override;

    // IMediaEventSink: from any thread.
    HRESULT STDMETHODCALLTYPE Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    // IMediaSeeking, forwarded to the filter that seeks.
    HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE CheckCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE IsFormatSupported(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE QueryPreferredFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetTimeFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE IsUsingTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE SetTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE GetStopPosition(LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LONGLONG* current) override;
    HRESULT STDMETHODCALLTYPE ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                                LONGLONG source, const GUID* sourceFormat) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override;
    HRESULT STDMETHODCALLTYPE GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT STDMETHODCALLTYPE SetRate(double rate) override;
    HRESULT STDMETHODCALLTYPE GetRate(double* rate) override;
    HRESULT STDMETHODCALLTYPE GetPreroll(LONGLONG* preroll) override;

  private:
    struct Member {
        IBaseFilter* filter;  // one reference
        std::u16string name;
    };
    struct QueuedEvent {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };

    bool Contains(IBaseFilter* filter) const;
    std::u16string UniqueName(LPCWSTR requested, bool* renamed) const;
    // Filters with those downstream before those upstream.
    std::vector<IBaseFilter*> DownstreamFirst() const;
    void DisconnectFilter(IBaseFilter* filter);
    HRESULT PauseLocked();
    HRESULT RunLocked();
    HRESULT StopLocked();
    // Starts a fresh count of the renderers that must complete.
    void ResetCompletion();
    // Where an event's arrival is posted (no window: nowhere).
    struct Notice {
        HWND window = 0;
        LONG message = 0;
        LONG_PTR instance = 0;
    };
    // Queues an event, under queueLock_; the caller posts the notice once it lets go.
    Notice QueueLocked(const QueuedEvent& event);
    platform::ComPtr<IMediaSeeking> Seeker() const;
    // Stops streaming around a change of position or rate, then resumes where the graph was.
    template <typename Change>
    HRESULT Reposition(Change change);

    CCritSec m_lock;  // filters, connections, state
    std::vector<Member> filters_;
    FILTER_STATE state_ = State_Stopped;
    platform::ComPtr<IReferenceClock> clock_;
    REFERENCE_TIME pausedStreamTime_ = 0;  // stream time reached when paused
    REFERENCE_TIME runStart_ = 0;          // clock time of stream time 0

    std::mutex queueLock_;  // the event queue and completion; never held while calling out
    std::deque<QueuedEvent> queue_;
    HANDLE eventHandle_;
    platform::Event completed_{true};
    LONG completionCode_ = 0;
    std::set<IBaseFilter*> renderersLeft_;
    std::set<LONG> cancelled_;
    HWND notifyWindow_ = 0;
    LONG notifyMessage_ = 0;
    LONG_PTR notifyInstance_ = 0;
    LONG notifyFlags_ = 0;
};
