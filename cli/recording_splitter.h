#pragma once
// Decides, frame by frame, where the files of a capture begin: every frame is analysed as it
// arrives, the tracker's breaks (confirmed by the frames after them) mark the frames that
// begin a new file, and each file gets its name and its tape report when its first frame is
// written. Called by the AVI Mux on the streaming thread; the figures are read by the
// program's thread while recording.

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/capture_options.h"
#include "cli/file_naming.h"
#include "cli/system_change.h"
#include "platform/dv/frame_analysis.h"
#include "platform/filters/file_sequence.h"
#include "toolkit/capture/dv_log_writer.h"

namespace capture {

// One file of a capture as it stands.
struct CapturedFile {
    std::string path;
    std::int64_t frames = 0;
    std::string firstTimecode, lastTimecode;  // empty where the frames had none
    std::string recorded;                     // of its first dated frame; empty without
    std::string reason;  // why it began: "first", "date", "start", "timecode", "format"
};

// What the progress line and the summary show.
struct CaptureFigures {
    std::int64_t frames = 0;
    std::int64_t dropped = 0;
    std::int64_t damaged = 0;
    std::int64_t bytes = 0;  // frame bytes written
    std::string timecode, recorded, file;
};

class RecordingSplitter final : public IVelmoraFrameSplitter {
  public:
    // Frames the mux holds back, so that a break is confirmed before its frame is written.
    static constexpr int kLookahead = 4;
    // The frames lost before now, as the device counts them.
    using LossCounter = std::function<platform::dv::FrameLoss()>;

    RecordingSplitter(SplitRules rules, FileNamer namer, std::string deviceName,
                      LossCounter losses);
    ~RecordingSplitter();

    // IUnknown: the object belongs to its owner, who keeps it beyond the graph.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE FrameArrived(const BYTE* frame, LONG size) override;
    HRESULT STDMETHODCALLTYPE NextFrame(VelmoraNextFile* next) override;

    // Closes the tape report of the last file. After the graph has stopped.
    void Finish();
    // For the next run of a graph built again after the DV system changed, once the last run
    // has stopped: what the last device lost after its last frame, and the frames of the new
    // system that passed unseen meanwhile, are lost before the next frame, which begins a new
    // file; `losses` counts what the new device loses.
    void ContinueAfterSystemChange(LossCounter losses, const SystemChange& change);

    CaptureFigures Figures() const;
    std::vector<CapturedFile> Files() const;
    std::int64_t Arrived() const { return arrived_; }
    // When the last frame arrived (the start of the capture before any).
    std::chrono::steady_clock::time_point LastArrival() const;

  private:
    struct Held {
        std::int64_t index;
        platform::dv::FrameAnalysis analysis;
        platform::dv::FrameLoss lost;
        LONG size;
        const char* split = nullptr;   // why a new file begins here, if it does
        std::int64_t lostCounted = 0;  // of `lost`, already in the figures
    };
    const char* SplitReason(platform::dv::FrameEventKind kind) const;
    void MarkSplit(std::int64_t frame, const char* reason);
    void BeginFile(const Held& first, VelmoraNextFile* next);

    SplitRules rules_;
    FileNamer namer_;
    std::string deviceName_;
    LossCounter losses_;

    // On the streaming thread.
    platform::dv::FrameEventTracker tracker_;
    std::deque<Held> held_;
    std::int64_t nextIndex_ = 0;
    platform::dv::FrameLoss lossSeen_;
    // Set between two runs, for the first frame of the next one.
    std::optional<SystemChange> change_;
    platform::dv::FrameLoss lostAtChange_;
    tovik::DvLogWriter log_;
    bool logOpen_ = false;

    std::atomic<std::int64_t> arrived_{0};
    std::atomic<std::int64_t> lastArrival_;
    mutable std::mutex figuresLock_;  // for what follows
    CaptureFigures figures_;
    std::vector<CapturedFile> files_;
};

}  // namespace capture
