// A plain, synchronous tape report writer with the toolkit's interface, built only while the
// toolkit does not provide its own (see CMakeLists.txt): one line per frame, flushed at least
// once a second, and the totals at the end.

#include <cstdio>
#include <mutex>

#include "toolkit/capture/dv_log_writer.h"

namespace tovik {

struct DvLogWriter::State {
    std::mutex lock;
    std::FILE* file = nullptr;
    std::int64_t index = 0;
    platform::dv::FrameTotals totals;
    platform::dv::FrameEventTracker tracker;
    std::chrono::steady_clock::time_point flushed;
};

std::string DvLogPathFor(const std::string& recordingPath) {
    return recordingPath + ".dvlog.jsonl";
}

DvLogWriter::DvLogWriter() : state_(std::make_unique<State>()) {}

DvLogWriter::~DvLogWriter() {
    Finish();
}

bool DvLogWriter::Start(const std::string& recordingPath, const DvLogSource& source, std::int64_t) {
    Finish();
    std::lock_guard lock(state_->lock);
    state_->file = std::fopen(DvLogPathFor(recordingPath).c_str(), "w");
    if (!state_->file) return false;
    state_->index = 0;
    state_->totals = {};
    state_->tracker.Reset();
    std::fprintf(state_->file, "{\"file\":\"%s\",\"device\":\"%s\",\"kind\":\"%s\"}\n",
                 recordingPath.c_str(), source.device.c_str(), source.kind.c_str());
    std::fflush(state_->file);
    state_->flushed = std::chrono::steady_clock::now();
    return true;
}

void DvLogWriter::AddFrame(const std::uint8_t* frame, std::size_t size,
                           const platform::dv::FrameLoss& lost) {
    AddAnalysis(platform::dv::AnalyseFrame(frame, size), lost);
}

void DvLogWriter::AddAnalysis(const platform::dv::FrameAnalysis& analysis,
                              const platform::dv::FrameLoss& lost) {
    std::lock_guard lock(state_->lock);
    if (!state_->file) return;
    const std::int64_t index = state_->index++;
    std::fprintf(state_->file, "%s\n", platform::dv::FrameJson(index, analysis, lost).c_str());
    state_->totals.Add(analysis, lost);
    for (const auto& event : state_->tracker.Feed(index, analysis, lost.Total())) {
        std::fprintf(state_->file, "%s\n", platform::dv::EventJson(event).c_str());
        state_->totals.AddEvent(event);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - state_->flushed >= std::chrono::seconds(1)) {
        std::fflush(state_->file);
        state_->flushed = now;
    }
}

void DvLogWriter::Finish() {
    std::lock_guard lock(state_->lock);
    if (!state_->file) return;
    std::fprintf(state_->file, "%s\n", state_->totals.SummaryJson().c_str());
    std::fclose(state_->file);
    state_->file = nullptr;
}

std::int64_t DvLogWriter::Frames() const {
    std::lock_guard lock(state_->lock);
    return state_->totals.Frames();
}

std::int64_t DvLogWriter::Dropped() const {
    std::lock_guard lock(state_->lock);
    return state_->totals.Dropped();
}

std::int64_t DvLogWriter::Damaged() const {
    std::lock_guard lock(state_->lock);
    return state_->totals.DamagedFrames();
}

void DvLogWriter::Run() {}

}  // namespace tovik
