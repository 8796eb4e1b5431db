#pragma once
// One frame put together from several copies of it, DIF block by DIF block: every video block
// from a copy whose error status says clean (else the least severe one), every audio block
// from a copy the deck did not fill with the "no sample" code, and the header, subcode and
// VAUX blocks from the copy that gave the most blocks.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/dv/frame_analysis.h"

namespace velmora::merge {

// How bad a video block's error status is: 0 clean, 1 concealed from the previous or next
// frame, 2 concealed otherwise, 3 a reserved value, 4 an error left in the block.
int StaSeverity(int sta);

// Whether every sample slot of an audio block (80 bytes) holds the "no sample" code of
// `bits`-bit sound (16 or 12).
bool AudioBlockUnreadable(const std::uint8_t* block, int bits);

struct FrameCopy {
    const std::uint8_t* bytes;  // a whole DV frame, the same size for every copy
    const platform::dv::FrameAnalysis* analysis;
};

struct MergedFrame {
    std::vector<std::uint8_t> bytes;
    int base = 0;  // the copy the header, subcode and VAUX blocks come from
    // Blocks taken from another copy than the base: (block index in the frame, copy).
    std::vector<std::pair<int, int>> repaired;
    std::vector<int> residual;  // blocks no copy had clean
    int disputedSettled = 0;    // clean blocks that differed, decided by a majority of copies
    int disputedOpen = 0;       // ... where no majority decided
};

// Puts one frame together from its copies (at least one). Copies are indexes into `copies`.
MergedFrame MergeFrame(const std::vector<FrameCopy>& copies, std::size_t size);

// "3-7,12,40-41" for sorted block indexes.
std::string FormatRanges(const std::vector<int>& sorted);

}  // namespace velmora::merge
