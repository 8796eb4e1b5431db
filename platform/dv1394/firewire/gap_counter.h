#pragma once
// Counts the frames a stream lost while it was broken (a bus reset drops the connection until
// it is restored, and the tape goes on meanwhile): the subcode time code of the last frame
// before the break and of the first one after it tell how many frames went by unseen.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::dv1394::firewire {

// The frame number a time code pack payload stands for, counted from 00:00:00:00: 25 frames a
// second for 625-line frames, 30 for 525-line ones, with the two labels a minute skipped (but
// every tenth minute) when the pack's drop-frame flag is set.
std::int64_t FrameNumberOfTimecodePack(std::uint32_t payload, bool pal);

class GapCounter {
  public:
    // The stream broke: the next frame with a time code tells what was lost.
    void Break() { broken_ = true; }
    // Each complete frame, in order; the frames lost just before it.
    std::uint64_t OnFrame(const std::uint8_t* frame, std::size_t size);

  private:
    std::optional<std::int64_t> last_;
    bool broken_ = false;
};

}  // namespace platform::dv1394::firewire
