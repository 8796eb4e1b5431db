#include "toolkit/capture/dv_log_writer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/kernel/text.h"

namespace tovik {
namespace dv = platform::dv;

namespace {

// Frames waiting with their bytes; beyond this the caller analyses them and queues the result,
// so that a slow disk costs memory for a few frames only.
constexpr std::size_t kMaxQueuedFrames = 32;
constexpr auto kFlushInterval = std::chrono::milliseconds(500);

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

std::string DvLogPathFor(const std::string& recordingPath) {
    return recordingPath + ".dvlog.jsonl";
}

struct DvLogWriter::Item {
    enum Kind { Start, Frame, Analysis, Finish } kind;
    std::vector<std::uint8_t> bytes;
    dv::FrameAnalysis analysis;
    dv::FrameLoss lost;
    std::FILE* file = nullptr;  // Start: the new sidecar
    std::string line;           // Start: its first line
    std::uint64_t ticket = 0;   // Finish: answered through `done`
};

struct DvLogWriter::State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Item> queue;
    std::size_t queuedFrames = 0;
    bool stopping = false;
    std::uint64_t nextTicket = 0, done = 0;

    // Owned by the thread.
    std::FILE* file = nullptr;
    std::int64_t index = 0;
    dv::FrameEventTracker tracker;
    dv::FrameTotals totals;
    std::chrono::steady_clock::time_point lastFlush;

    std::atomic<std::int64_t> frames{0}, dropped{0}, damaged{0};

    void Write(const std::string& line) {
        if (!file) return;
        std::fputs(line.c_str(), file);
        std::fputc('\n', file);
    }
    void Close() {
        if (!file) return;
        Write(totals.SummaryJson());
        std::fclose(file);
        file = nullptr;
    }
    void Process(Item& item) {
        switch (item.kind) {
            case Item::Start:
                Close();
                file = item.file;
                index = 0;
                tracker.Reset();
                totals = dv::FrameTotals();
                frames = dropped = damaged = 0;
                Write(item.line);
                std::fflush(file);
                break;
            case Item::Frame:
                item.analysis = dv::AnalyseFrame(item.bytes.data(), item.bytes.size());
                [[fallthrough]];
            case Item::Analysis:
                AddFrame(item.analysis, item.lost);
                break;
            case Item::Finish:
                Close();
                break;
        }
    }
    void AddFrame(const dv::FrameAnalysis& analysis, const dv::FrameLoss& lost) {
        Write(dv::FrameJson(index, analysis, lost));
        totals.Add(analysis, lost);
        for (const auto& event : tracker.Feed(index, analysis, lost.Total())) {
            Write(dv::EventJson(event));
            totals.AddEvent(event);
        }
        ++index;
        frames = totals.Frames();
        dropped = totals.Dropped();
        damaged = totals.DamagedFrames();
    }
};

DvLogWriter::DvLogWriter() : state_(std::make_unique<State>()) {
    thread_.Start([this] { Run(); });
}

DvLogWriter::~DvLogWriter() {
    Finish();
    {
        std::lock_guard lock(state_->lock);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    thread_.Join();
}

bool DvLogWriter::Start(const std::string& recordingPath, const DvLogSource& source,
                        std::int64_t firstFrame) {
    return StartAt(DvLogPathFor(recordingPath), recordingPath, source, firstFrame);
}

bool DvLogWriter::StartAt(const std::string& path, const std::string& recordingPath,
                          const DvLogSource& source, std::int64_t firstFrame) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    std::string line = "{\"file\":" + platform::JsonQuote(recordingPath) +
                       ",\"device\":" + platform::JsonQuote(source.device) +
                       ",\"kind\":" + platform::JsonQuote(source.kind) +
                       ",\"started\":" + platform::JsonQuote(UtcNow()) +
                       ",\"first_stream_frame\":" + std::to_string(firstFrame) +
                       ",\"report\":\"dvlog\",\"version\":1}";
    {
        std::lock_guard lock(state_->lock);
        Item item{Item::Start, {}, {}, {}, file, std::move(line), 0};
        state_->queue.push_back(std::move(item));
    }
    state_->changed.notify_all();
    return true;
}

void DvLogWriter::AddFrame(const std::uint8_t* frame, std::size_t size, const dv::FrameLoss& lost) {
    {
        std::lock_guard lock(state_->lock);
        if (state_->queuedFrames < kMaxQueuedFrames) {
            Item item{Item::Frame,
                      std::vector<std::uint8_t>(frame, frame + size),
                      {},
                      lost,
                      nullptr,
                      {},
                      0};
            state_->queue.push_back(std::move(item));
            ++state_->queuedFrames;
            state_->changed.notify_all();
            return;
        }
    }
    AddAnalysis(dv::AnalyseFrame(frame, size), lost);
}

void DvLogWriter::AddAnalysis(const dv::FrameAnalysis& analysis, const dv::FrameLoss& lost) {
    {
        std::lock_guard lock(state_->lock);
        state_->queue.push_back(Item{Item::Analysis, {}, analysis, lost, nullptr, {}, 0});
    }
    state_->changed.notify_all();
}

void DvLogWriter::Finish() {
    std::unique_lock lock(state_->lock);
    const std::uint64_t ticket = ++state_->nextTicket;
    state_->queue.push_back(Item{Item::Finish, {}, {}, {}, nullptr, {}, ticket});
    state_->changed.notify_all();
    state_->changed.wait(lock, [&] { return state_->done >= ticket || !thread_.Joinable(); });
}

std::int64_t DvLogWriter::Frames() const {
    return state_->frames;
}
std::int64_t DvLogWriter::Dropped() const {
    return state_->dropped;
}
std::int64_t DvLogWriter::Damaged() const {
    return state_->damaged;
}

void DvLogWriter::Run() {
    State& s = *state_;
    std::unique_lock lock(s.lock);
    s.lastFlush = std::chrono::steady_clock::now();
    for (;;) {
        s.changed.wait_for(lock, kFlushInterval, [&] { return s.stopping || !s.queue.empty(); });
        while (!s.queue.empty()) {
            Item item = std::move(s.queue.front());
            s.queue.pop_front();
            if (item.kind == Item::Frame) --s.queuedFrames;
            lock.unlock();
            s.Process(item);
            lock.lock();
            if (item.kind == Item::Finish) {
                s.done = item.ticket;
                s.changed.notify_all();
            }
        }
        // Everything queued is written: whole lines reach the file at least twice a second.
        if (s.file && std::chrono::steady_clock::now() - s.lastFlush >= kFlushInterval) {
            std::fflush(s.file);
            s.lastFlush = std::chrono::steady_clock::now();
        }
        if (s.stopping) break;
    }
    s.Close();
}

}  // namespace tovik
