#include "toolkit/tools/dv_tools.h"

#include <cstring>

namespace tovik {
namespace {

void SplitLabels(std::int64_t label, std::int64_t perSecond, ToolTimecode* timecode) {
    const std::int64_t perMinute = perSecond * 60, perHour = perMinute * 60;
    timecode->hours = static_cast<std::uint16_t>(label / perHour);
    timecode->minutes = static_cast<std::uint16_t>(label % perHour / perMinute);
    timecode->seconds = static_cast<std::uint16_t>(label % perMinute / perSecond);
    timecode->frames = static_cast<std::uint16_t>(label % perSecond);
}

// Drop-frame labels skip 00 and 01 at the start of every minute except each tenth: 18 labels
// in every ten minutes (17982 real frames), two in each minute after the first (1798 frames).
std::int64_t DropFrameLabel(std::int64_t frame) {
    constexpr std::int64_t kTenMinutes = 17982, kMinute = 1798;
    const std::int64_t tens = frame / kTenMinutes, rest = frame % kTenMinutes;
    std::int64_t skipped = 18 * tens;
    if (rest >= 2) skipped += 2 * ((rest - 2) / kMinute);
    return frame + skipped;
}

struct Pair {
    std::int16_t left, right;
};

std::int16_t Average(std::int16_t x, std::int16_t y) {
    return static_cast<std::int16_t>((std::int32_t{x} + std::int32_t{y}) >> 1);
}

Pair Average(Pair a, Pair b) {
    return {Average(a.left, b.left), Average(a.right, b.right)};
}

Pair Load(const std::uint8_t* block, std::uint32_t index) {
    Pair pair;
    std::memcpy(&pair, block + index * 4u, 4);
    return pair;
}

void Store(std::uint8_t* block, std::uint32_t index, Pair pair) {
    std::memcpy(block + index * 4u, &pair, 4);
}

// n frames inserted, each after a chunk of S / (n + 1) source frames.
void Insert(std::uint8_t* out, const std::uint8_t* in, std::uint32_t s, std::uint32_t n) {
    const std::uint32_t chunk = s / (n + 1);
    std::uint32_t from = 0, to = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::memcpy(out + to * 4u, in + from * 4u, chunk * 4u);
        from += chunk;
        to += chunk;
        Store(out, to++, Average(Load(in, from - 1), Load(in, from)));
    }
    std::memcpy(out + to * 4u, in + from * 4u, (s - from) * 4u);
}

// m frames merged into their neighbours, one at the end of each chunk of S / (m + 1) frames.
void Drop(std::uint8_t* out, const std::uint8_t* in, std::uint32_t s, std::uint32_t d,
          std::uint32_t m) {
    const std::uint32_t chunk = s / (m + 1);
    std::uint32_t from = 0, to = 0;
    for (std::uint32_t i = 0; i < m; ++i) {
        const std::uint32_t copy = i == 0 ? chunk : chunk - 1;
        std::memcpy(out + to * 4u, in + from * 4u, copy * 4u);
        from += copy;
        to += copy;
        Store(out, to - 1, Average(Load(out, to - 1), Load(in, from)));
        ++from;  // merged into the frame before it
    }
    std::memcpy(out + to * 4u, in + from * 4u, (d - to) * 4u);
}

}  // namespace

int FrameToTimecode(std::int32_t frame, ToolTimecode* timecode, int code) {
    if (!timecode || frame < 0) return 0;  // frames count from 0
    switch (code) {
        case kRateDropFrame:
            SplitLabels(DropFrameLabel(frame), 30, timecode);
            return 1;
        case kRateNonDrop:
            SplitLabels(frame, 30, timecode);
            return 1;
        case kRatePal:
            SplitLabels(frame, 25, timecode);
            return 1;
        default:
            return 0;
    }
}

int Adjust4816SAudio(void* destination, std::uint32_t destinationBytes, const void* source,
                     std::uint32_t sourceBytes) {
    if (destinationBytes % 4 != 0 || sourceBytes % 4 != 0) return 0;
    if ((destinationBytes && !destination) || (sourceBytes && !source)) return 0;
    const std::uint32_t d = destinationBytes / 4, s = sourceBytes / 4;
    auto* out = static_cast<std::uint8_t*>(destination);
    const auto* in = static_cast<const std::uint8_t*>(source);
    if (d == s) {
        if (d) std::memcpy(out, in, sourceBytes);
        return 1;
    }
    if (d > s) {
        if (std::uint64_t{d} > 2ull * s - 1 || s == 0) return 0;
        Insert(out, in, s, d - s);
        return 1;
    }
    if (d == 0) return 0;
    Drop(out, in, s, d, s - d);
    return 1;
}

}  // namespace tovik
