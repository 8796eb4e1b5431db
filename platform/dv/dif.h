#pragma once
// Layout of a DV (IEC 61834 / SMPTE 314M, 25 Mb/s) frame: DIF sequences of 150 blocks of 80
// bytes. Each sequence starts with a header block, two subcode blocks and three VAUX blocks;
// then one audio block precedes every fifteen video blocks (9 audio, 135 video).

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::dv {

inline constexpr std::size_t kBlockSize = 80;
inline constexpr std::size_t kBlocksPerSequence = 150;
inline constexpr std::size_t kSequenceSize = kBlockSize * kBlocksPerSequence;  // 12000
inline constexpr std::size_t kAudioBlocksPerSequence = 9;
inline constexpr std::size_t kPackSize = 5;  // an id byte and four payload bytes
inline constexpr std::size_t kFrameSize525 = 10 * kSequenceSize;  // 120000
inline constexpr std::size_t kFrameSize625 = 12 * kSequenceSize;  // 144000

// Pack identifiers.
inline constexpr std::uint8_t kPackAauxSource = 0x50;
inline constexpr std::uint8_t kPackAauxControl = 0x51;
inline constexpr std::uint8_t kPackVauxSource = 0x60;
inline constexpr std::uint8_t kPackVauxControl = 0x61;
inline constexpr std::uint8_t kPackNoInfo = 0xFF;

// Section types in the top three bits of a block's first byte.
enum class Section : std::uint8_t { Header = 0, Subcode = 1, Vaux = 2, Audio = 3, Video = 4 };

enum class System { Ntsc525, Pal625 };

struct FrameLayout {
    System system;
    int sequences;  // DIF sequences in a frame: 10 or 12
    std::size_t frameSize;
};

// The layout the header block announces (its DSF bit), when the buffer holds a whole frame of
// that system and starts with a header block. Anything else answers nothing.
std::optional<FrameLayout> LayoutOf(const std::uint8_t* frame, std::size_t size);

// Byte offset of audio block `index` (0..8) of sequence `sequence` within a frame.
constexpr std::size_t AudioBlockOffset(int sequence, int index) {
    return sequence * kSequenceSize + (6 + 16 * static_cast<std::size_t>(index)) * kBlockSize;
}

// Byte offset of VAUX block `index` (0..2) of sequence `sequence`.
constexpr std::size_t VauxBlockOffset(int sequence, int index) {
    return sequence * kSequenceSize + (3 + static_cast<std::size_t>(index)) * kBlockSize;
}

// The section of block `block` (0..149) of a sequence, by its position.
constexpr Section SectionAt(int block) {
    if (block == 0) return Section::Header;
    if (block < 3) return Section::Subcode;
    if (block < 6) return Section::Vaux;
    return (block - 6) % 16 == 0 ? Section::Audio : Section::Video;
}

// A pack found in a frame: its four payload bytes.
struct Pack {
    std::uint8_t id;
    std::uint8_t payload[4];
};

// The first AAUX pack with this id in the sequences [first, last) of the frame (audio blocks
// carry one pack each, after the block id). `layout` must come from LayoutOf for this frame.
std::optional<Pack> FindAauxPack(const std::uint8_t* frame, const FrameLayout& layout,
                                 std::uint8_t id, int first, int last);
// The first VAUX pack with this id (VAUX blocks carry fifteen packs each).
std::optional<Pack> FindVauxPack(const std::uint8_t* frame, const FrameLayout& layout,
                                 std::uint8_t id);

}  // namespace platform::dv
