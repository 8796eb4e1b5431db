// libFuzzer target over the DV pack and audio code: arbitrary bytes as a DV frame, read for its
// packs, its DVINFO and its audio, and written with audio of a format the input chooses.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/dv/audio.h"
#include "platform/dv/dvinfo.h"

namespace {

namespace dv = platform::dv;

void ReadAll(const std::uint8_t* frame, std::size_t size, std::size_t capacity) {
    DVINFO info;
    dv::BuildDvInfo(frame, size, &info);
    // Exactly the capacity, so that a write past it is caught; left uninitialised, since
    // clearing it costs more than the extraction (every loop of the fill is instrumented).
    std::unique_ptr<std::int16_t[]> pcm(new std::int16_t[2 * capacity + 1]);
    dv::AudioFormat format;
    const std::size_t pairs = dv::ExtractAudio(frame, size, pcm.get(), capacity, &format);
    if (pairs > capacity) __builtin_trap();
}

// True when the count fitted the format and the audio was written.
bool WriteSome(std::vector<std::uint8_t>& frame, std::uint8_t choice, std::size_t count) {
    static const int rates[] = {48000, 44100, 32000, 22050};
    dv::AudioWriteFormat format{
        rates[choice & 3], choice & 4 ? dv::Quantization::Nonlinear12 : dv::Quantization::Linear16,
        (choice & 8) != 0};
    // Every sample choice * 257: both of its bytes are `choice`.
    static std::int16_t pcm[2 * 2000];
    std::memset(pcm, choice, sizeof pcm);
    const std::size_t available = choice & 16 ? count / 2 : count;
    if (!dv::WriteAudio(frame.data(), frame.size(), format, pcm, available, count)) return false;
    const auto read = dv::ReadAudioFormat(frame.data(), frame.size());
    // What was written must read back as written.
    if (!read || read->samples != static_cast<int>(count) ||
        read->sampleRate != format.sampleRate || read->quantization != format.quantization)
        __builtin_trap();
    return true;
}

// Repeats the tile over the whole frame: one copy of the tile, then the filled part copied
// onto the rest, doubling each time (a few memcpy calls rather than a division per byte).
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // The input as it is: short, odd-sized and header-less buffers.
    ReadAll(data + 4, size - 4, data[0] * 8u);
    // The input tiled over a whole 525- or 625-line frame with a header block, so that its
    // bytes land in the packs and audio blocks. The frames are allocated once: a fresh 144 KB
    // buffer for every input goes through the sanitizer's large-allocation path each time.
    const bool pal = data[1] & 1;
    static std::vector<std::uint8_t> frames[2] = {std::vector<std::uint8_t>(dv::kFrameSize525),
                                                  std::vector<std::uint8_t>(dv::kFrameSize625)};
    std::vector<std::uint8_t>& frame = frames[pal ? 1 : 0];
    Tile(frame, data + 4, size - 4);
    frame[0] = 0x1F;
    frame[3] = pal ? 0x80 : 0x00;
    ReadAll(frame.data(), frame.size(), 1944);
    ReadAll(frame.data(), frame.size(), data[2]);
    // Read again only what changed: a refused write leaves the frame as it was read above.
    if (WriteSome(frame, data[1] >> 1, 1000u + data[2] * 4u + (data[3] & 3)))
        ReadAll(frame.data(), frame.size(), 1944);
    return 0;
}
