#include "cli/system_change.h"

#include <algorithm>
#include <cmath>

namespace capture {

namespace dv = platform::dv;

namespace {

double FramesPerSecond(dv::System system) {
    return system == dv::System::Pal625 ? 25.0 : 30000.0 / 1001.0;
}

// Decks that play faster than real time (shuttling, or a test deck) still move the tape by
// no more than this many times the frame rate.
constexpr double kFastestPlay = 16;
// Time added to the gap for the frames still on their way when the old device stopped.
constexpr double kSlackSeconds = 1;

}  // namespace

std::int64_t FramesPassedUnseen(const SystemChange& change, const dv::FrameAnalysis& first,
                                std::chrono::steady_clock::time_point arrived) {
    const double seconds =
        std::max(0.0, std::chrono::duration<double>(arrived - change.stopped).count());
    const double fps = FramesPerSecond(first.system);
    const dv::FrameAnalysis& before = change.firstDropped;
    if (before.isDv && first.isDv && before.system == first.system && before.timecode.valid &&
        first.timecode.valid) {
        // The first frame dropped is `dropped` frames before the first one not seen.
        const std::int64_t unseen = first.timecode.count - before.timecode.count - change.dropped;
        const double most = (seconds + kSlackSeconds) * fps * kFastestPlay;
        if (unseen >= 0 && double(unseen) <= most) return unseen;
    }
    return std::max<std::int64_t>(
        0, std::int64_t(std::floor(seconds * fps)) - change.droppedAfterStop);
}

void AddChange(SystemChange* pending, const SystemChange& next) {
    if (!pending->firstDropped.isDv) {
        *pending = next;  // nothing of the earlier stretch to count from
        return;
    }
    pending->dropped += next.dropped;
    pending->droppedAfterStop += next.dropped;
}

}  // namespace capture
