#pragma once
// A tape that goes over to the other DV system while it is captured: the device of the graph
// connected for the first system drops the frames of the second whole, and the graph is built
// again for it. What the first device saw of the new system tells how many of its frames went
// by unseen until the new graph received one.

#include <chrono>
#include <cstdint>

#include "platform/dv/frame_analysis.h"

namespace capture {

struct SystemChange {
    // The first frame of the new system that the old device dropped (isDv false without one),
    // and the frames of the unit's stream it accounted for from that one on: dropped, lost on
    // the link or damaged.
    platform::dv::FrameAnalysis firstDropped;
    std::int64_t dropped = 0;
    // When the old device stopped receiving.
    std::chrono::steady_clock::time_point stopped;
    // Of `dropped`, those that devices of graphs built again since then accounted for, when
    // none of those graphs received a frame.
    std::int64_t droppedAfterStop = 0;
};

// The change a graph built again meets before it received any frame, added to the one that
// it was built for.
void AddChange(SystemChange* pending, const SystemChange& next);

// The frames of the new system that passed after the last one the old device dropped and
// before `first`, the first frame the new graph received (at `arrived`). Counted by the time
// code where it runs on from the first frame dropped to `first` as the time allows, else
// estimated from the time between.
std::int64_t FramesPassedUnseen(const SystemChange& change,
                                const platform::dv::FrameAnalysis& first,
                                std::chrono::steady_clock::time_point arrived);

}  // namespace capture
