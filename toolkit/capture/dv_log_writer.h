#pragma once
// The tape report of a recording: a JSON Lines file beside it (NAME.avi -> NAME.avi.dvlog.jsonl)
// with a first line describing the file and the device, one line per frame written, a line
// per event, and a last line with the totals. Frames are analysed and written on a thread of
// the writer's own, so the stream never waits for the disk; the file is flushed at least once
// a second, so that after a crash every line but possibly the last is whole.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dv/frame_analysis.h"
#include "platform/kernel/thread.h"

namespace tovik {

// The sidecar's name for a recording.
std::string DvLogPathFor(const std::string& recordingPath);

struct DvLogSource {
    std::string device;  // the unit's name, or the file re-analysed
    std::string kind;    // "capture", "analyse"
};

class DvLogWriter {
  public:
    DvLogWriter();
    ~DvLogWriter();  // finishes the current sidecar (summary line) and joins the thread
    DvLogWriter(const DvLogWriter&) = delete;
    DvLogWriter& operator=(const DvLogWriter&) = delete;

    // Ends the sidecar being written, if any, and starts one for `recordingPath` whose first
    // frame is frame `firstFrame` of the stream (the frame numbers in the sidecar count from 0
    // in each file). False when the sidecar cannot be created.
    bool Start(const std::string& recordingPath, const DvLogSource& source,
               std::int64_t firstFrame = 0);
    // As Start, with the sidecar at `sidecarPath` rather than beside the recording.
    bool StartAt(const std::string& sidecarPath, const std::string& recordingPath,
                 const DvLogSource& source, std::int64_t firstFrame = 0);
    // Hands over one frame as it goes into the recording, with what was lost just before it.
    // Never blocks on the disk: the frame is copied into a queue (a full queue keeps only the
    // frame's analysis, done here, rather than waiting).
    void AddFrame(const std::uint8_t* frame, std::size_t size, const platform::dv::FrameLoss& lost);
    // As AddFrame, for a frame already analysed.
    void AddAnalysis(const platform::dv::FrameAnalysis& analysis,
                     const platform::dv::FrameLoss& lost);
    // Writes everything queued and the summary line, and closes the sidecar.
    void Finish();

    // Totals so far of the current sidecar (frames handed over, lost, damaged), readable from
    // any thread while recording.
    std::int64_t Frames() const;
    std::int64_t Dropped() const;
    std::int64_t Damaged() const;

  private:
    struct Item;
    struct State;
    void Run();
    std::unique_ptr<State> state_;
    platform::Thread thread_;
};

}  // namespace tovik
