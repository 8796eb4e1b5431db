#pragma once
// Stateless helpers for callers that handle DV material frame by frame: frame counts as tape
// timecode, and fitting a block of 48 kHz 16-bit stereo audio to another length.

#include <cstdint>

namespace tovik {

struct ToolTimecode {
    std::uint16_t hours, minutes, seconds, frames;
};

inline constexpr int kRateDropFrame = 0;  // 29.97 material, 30 fps labels with drop-frame
inline constexpr int kRateNonDrop = 1;    // 30 fps
inline constexpr int kRatePal = 2;        // 25 fps

// 1 when filled; 0 for an unknown rate code or a negative frame (timecode untouched).
int FrameToTimecode(std::int32_t frame, ToolTimecode* timecode, int code);

// Writes exactly destinationBytes from the source block; 0 (nothing written) for sizes that are
// not whole sample frames, or a change of length the block cannot give.
int Adjust4816SAudio(void* destination, std::uint32_t destinationBytes, const void* source,
                     std::uint32_t sourceBytes);

}  // namespace tovik
