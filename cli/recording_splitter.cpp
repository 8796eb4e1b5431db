#include "cli/recording_splitter.h"

#include <algorithm>
#include <cstdio>

#include "platform/com/com.h"
#include "platform/kernel/text.h"

namespace capture {

namespace dv = platform::dv;

namespace {

std::int64_t Now() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

dv::FrameLoss Minus(const dv::FrameLoss& a, const dv::FrameLoss& b) {
    return {a.bus - b.bus, a.overrun - b.overrun, a.incomplete - b.incomplete};
}

dv::FrameLoss Plus(const dv::FrameLoss& a, const dv::FrameLoss& b) {
    return {a.bus + b.bus, a.overrun + b.overrun, a.incomplete + b.incomplete};
}

}  // namespace

RecordingSplitter::RecordingSplitter(SplitRules rules, FileNamer namer, std::string deviceName,
                                     LossCounter losses)
    : rules_(rules),
      namer_(std::move(namer)),
      deviceName_(std::move(deviceName)),
      losses_(std::move(losses)),
      lastArrival_(Now()) {
    if (losses_) lossSeen_ = losses_();
}

RecordingSplitter::~RecordingSplitter() = default;

HRESULT RecordingSplitter::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IVelmoraFrameSplitter) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = static_cast<IVelmoraFrameSplitter*>(this);
    return S_OK;
}

const char* RecordingSplitter::SplitReason(dv::FrameEventKind kind) const {
    switch (kind) {
        case dv::FrameEventKind::FormatChange:
            return "format";
        case dv::FrameEventKind::DateJump:
            return rules_.date ? "date" : nullptr;
        case dv::FrameEventKind::RecordingStart:
            return rules_.start ? "start" : nullptr;
        case dv::FrameEventKind::TimecodeJumpForward:
        case dv::FrameEventKind::TimecodeJumpBackward:
            return rules_.timecode ? "timecode" : nullptr;
        default:
            return nullptr;
    }
}

void RecordingSplitter::MarkSplit(std::int64_t frame, const char* reason) {
    for (Held& held : held_) {
        if (held.index != frame) continue;
        if (!held.split) held.split = reason;
        return;
    }
    // A break confirmed only after its frame was written (a long run of unreadable frames
    // after it): the file goes on rather than beginning at a later frame than the break.
}

HRESULT RecordingSplitter::FrameArrived(const BYTE* frame, LONG size) {
    Held held{nextIndex_++, dv::AnalyseFrame(frame, std::size_t(size)), {}, size};
    if (losses_) {
        dv::FrameLoss now = losses_();
        held.lost = Minus(now, lossSeen_);
        lossSeen_ = now;
    }
    if (change_) {
        // The first frame after the graph was built again for the other system. What the new
        // device lost before it lies within the stretch the time code tells, and counts once.
        const std::int64_t lostByNewDevice = held.lost.Total();
        held.lost = Plus(held.lost, lostAtChange_);
        held.lost.bus += std::max<std::int64_t>(
            0, FramesPassedUnseen(*change_, held.analysis, std::chrono::steady_clock::now()) -
                   lostByNewDevice);
        held.lostCounted = lostAtChange_.Total();
        held.split = "format";
        change_.reset();
        lostAtChange_ = {};
    }
    held_.push_back(held);
    for (const dv::FrameEvent& event : tracker_.Feed(held.index, held.analysis, held.lost.Total()))
        if (const char* reason = SplitReason(event.kind)) MarkSplit(event.frame, reason);
    ++arrived_;
    lastArrival_ = Now();
    return S_OK;
}

void RecordingSplitter::BeginFile(const Held& first, VelmoraNextFile* next) {
    // The name and the date come from the first frame that has a date, among those held that
    // belong to this file.
    std::optional<dv::RecordingDateTime> recorded = first.analysis.recorded;
    for (std::size_t i = 0; !recorded && i < held_.size() && !held_[i].split; ++i)
        recorded = held_[i].analysis.recorded;
    std::string path = namer_.Next(recorded);
    next->path = platform::CoTaskMemString(platform::Utf8ToUtf16(path));
    std::string date = recorded ? dv::FormatRecorded(*recorded) : std::string();
    std::snprintf(next->recorded, sizeof next->recorded, "%s", date.c_str());

    if (logOpen_) log_.Finish();
    logOpen_ = log_.Start(path, {deviceName_, "capture"}, first.index);
    if (!logOpen_)
        std::fprintf(stderr, "velmora-capture: cannot write the tape report of %s\n", path.c_str());
    CapturedFile file;
    file.path = path;
    file.recorded = date;
    file.reason = first.index == 0 ? "first" : first.split;
    std::lock_guard lock(figuresLock_);
    files_.push_back(std::move(file));
    figures_.file = path;
}

HRESULT RecordingSplitter::NextFrame(VelmoraNextFile* next) {
    if (held_.empty()) return E_UNEXPECTED;
    Held frame = held_.front();
    held_.pop_front();
    if (frame.index == 0 || frame.split) BeginFile(frame, next);
    if (logOpen_) log_.AddAnalysis(frame.analysis, frame.lost);

    std::string timecode = dv::FormatTimecode(frame.analysis.timecode);
    std::lock_guard lock(figuresLock_);
    CapturedFile& file = files_.back();
    ++file.frames;
    if (!timecode.empty()) {
        if (file.firstTimecode.empty()) file.firstTimecode = timecode;
        file.lastTimecode = timecode;
        figures_.timecode = timecode;
    }
    if (file.recorded.empty() && frame.analysis.recorded)
        file.recorded = dv::FormatRecorded(*frame.analysis.recorded);
    if (frame.analysis.recorded) figures_.recorded = dv::FormatRecorded(*frame.analysis.recorded);
    ++figures_.frames;
    figures_.dropped += frame.lost.Total() - frame.lostCounted;
    if (frame.analysis.videoErrorBlocks > 0 || frame.analysis.audioErrorBlocks > 0)
        ++figures_.damaged;
    figures_.bytes += frame.size;
    return S_OK;
}

void RecordingSplitter::Finish() {
    if (logOpen_) log_.Finish();
    logOpen_ = false;
}

void RecordingSplitter::ContinueAfterSystemChange(LossCounter losses, const SystemChange& change) {
    const dv::FrameLoss lost = losses_ ? Minus(losses_(), lossSeen_) : dv::FrameLoss{};
    losses_ = std::move(losses);
    lossSeen_ = losses_ ? losses_() : dv::FrameLoss{};
    lostAtChange_ = Plus(lostAtChange_, lost);
    if (change_)
        AddChange(&*change_, change);
    else
        change_ = change;
    // Counted at once: the tape may end before another frame comes.
    std::lock_guard lock(figuresLock_);
    figures_.dropped += lost.Total();
}

CaptureFigures RecordingSplitter::Figures() const {
    std::lock_guard lock(figuresLock_);
    return figures_;
}

std::vector<CapturedFile> RecordingSplitter::Files() const {
    std::lock_guard lock(figuresLock_);
    return files_;
}

std::chrono::steady_clock::time_point RecordingSplitter::LastArrival() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastArrival_.load()));
}

}  // namespace capture
