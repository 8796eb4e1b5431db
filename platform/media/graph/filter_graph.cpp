#include "platform/media/graph/filter_graph.h"

#include <algorithm>
#include <functional>
#include <map>

#include "platform/com/com.h"
#include "platform/kernel/text.h"
#include "platform/media/base/enumerators.h"
#include "platform/media/graph/clock.h"

namespace {

using platform::ComPtr;

constexpr LONG AM_MEDIAEVENT_NONOTIFY = 0x01;

// The pins of a filter, each with one reference.
std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> pinEnum;
    if (FAILED(filter->EnumPins(pinEnum.Put())) || !pinEnum) return pins;
    IPin* pin = nullptr;
    while (pinEnum->Next(1, &pin, nullptr) == S_OK) pins.push_back(ComPtr<IPin>::Adopt(pin));
    return pins;
}

PIN_DIRECTION DirectionOf(IPin* pin) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    pin->QueryDirection(&direction);
    return direction;
}

ComPtr<IBaseFilter> OwnerOf(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
    return ComPtr<IBaseFilter>::Adopt(info.pFilter);
}

// A filter where a stream ends: an input that something feeds and no output that feeds
// anything. Besides renderers, that is a filter whose outputs are left free (a sample grabber
// at the end of a branch); such a filter reports EC_COMPLETE itself at end of stream.
bool IsConnectedRenderer(IBaseFilter* filter) {
    bool fed = false;
    for (auto& pin : PinsOf(filter)) {
        ComPtr<IPin> peer;
        if (FAILED(pin->ConnectedTo(peer.Put())) || !peer) continue;
        if (DirectionOf(pin.Get()) == PINDIR_OUTPUT) return false;
        fed = true;
    }
    return fed;
}

}  // namespace

CFilterGraph::CFilterGraph(IUnknown* outer)
    : CUnknown("filter graph", outer), eventHandle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    CSystemClock::CreateInstance(nullptr, IID_IReferenceClock, clock_.PutVoid());
}

CFilterGraph::~CFilterGraph() {
    {
        CAutoLock lock(&m_lock);
        StopLocked();
        for (auto& member : filters_) DisconnectFilter(member.filter);
        for (auto& member : filters_) {
            member.filter->SetSyncSource(nullptr);
            member.filter->JoinFilterGraph(nullptr, nullptr);
            member.filter->Release();
        }
        filters_.clear();
    }
    CloseHandle(eventHandle_);
}

