// libFuzzer target over the per-frame analysis and the events over successive frames: the
// input as it is, and tiled over whole 525- and 625-line frames behind a header block so that
// its bytes land in the packs, the audio blocks and the video blocks' status nibbles.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/dv/frame_analysis.h"

namespace {

namespace dv = platform::dv;

void Tile(std::vector<std::uint8_t>& frame, const std::uint8_t* tile, std::size_t size) {
    if (size == 0) {
        std::fill(frame.begin(), frame.end(), std::uint8_t{0});
        return;
    }
    std::size_t filled = std::min(size, frame.size());
    std::memcpy(frame.data(), tile, filled);
    while (filled < frame.size()) {
        const std::size_t more = std::min(filled, frame.size() - filled);
        std::memcpy(frame.data() + filled, frame.data(), more);
        filled += more;
    }
}

void Check(const dv::FrameAnalysis& a, std::size_t size) {
    if (!a.isDv) return;
    const int blocks = size == dv::kFrameSize625 ? 1620 : 1350;
    int total = 0;
    for (auto count : a.videoBlocksBySta) total += count;
    if (total != blocks || a.videoErrorBlocks != a.videoErrorsEven + a.videoErrorsOdd ||
        a.audioErrorBlocks > 108)
        __builtin_trap();
    // Whatever was read formats as JSON with the values in range.
    dv::FrameJson(0, a, {});
    if (a.recorded && (a.recorded->year < 1970 || a.recorded->year > 2069)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    Check(dv::AnalyseFrame(data + 2, size - 2), size - 2);
    static std::vector<std::uint8_t> frames[2] = {std::vector<std::uint8_t>(dv::kFrameSize525),
                                                  std::vector<std::uint8_t>(dv::kFrameSize625)};
    const bool pal = data[0] & 1;
    std::vector<std::uint8_t>& frame = frames[pal ? 1 : 0];
    Tile(frame, data + 2, size - 2);
    frame[0] = 0x1F;
    frame[3] = pal ? 0x80 : 0x00;
    // The same frame fed a few times with losses between: the tracker never trips.
    dv::FrameEventTracker tracker;
    for (int i = 0; i < 3; ++i) {
        const auto a = dv::AnalyseFrame(frame.data(), frame.size());
        Check(a, frame.size());
        for (const auto& event : tracker.Feed(i, a, data[1] & 7)) dv::EventJson(event);
        frame[std::size_t(data[1]) * 97 % frame.size()] ^= 0xFF;
    }
    return 0;
}
