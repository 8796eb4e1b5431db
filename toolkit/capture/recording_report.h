#pragma once
// The tape report of a capture object's recordings: taps the frames the AVI mux writes, tells
// from their numbers in the unit's stream how many were lost before each and why (from the
// device filter's counts), and hands them to a sidecar writer.

#include <atomic>
#include <memory>
#include <string>

#include "platform/com/com_ptr.h"
#include "platform/dv1394/dv_link_stats.h"
#include "platform/filters/avi_mux.h"
#include "toolkit/capture/dv_log_writer.h"

namespace tovik {

// Splits the frames lost before a frame by the reasons the device filter counted. The counts
// may run ahead of the frames (a loss counted before the frame ahead of it is written), so
// what is not yet used stays for the next gap; a gap the counts do not explain was the link's.
class LossAttribution {
  public:
    // `number`: the frame's place in the unit's stream (nothing when it has none); the totals
    // are the device filter's counts read now.
    platform::dv::FrameLoss Next(std::optional<std::int64_t> number,
                                 const platform::dv::FrameLoss& totals);

  private:
    std::optional<std::int64_t> last_;
    platform::dv::FrameLoss seen_, unused_;
};

class RecordingReport final : public VelmoraFrameTap {
  public:
    RecordingReport();
    ~RecordingReport();

    // Starts the sidecar of the recording `path` and taps the mux; the device filter gives the
    // losses and the unit's name. Without a sidecar the recording goes on unreported.
    void Begin(const char* path, IBaseFilter* device, IBaseFilter* mux);
    // Ends the tap and finishes the sidecar (summary line). The graph must be stopped.
    void End();
    // As End, for a recording that never started: its sidecar is removed.
    void Abandon();

    std::int64_t Frames() const { return writer_ ? writer_->Frames() : 0; }
    std::int64_t Dropped() const { return writer_ ? writer_->Dropped() : 0; }
    std::int64_t Damaged() const { return writer_ ? writer_->Damaged() : 0; }

    void OnFrameWritten(const BYTE* data, LONG size, IMediaSample* sample) override;

  private:
    platform::dv::FrameLoss DeviceTotals() const;

    std::unique_ptr<DvLogWriter> writer_;
    platform::ComPtr<IVelmoraAviMuxTap> tap_;
    platform::ComPtr<IVelmoraDvLinkStats> stats_;
    LossAttribution losses_;  // on the streaming thread
    std::string sidecar_;
};

}  // namespace tovik