HRESULT CFilterGraph::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    auto* graph = new CFilterGraph(outer);
    graph->NonDelegatingAddRef();
    HRESULT hr = graph->NonDelegatingQueryInterface(iid, object);
    graph->NonDelegatingRelease();
    return hr;
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IGraphBuilder || iid == IID_IFilterGraph)
        return GetInterface(static_cast<IGraphBuilder*>(this), object);
    if (iid == IID_IMediaControl) return GetInterface(static_cast<IMediaControl*>(this), object);
    if (iid == IID_IMediaEvent || iid == IID_IMediaEventEx)
        return GetInterface(static_cast<IMediaEventEx*>(this), object);
    if (iid == IID_IMediaEventSink)
        return GetInterface(static_cast<IMediaEventSink*>(this), object);
    if (iid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// ---- filters and connections ----

bool CFilterGraph::Contains(IBaseFilter* filter) const {
    return std::any_of(filters_.begin(), filters_.end(),
                       [&](const Member& m) { return m.filter == filter; });
}

std::u16string CFilterGraph::UniqueName(LPCWSTR requested, bool* renamed) const {
    std::u16string base = requested ? std::u16string(requested, platform::WideLength(requested))
                                    : std::u16string(u"Filter");
    base = base.substr(0, MAX_FILTER_NAME - 6);
    auto taken = [&](const std::u16string& name) {
        return std::any_of(filters_.begin(), filters_.end(),
                           [&](const Member& m) { return m.name == name; });
    };
    *renamed = false;
    if (!taken(base)) return base;
    *renamed = true;
    for (int n = 1;; ++n) {
        std::string suffix = std::to_string(n);
        suffix.insert(0, 4 - std::min<std::size_t>(4, suffix.size()), '0');
        std::u16string candidate = base + u" " + platform::Utf8ToUtf16(suffix);
        if (!taken(candidate)) return candidate;
    }
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
    if (!filter) return E_POINTER;
    CAutoLock lock(&m_lock);
    if (Contains(filter)) return VFW_E_DUPLICATE_NAME;
    bool renamed = false;
    std::u16string unique = UniqueName(name, &renamed);
    HRESULT hr = filter->JoinFilterGraph(static_cast<IGraphBuilder*>(this), unique.c_str());
    if (FAILED(hr)) return hr;
    filter->SetSyncSource(clock_.Get());
    filter->AddRef();
    filters_.push_back({filter, unique});
    return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
}

void CFilterGraph::DisconnectFilter(IBaseFilter* filter) {
    for (auto& pin : PinsOf(filter)) {
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(peer.Put())) && peer) {
            peer->Disconnect();
            pin->Disconnect();
        }
    }
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* filter) {
    if (!filter) return E_POINTER;
    CAutoLock lock(&m_lock);
    auto it = std::find_if(filters_.begin(), filters_.end(),
                           [&](const Member& m) { return m.filter == filter; });
    if (it == filters_.end()) return VFW_E_NOT_FOUND;
    filter->Stop();
    DisconnectFilter(filter);
    filter->SetSyncSource(nullptr);
    filter->JoinFilterGraph(nullptr, nullptr);
    filters_.erase(it);
    filter->Release();
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** out) {
    CAutoLock lock(&m_lock);
    std::vector<IBaseFilter*> list;
    for (auto& member : filters_) list.push_back(member.filter);
    return CEnumUnknowns<IBaseFilter, IEnumFilters>::Create(std::move(list), out);
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
    if (!name || !filter) return E_POINTER;
    *filter = nullptr;
    CAutoLock lock(&m_lock);
    std::u16string_view wanted(name, platform::WideLength(name));
    for (auto& member : filters_) {
        if (member.name == wanted) {
            *filter = member.filter;
            member.filter->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) {
    if (!out || !in) return E_POINTER;
    CAutoLock lock(&m_lock);
    ComPtr<IBaseFilter> outOwner = OwnerOf(out), inOwner = OwnerOf(in);
    if (!Contains(outOwner.Get()) || !Contains(inOwner.Get())) return VFW_E_NOT_IN_GRAPH;
    if (outOwner == inOwner) return VFW_E_CANNOT_CONNECT;
    if (DirectionOf(out) != PINDIR_OUTPUT || DirectionOf(in) != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    return out->Connect(in, type);
}

HRESULT CFilterGraph::Connect(IPin* out, IPin* in) {
    return ConnectDirect(out, in, nullptr);
}

HRESULT CFilterGraph::Disconnect(IPin* pin) {
    if (!pin) return E_POINTER;
    CAutoLock lock(&m_lock);
    return pin->Disconnect();
}

// ---- state ----

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() const {
    std::map<IBaseFilter*, std::vector<IBaseFilter*>> downstream;
    for (const auto& member : filters_) {
        auto& next = downstream[member.filter];
        for (auto& pin : PinsOf(member.filter)) {
            if (DirectionOf(pin.Get()) != PINDIR_OUTPUT) continue;
            ComPtr<IPin> peer;
            if (FAILED(pin->ConnectedTo(peer.Put())) || !peer) continue;
            ComPtr<IBaseFilter> owner = OwnerOf(peer.Get());
            if (owner && Contains(owner.Get())) next.push_back(owner.Get());
        }
    }
    // Post-order walk: a filter comes after everything downstream of it.
    std::vector<IBaseFilter*> order;
    std::set<IBaseFilter*> seen;
    std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* f) {
        if (!seen.insert(f).second) return;
        for (IBaseFilter* d : downstream[f]) visit(d);
        order.push_back(f);
    };
    for (const auto& member : filters_) visit(member.filter);
    return order;
}

void CFilterGraph::ResetCompletion() {
    std::set<IBaseFilter*> renderers;
    for (const auto& member : filters_)
        if (IsConnectedRenderer(member.filter)) renderers.insert(member.filter);
    std::lock_guard lock(queueLock_);
    renderersLeft_ = std::move(renderers);
    completionCode_ = 0;
    completed_.Reset();
}

HRESULT CFilterGraph::PauseLocked() {
    if (state_ == State_Paused) return S_OK;
    if (state_ == State_Stopped) {
        ResetCompletion();
        pausedStreamTime_ = 0;
    } else {
        // Running -> paused: remember how far the stream got, to resume from there.
        REFERENCE_TIME now = 0;
        clock_->GetTime(&now);
        pausedStreamTime_ = now - runStart_;
    }
    for (IBaseFilter* filter : DownstreamFirst()) {
        HRESULT hr = filter->Pause();
        if (FAILED(hr)) {
            StopLocked();
            return hr;
        }
    }
    state_ = State_Paused;
    return S_OK;
}

HRESULT CFilterGraph::RunLocked() {
    if (state_ == State_Running) return S_OK;
    if (state_ == State_Stopped) {
        HRESULT hr = PauseLocked();
        if (FAILED(hr)) return hr;
    }
    REFERENCE_TIME now = 0;
    clock_->GetTime(&now);
    runStart_ = now - pausedStreamTime_;
    auto order = DownstreamFirst();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        HRESULT hr = (*it)->Run(runStart_);
        if (FAILED(hr)) {
            StopLocked();
            return hr;
        }
    }
    state_ = State_Running;
    return S_OK;
}

HRESULT CFilterGraph::StopLocked() {
    HRESULT result = S_OK;
    for (IBaseFilter* filter : DownstreamFirst()) {
        HRESULT hr = filter->Stop();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    state_ = State_Stopped;
    pausedStreamTime_ = 0;
    return result;
}

HRESULT CFilterGraph::Run() {
    CAutoLock lock(&m_lock);
    return RunLocked();
}

HRESULT CFilterGraph::Pause() {
    CAutoLock lock(&m_lock);
    HRESULT hr = PauseLocked();
    if (FAILED(hr)) return hr;
    // Paused filters may still be waiting for their first sample.
    for (const auto& member : filters_) {
        FILTER_STATE state;
        if (member.filter->GetState(0, &state) == VFW_S_STATE_INTERMEDIATE) return S_FALSE;
    }
    return S_OK;
}

HRESULT CFilterGraph::Stop() {
    CAutoLock lock(&m_lock);
    return StopLocked();
}

HRESULT CFilterGraph::GetState(LONG milliseconds, OAFilterState* state) {
    if (!state) return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> members;
    {
        CAutoLock lock(&m_lock);
        *state = state_;
        if (state_ != State_Paused) return S_OK;
        for (auto& m : filters_) members.emplace_back(m.filter);
    }
    // Waits outside the graph lock: a filter becomes ready on a streaming thread.
    DWORD deadline = GetTickCount() + static_cast<DWORD>(std::max<LONG>(0, milliseconds));
    for (auto& filter : members) {
        DWORD now = GetTickCount();
        DWORD left = milliseconds < 0 ? INFINITE : (deadline > now ? deadline - now : 0);
        FILTER_STATE filterState;
        if (filter->GetState(left, &filterState) == VFW_S_STATE_INTERMEDIATE)
            return VFW_S_STATE_INTERMEDIATE;
    }
    return S_OK;
}

HRESULT CFilterGraph::StopWhenReady() {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
    OAFilterState state;
    GetState(INFINITE, &state);
    return Stop();
}

// ---- events ----

CFilterGraph::Notice CFilterGraph::QueueLocked(const QueuedEvent& event) {
    if (notifyFlags_ & AM_MEDIAEVENT_NONOTIFY) return {};
    queue_.push_back(event);
    SetEvent(eventHandle_);
    return {notifyWindow_, notifyMessage_, notifyInstance_};
}

HRESULT CFilterGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    Notice notice;
    {
        std::lock_guard lock(queueLock_);
        bool defaultHandling = !cancelled_.count(code);
        bool allDone = false, ended = false;
        // The first ending decides how the run completed: an abort is not overwritten by a
        // renderer that completes afterwards.
        auto complete = [&](LONG how) {
            if (completionCode_ != 0) return;
            completionCode_ = how;
            ended = true;
        };
        if (code == EC_COMPLETE && defaultHandling) {
            // Counted per renderer: the application hears once, when the last one is done.
            auto* filter = reinterpret_cast<IBaseFilter*>(param2);
            if (!renderersLeft_.erase(filter) || !renderersLeft_.empty()) return S_OK;
            allDone = true;
            complete(EC_COMPLETE);
        } else if (code == EC_COMPLETE) {
            renderersLeft_.erase(reinterpret_cast<IBaseFilter*>(param2));
            if (renderersLeft_.empty()) complete(EC_COMPLETE);
        } else if (code == EC_ERRORABORT || code == EC_USERABORT) {
            complete(code);
        } else if (defaultHandling && (code == EC_REPAINT || code == EC_NEED_RESTART ||
                                       code == EC_CLOCK_CHANGED || code == EC_ACTIVATE ||
                                       code == EC_DISPLAY_CHANGED || code == EC_SHUTTING_DOWN)) {
            return S_OK;  // handled by the graph: nothing for the application
        }
        notice = QueueLocked(allDone ? QueuedEvent{EC_COMPLETE, S_OK, 0}
                                     : QueuedEvent{code, param1, param2});
        // Only now: whoever WaitForCompletion wakes finds the ending event in the queue.
        if (ended) completed_.Set();
    }
    if (notice.window)
        PostMessageW(notice.window, static_cast<UINT>(notice.message), 0, notice.instance);
    return S_OK;
}

HRESULT CFilterGraph::GetEventHandle(OAEVENT* handle) {
    if (!handle) return E_POINTER;
    *handle = reinterpret_cast<OAEVENT>(eventHandle_);
    return S_OK;
}

HRESULT CFilterGraph::GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) {
    if (!code || !param1 || !param2) return E_POINTER;
    *code = 0;
    *param1 = *param2 = 0;
    DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    for (;;) {
        {
            std::lock_guard lock(queueLock_);
            if (!queue_.empty()) {
                QueuedEvent event = queue_.front();
                queue_.pop_front();
                if (queue_.empty()) ResetEvent(eventHandle_);
                *code = event.code;
                *param1 = event.param1;
                *param2 = event.param2;
                return S_OK;
            }
        }
        if (wait == 0 || WaitForSingleObject(eventHandle_, wait) != WAIT_OBJECT_0) return E_ABORT;
        wait = 0;  // another reader may have taken it; look once more, then give up
    }
}

