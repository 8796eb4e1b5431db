#pragma once
// Subcode packs of a DV frame: the time code and recording date/time that a camcorder writes in
// the two subcode blocks of every DIF sequence (six sync blocks each: a 3-byte id and a 5-byte
// pack).

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::dv {

inline constexpr std::uint8_t kPackTimecode = 0x13;
inline constexpr std::uint8_t kPackRecordingDate = 0x62;
inline constexpr std::uint8_t kPackRecordingTime = 0x63;

// The payload of the first subcode pack with this id; nothing for a frame that is not DV.
std::optional<std::uint32_t> FindSubcodePack(const std::uint8_t* frame, std::size_t size,
                                             std::uint8_t id);

// Writes the time code (HHMMSSFF in binary-coded decimal, drop-frame flagged as asked) and the
// recording date and time into every subcode block; false for a frame that is not DV.
bool WriteSubcode(std::uint8_t* frame, std::size_t size, std::uint32_t timecodeBcd,
                  bool dropFrame, int year, int month, int day, int hour, int minute, int second);

// HHMMSSFF (BCD) of a time code pack's payload, without its flag bits.
std::uint32_t TimecodeFromPack(std::uint32_t payload);

}  // namespace platform::dv
