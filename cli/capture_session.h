#pragma once
// One unattended capture: the platform's capture graph (DV device -> Smart Tee -> AVI Mux ->
// File Writer) with a splitter on the mux, the deck's transport (rewind, play, stop), and the
// watch for the ends of a capture (end of tape, duration, no signal, Ctrl-C, a failed write,
// the unit lost). Where the tape changes DV system the graph is built again for the new one
// while the tape plays on, and the capture goes on in a new file.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "cli/capture_options.h"
#include "cli/recording_splitter.h"
#include "platform/com/com_ptr.h"
#include "platform/filters/file_output.h"
#include "platform/filters/file_sequence.h"
#include "platform/media/ext_device.h"
#include "toolkit/graph/direct_show.h"

namespace capture {

enum class EndReason { TapeEnd, Duration, NoSignal, Interrupted, WriteFailed, DeviceLost };
const char* EndReasonName(EndReason reason);

// Exit codes of the program.
inline constexpr int kExitDone = 0;
inline constexpr int kExitDeviceOrFile = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWriteFailed = 3;

struct CaptureResult {
    int exitCode = kExitDone;
    EndReason reason = EndReason::TapeEnd;
    std::string message;  // what went wrong, for an exit code other than 0
    std::vector<CapturedFile> files;
    CaptureFigures figures;
    double seconds = 0;  // wall-clock time of the capture
};

class CaptureSession final : public CDirectShow {
  public:
    explicit CaptureSession(CaptureOptions options);
    ~CaptureSession() override;

    // Runs the capture to its end. `stop` is polled (Ctrl-C); `progress` is called about
    // five times a second with the figures so far.
    CaptureResult Run(const std::atomic<bool>& stop,
                      const std::function<void(const CaptureFigures&)>& progress);

  private:
    // The graph, connected for the system the unit plays now, its files named by the splitter.
    // Without `change` the splitter is new; with it, the one of the last graph goes on.
    bool Build(CaptureResult* result, const std::optional<SystemChange>& change = {});
    bool Rewind(const std::atomic<bool>& stop);
    LONG TransportMode();
    // The graph event that ends the capture, if one came. A change of DV system is noted.
    std::optional<EndReason> GraphEnd(CaptureResult* result);
    // After the tape changed DV system: finishes the file, takes the graph down and runs one
    // built for the new system, recording into a new file. An end if that fails.
    std::optional<EndReason> GoOverToNewSystem(CaptureResult* result);
    // Writes what is held, stops the graph and finishes the last file and its report.
    void StopGraph();
    // Releases the graph and its filters (stopped).
    void TakeDown();
    void Shutdown();

    CaptureOptions options_;
    std::unique_ptr<CFilterTable> table_;
    std::unique_ptr<RecordingSplitter> splitter_;
    std::string placeholder_;
    bool built_ = false;
    bool stopped_ = false;
    bool systemChanged_ = false;
    // Graphs built again for a new system that received no frame before changing again.
    int idleRebuilds_ = 0;
    std::string unitName_;             // the unit the first graph was built for
    std::int64_t arrivedAtBuild_ = 0;  // frames the splitter had when the graph was last built
    platform::ComPtr<IMediaControl> control_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IAMExtTransport> transport_;
    platform::ComPtr<IVelmoraFileSequence> sequence_;
    platform::ComPtr<IVelmoraWriteStatus> muxStatus_, writerStatus_;
};

}  // namespace capture
