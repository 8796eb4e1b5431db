#include "platform/dv1394/firewire/gap_counter.h"

#include "platform/dv/subcode.h"
#include "platform/dv1394/dv_unit.h"

namespace platform::dv1394::firewire {
namespace {

int Decimal(std::uint32_t bcd) {
    return static_cast<int>((bcd >> 4 & 0xF) * 10 + (bcd & 0xF));
}

}  // namespace

std::int64_t FrameNumberOfTimecodePack(std::uint32_t payload, bool pal) {
    const bool drop_frame = !pal && (payload & 0x40) != 0;
    const std::uint32_t bcd = platform::dv::TimecodeFromPack(payload);
    const std::int64_t frames = Decimal(bcd & 0xFF);
    const std::int64_t seconds = Decimal(bcd >> 8 & 0xFF);
    const std::int64_t minutes = Decimal(bcd >> 16 & 0xFF) + 60 * Decimal(bcd >> 24 & 0xFF);
    const std::int64_t rate = pal ? 25 : 30;
    std::int64_t number = (minutes * 60 + seconds) * rate + frames;
    if (drop_frame) number -= 2 * (minutes - minutes / 10);
    return number;
}

std::uint64_t GapCounter::OnFrame(const std::uint8_t* frame, std::size_t size) {
    const auto pack = platform::dv::FindSubcodePack(frame, size, platform::dv::kPackTimecode);
    if (!pack) return 0;
    const std::int64_t number = FrameNumberOfTimecodePack(*pack, size == kPalFrameSize);
    std::uint64_t lost = 0;
    // Only forward jumps count: a tape wound back during the break lost nothing of the stream.
    if (broken_ && last_ && number > *last_ + 1)
        lost = static_cast<std::uint64_t>(number - *last_ - 1);
    broken_ = false;
    last_ = number;
    return lost;
}

}  // namespace platform::dv1394::firewire
