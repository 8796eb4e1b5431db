#include "platform/dv/dif.h"

namespace platform::dv {

std::optional<FrameLayout> LayoutOf(const std::uint8_t* frame, std::size_t size) {
    if (!frame || size < kBlockSize) return std::nullopt;
    if (static_cast<Section>(frame[0] >> 5) != Section::Header) return std::nullopt;
    // DSF, the top bit of the header's fourth byte: 0 for 525 lines, 1 for 625.
    const bool pal = (frame[3] & 0x80) != 0;
    FrameLayout layout = pal ? FrameLayout{System::Pal625, 12, kFrameSize625}
                             : FrameLayout{System::Ntsc525, 10, kFrameSize525};
    if (size < layout.frameSize) return std::nullopt;
    return layout;
}

namespace {

Pack ReadPack(const std::uint8_t* at) {
    Pack pack{at[0], {at[1], at[2], at[3], at[4]}};
    return pack;
}

}  // namespace

std::optional<Pack> FindAauxPack(const std::uint8_t* frame, const FrameLayout& layout,
                                 std::uint8_t id, int first, int last) {
    if (first < 0) first = 0;
    if (last > layout.sequences) last = layout.sequences;
    for (int s = first; s < last; ++s) {
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b) {
            const std::uint8_t* block = frame + AudioBlockOffset(s, b);
            if (static_cast<Section>(block[0] >> 5) != Section::Audio) continue;
            if (block[3] == id) return ReadPack(block + 3);
        }
    }
    return std::nullopt;
}

std::optional<Pack> FindVauxPack(const std::uint8_t* frame, const FrameLayout& layout,
                                 std::uint8_t id) {
    for (int s = 0; s < layout.sequences; ++s) {
        for (int b = 0; b < 3; ++b) {
            const std::uint8_t* block = frame + VauxBlockOffset(s, b);
            if (static_cast<Section>(block[0] >> 5) != Section::Vaux) continue;
            for (std::size_t p = 0; p < 15; ++p) {
                const std::uint8_t* pack = block + 3 + p * kPackSize;
                if (pack[0] == id) return ReadPack(pack);
            }
        }
    }
    return std::nullopt;
}

}  // namespace platform::dv