HRESULT CFilterGraph::WaitForCompletion(LONG milliseconds, LONG* code) {
    if (!code) return E_POINTER;
    *code = 0;
    {
        CAutoLock lock(&m_lock);
        if (state_ != State_Running) return VFW_E_WRONG_STATE;
    }
    if (!completed_.Wait(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds)))
        return E_ABORT;
    std::lock_guard lock(queueLock_);
    *code = completionCode_;
    return S_OK;
}

HRESULT CFilterGraph::CancelDefaultHandling(LONG code) {
    std::lock_guard lock(queueLock_);
    cancelled_.insert(code);
    return S_OK;
}

HRESULT CFilterGraph::RestoreDefaultHandling(LONG code) {
    std::lock_guard lock(queueLock_);
    cancelled_.erase(code);
    return S_OK;
}

HRESULT CFilterGraph::SetNotifyWindow(OAHWND hwnd, LONG message, LONG_PTR instanceData) {
    std::lock_guard lock(queueLock_);
    notifyWindow_ = static_cast<HWND>(hwnd);
    notifyMessage_ = message;
    notifyInstance_ = instanceData;
    return S_OK;
}

HRESULT CFilterGraph::SetNotifyFlags(LONG flags) {
    if (flags & ~AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
    std::lock_guard lock(queueLock_);
    notifyFlags_ = flags;
    if (flags & AM_MEDIAEVENT_NONOTIFY) {
        queue_.clear();
        ResetEvent(eventHandle_);
    }
    return S_OK;
}

HRESULT CFilterGraph::GetNotifyFlags(LONG* flags) {
    if (!flags) return E_POINTER;
    std::lock_guard lock(queueLock_);
    *flags = notifyFlags_;
    return S_OK;
}

// ---- seeking ----

ComPtr<IMediaSeeking> CFilterGraph::Seeker() const {
    for (const auto& member : filters_) {
        ComPtr<IMediaSeeking> seeking;
        if (SUCCEEDED(member.filter->QueryInterface(IID_IMediaSeeking, seeking.PutVoid())))
            return seeking;
        for (auto& pin : PinsOf(member.filter)) {
            if (DirectionOf(pin.Get()) != PINDIR_OUTPUT) continue;
            ComPtr<IPin> peer;
            if (FAILED(pin->ConnectedTo(peer.Put())) || !peer) continue;
            if (SUCCEEDED(pin->QueryInterface(IID_IMediaSeeking, seeking.PutVoid())))
                return seeking;
        }
    }
    return nullptr;
}

#define VELMORA_FORWARD_SEEKING(call) \
    ComPtr<IMediaSeeking> seeking;    \
    {                                 \
        CAutoLock lock(&m_lock);      \
        seeking = Seeker();           \
    }                                 \
    if (!seeking) return E_NOTIMPL;   \
    return seeking->call;

HRESULT CFilterGraph::GetCapabilities(DWORD* c){VELMORA_FORWARD_SEEKING(GetCapabilities(c))} HRESULT
    CFilterGraph::CheckCapabilities(DWORD* c){VELMORA_FORWARD_SEEKING(CheckCapabilities(c))} HRESULT
    CFilterGraph::IsFormatSupported(const GUID* f){VELMORA_FORWARD_SEEKING(
        IsFormatSupported(f))} HRESULT CFilterGraph::QueryPreferredFormat(GUID* f){
        VELMORA_FORWARD_SEEKING(QueryPreferredFormat(f))} HRESULT
    CFilterGraph::GetTimeFormat(GUID* f){VELMORA_FORWARD_SEEKING(GetTimeFormat(f))} HRESULT
    CFilterGraph::IsUsingTimeFormat(const GUID* f){VELMORA_FORWARD_SEEKING(
        IsUsingTimeFormat(f))} HRESULT CFilterGraph::SetTimeFormat(const GUID* f){
        VELMORA_FORWARD_SEEKING(SetTimeFormat(f))} HRESULT CFilterGraph::GetDuration(LONGLONG* d){
        VELMORA_FORWARD_SEEKING(GetDuration(d))} HRESULT CFilterGraph::GetStopPosition(LONGLONG* s){
        VELMORA_FORWARD_SEEKING(GetStopPosition(s))} HRESULT
    CFilterGraph::GetCurrentPosition(LONGLONG* c){
        VELMORA_FORWARD_SEEKING(GetCurrentPosition(c))} HRESULT
    CFilterGraph::ConvertTimeFormat(LONGLONG* t, const GUID* tf, LONGLONG s, const GUID* sf){
        VELMORA_FORWARD_SEEKING(ConvertTimeFormat(t, tf, s, sf))} HRESULT
    CFilterGraph::GetPositions(LONGLONG* c, LONGLONG* s){VELMORA_FORWARD_SEEKING(
        GetPositions(c, s))} HRESULT CFilterGraph::GetAvailable(LONGLONG* e, LONGLONG* l){
        VELMORA_FORWARD_SEEKING(GetAvailable(e, l))} HRESULT CFilterGraph::GetRate(double* r){
        VELMORA_FORWARD_SEEKING(GetRate(r))} HRESULT CFilterGraph::GetPreroll(LONGLONG* p) {
    VELMORA_FORWARD_SEEKING(GetPreroll(p))
}

#undef VELMORA_FORWARD_SEEKING

template <typename Change>
HRESULT CFilterGraph::Reposition(Change change) {
    CAutoLock lock(&m_lock);
    ComPtr<IMediaSeeking> seeking = Seeker();
    if (!seeking) return E_NOTIMPL;
    FILTER_STATE was = state_;
    if (was == State_Running) PauseLocked();
    HRESULT hr = change(seeking.Get());
    if (SUCCEEDED(hr) && was != State_Stopped) {
        // A new segment starts at stream time 0, and every renderer must complete again.
        ResetCompletion();
        pausedStreamTime_ = 0;
    }
    if (was == State_Running) {
        HRESULT run = RunLocked();
        if (FAILED(run) && SUCCEEDED(hr)) hr = run;
    }
    return hr;
}

HRESULT CFilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                   DWORD stopFlags) {
    return Reposition(
        [&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
}

HRESULT CFilterGraph::SetRate(double rate) {
    return Reposition([&](IMediaSeeking* s) { return s->SetRate(rate); });
}

namespace {
platform::BuiltinClass g_graphClass(CLSID_FilterGraph, &CFilterGraph::CreateInstance);
}
