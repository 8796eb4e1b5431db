#include "toolkit/player/file_player.h"

#include "platform/kernel/text.h"
#include "platform/media/events.h"
#include "platform/media/formats.h"
#include "platform/user/window.h"
#include "toolkit/player/player_tables.h"

std::atomic<std::int32_t> g_lastPlayOpenError{0};

namespace {

using platform::QueryFrom;

constexpr int kMaxPath = 260;
constexpr std::int32_t kBuilt = 1;  // no failure cause has this value

}  // namespace

CFilePlayer::~CFilePlayer() {
    Close();
}

IBaseFilter* CFilePlayer::FilterAt(int entry) const {
    return table_ && entry < table_->Count() ? (*table_)[entry].filter : nullptr;
}

// Releases whatever a failed open built, so the object goes with nothing left in it.
int CFilePlayer::Fail(std::int32_t error) {
    LeaveOwner();
    ReleaseInterfaces();
    eventHandle_ = nullptr;
    if (table_) Teardown(table_->Entries(), table_->Count());
    ReleaseGraph();
    FreeTable(table_);
    m_nError = error;
    return 0;
}

int CFilePlayer::Open(const TovikPlayParams* params, const char* fileName) {
    if (state_ != kPlayerClosed) {
        m_nError = kPlayErrorAlreadyOpen;
        return 0;
    }
    notifyWindow_ = 0;
    if (!params || params->size != sizeof(TovikPlayParams)) {
        m_nError = kPlayErrorBadParams;
        return 0;
    }
    if (std::int32_t error = BuildGraph(*params, fileName); error != kBuilt) return Fail(error);

    {
        std::lock_guard lock(restartLock_);
        closing_ = false;
    }
    run_ = true;
    eventThread_.Start([this] { EventLoop(); });
    params_ = *params;
    seeking_->SetTimeFormat(&TIME_FORMAT_FRAME);
    LONGLONG duration = 0;
    seeking_->GetDuration(&duration);
    duration_ = duration;
    rangeFirst_ = 0;
    rangeLast_ = duration_ - 1;
    // Without the bridge, stills fail later; the decoder has told the user why.
    decoder_.Build();
    PauseAndSettle();  // shows frame 0
    m_nError = kPlayErrorNone;
    state_ = kPlayerOpen;
    return 1;
}

// Builds and connects the graph and takes its interfaces: kBuilt, or the cause of the failure.
std::int32_t CFilePlayer::BuildGraph(const TovikPlayParams& params, const char* fileName) {
    table_ = CopyTable(kPlayerFilters, kPlayerFilterCount);
    if (!table_) return kPlayErrorNoCode;
    if (!CreateGraph()) return kPlayErrorNoGraph;
    try {
        CreateFilters(table_->Entries(), kPlayerFilterCount);
    } catch (const _tagDXM_EXPECT&) {
        return kPlayErrorFilterMissing;
    }
    if (!AddFilters(table_->Entries(), kPlayerFilterCount)) return kPlayErrorFilterNotAdded;
    if (!LoadFile(fileName)) return kPlayErrorNoCode;
    try {
        Connect(table_->Entries(), kPlayerFilterCount, kPlayerPlan, kPlayerPlanSteps);
    } catch (const _tagDXM_EXPECT&) {
        return kPlayErrorNoCode;
    }
    return ObtainInterfaces(params) ? kBuilt : kPlayErrorInterfaceMissing;
}

// The reader is given the name in UTF-16; a missing file shows up when the reader is connected.
bool CFilePlayer::LoadFile(const char* fileName) {
    platform::ComPtr<IFileSourceFilter> source;
    if (FAILED(QueryFrom(FilterAt(kPlayReader), &source))) return false;
    WCHAR name[kMaxPath] = {};
    if (fileName) MultiByteToWideChar(CP_ACP, 0, fileName, -1, name, kMaxPath);
    source->Load(name, nullptr);
    return true;
}

bool CFilePlayer::ObtainInterfaces(const TovikPlayParams& params) {
    if (FAILED(QueryFrom(m_pGraph, &events_))) return false;
    OAEVENT handle = 0;
    if (FAILED(events_->GetEventHandle(&handle))) return false;
    eventHandle_ = reinterpret_cast<HANDLE>(handle);
    if (FAILED(QueryFrom(m_pGraph, &control_))) return false;

    if (FAILED(QueryFrom(FilterAt(kPlayVideoRenderer), &videoWindow_))) return false;
    videoWindow_->put_AutoShow(OAFALSE);  // running the graph does not show the window
    videoWindow_->put_Owner(static_cast<OAHWND>(params.ownerWindow));
    videoWindow_->put_WindowStyle(static_cast<LONG>(params.windowStyle));
    videoWindow_->put_WindowStyleEx(static_cast<LONG>(params.windowStyleEx));
    videoWindow_->SetWindowPosition(params.left, params.top, params.right - params.left,
                                    params.bottom - params.top);
    videoWindow_->put_WindowState(params.windowState);

    platform::ComPtr<IIPDVDec> display;
    if (FAILED(QueryFrom(FilterAt(kPlayDecoder), &display))) return false;
    display->put_IPDisplay(DVRESOLUTION_FULL);

    if (FAILED(QueryFrom(m_pGraph, &seeking_))) return false;
    if (FAILED(QueryFrom(FilterAt(kPlayGrabber), &grabber_))) return false;
    grabber_->SetBufferSamples(TRUE);
    return true;
}

// The video window leaves the caller's window before the renderer goes away.
void CFilePlayer::LeaveOwner() {
    if (!videoWindow_) return;
    videoWindow_->put_Visible(OAFALSE);
    videoWindow_->put_Owner(0);
}

void CFilePlayer::ReleaseInterfaces() {
    events_.Reset();
    control_.Reset();
    videoWindow_.Reset();
    seeking_.Reset();
    grabber_.Reset();
}

int CFilePlayer::Close() {
    if (state_ == kPlayerClosed) return 0;
    {
        std::lock_guard lock(restartLock_);
        closing_ = true;
    }
    control_->Stop();
    LeaveOwner();
    if (run_.exchange(false)) eventThread_.Join();
    ReleaseInterfaces();
    eventHandle_ = nullptr;
    decoder_.Teardown();
    Teardown(table_->Entries(), table_->Count());
    ReleaseGraph();
    FreeTable(table_);
    state_ = kPlayerClosed;
    m_nError = kPlayErrorNone;
    return 1;
}

// Forwards every graph event to the notify window; a completion with looping on first starts
// the play range again, at the rate last set.
void CFilePlayer::EventLoop() {
    PumpGraphEvents(run_, eventHandle_, events_.Get(),
                    [this](LONG code, LONG_PTR param1, LONG_PTR) {
                        if (code == EC_COMPLETE && loop_) RestartRange();
                        if (TovikWindow window = notifyWindow_)
                            PostMessage(window, notifyMessage_, static_cast<WPARAM>(code),
                                        static_cast<LPARAM>(param1));
                    });
}

void CFilePlayer::RestartRange() {
    std::lock_guard lock(restartLock_);
    if (closing_) return;
    Seek(rangeFirst_, rangeLast_);
    control_->Run();
}
