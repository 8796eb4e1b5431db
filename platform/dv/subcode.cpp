#include "platform/dv/subcode.h"

#include "platform/dv/dif.h"

namespace platform::dv {
namespace {

constexpr int kSyncBlocks = 6;
constexpr std::size_t kSyncBlockSize = 8;
constexpr std::size_t kFirstSyncBlock = 3;  // after the block's 3-byte id

std::size_t SyncBlockOffset(int sequence, int block, int sync) {
    return sequence * kSequenceSize + (1 + block) * kBlockSize + kFirstSyncBlock +
           sync * kSyncBlockSize;
}

std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) << 4 | (value % 10)); }

std::uint32_t Payload(const std::uint8_t* pack) {
    return pack[1] | pack[2] << 8 | pack[3] << 16 | static_cast<std::uint32_t>(pack[4]) << 24;
}

}  // namespace

std::optional<std::uint32_t> FindSubcodePack(const std::uint8_t* frame, std::size_t size,
                                             std::uint8_t id) {
    auto layout = LayoutOf(frame, size);
    if (!layout) return std::nullopt;
    for (int sequence = 0; sequence < layout->sequences; ++sequence)
        for (int block = 0; block < 2; ++block)
            for (int sync = 0; sync < kSyncBlocks; ++sync) {
                const std::uint8_t* pack = frame + SyncBlockOffset(sequence, block, sync) + 3;
                if (pack[0] == id) return Payload(pack);
            }
    return std::nullopt;
}

bool WriteSubcode(std::uint8_t* frame, std::size_t size, std::uint32_t timecodeBcd,
                  bool dropFrame, int year, int month, int day, int hour, int minute,
                  int second) {
    auto layout = LayoutOf(frame, size);
    if (!layout) return false;
    const std::uint8_t timecode[5] = {
        kPackTimecode,
        static_cast<std::uint8_t>((timecodeBcd & 0x3F) | (dropFrame ? 0x40 : 0)),
        static_cast<std::uint8_t>(timecodeBcd >> 8 & 0x7F),
        static_cast<std::uint8_t>(timecodeBcd >> 16 & 0x7F),
        static_cast<std::uint8_t>(timecodeBcd >> 24 & 0x3F)};
    const std::uint8_t date[5] = {kPackRecordingDate, 0xFF, Bcd(day), Bcd(month), Bcd(year % 100)};
    const std::uint8_t time[5] = {kPackRecordingTime, 0xFF, Bcd(second), Bcd(minute), Bcd(hour)};
    const std::uint8_t* packs[3] = {timecode, date, time};
    for (int sequence = 0; sequence < layout->sequences; ++sequence)
        for (int block = 0; block < 2; ++block)
            for (int sync = 0; sync < kSyncBlocks; ++sync) {
                std::uint8_t* at = frame + SyncBlockOffset(sequence, block, sync);
                // Sync block id: the first-half flag, then the sync block number.
                at[0] = static_cast<std::uint8_t>((sequence < layout->sequences / 2 ? 0x80 : 0) | 0x0F);
                at[1] = static_cast<std::uint8_t>(sync);
                at[2] = 0xFF;
                const std::uint8_t* pack = packs[sync % 3];
                for (int i = 0; i < 5; ++i) at[3 + i] = pack[i];
            }
    return true;
}

std::uint32_t TimecodeFromPack(std::uint32_t payload) {
    return (payload & 0x3F) | (payload & 0x7F00) | (payload & 0x7F0000) | (payload & 0x3F000000);
}

}  // namespace platform::dv
