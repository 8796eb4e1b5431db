// libFuzzer target over the DV pack and audio code: arbitrary bytes as a DV frame, read for its
// packs, its DVINFO and its audio, and written with audio of a format the input chooses.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/dv/audio.h"
#include "platform/dv/dvinfo.h"

namespace {

namespace dv = platform::dv;

void ReadAll(const std::uint8_t* frame, std::size_t size, std::size_t capacity) {
    DVINFO info;
    dv::BuildDvInfo(frame, size, &info);
    std::vector<std::int16_t> pcm(2 * capacity + 2);
    dv::AudioFormat format;
    const std::size_t pairs = dv::ExtractAudio(frame, size, pcm.data(), capacity, &format);
    if (pairs > capacity) __builtin_trap();
}

void WriteSome(std::vector<std::uint8_t>& frame, std::uint8_t choice, std::size_t count) {
    static const int rates[] = {48000, 44100, 32000, 22050};
    dv::AudioWriteFormat format{
        rates[choice & 3], choice & 4 ? dv::Quantization::Nonlinear12 : dv::Quantization::Linear16,
        (choice & 8) != 0};
    std::vector<std::int16_t> pcm(2 * 2000, static_cast<std::int16_t>(choice * 257));
    const std::size_t available = choice & 16 ? count / 2 : count;
    if (!dv::WriteAudio(frame.data(), frame.size(), format, pcm.data(), available, count)) return;
    const auto read = dv::ReadAudioFormat(frame.data(), frame.size());
    // What was written must read back as written.
    if (!read || read->samples != static_cast<int>(count) ||
        read->sampleRate != format.sampleRate || read->quantization != format.quantization)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // The input as it is: short, odd-sized and header-less buffers.
    ReadAll(data + 4, size - 4, data[0] * 8u);
    // The input tiled over a whole 525- or 625-line frame with a header block, so that its
    // bytes land in the packs and audio blocks.
    const bool pal = data[1] & 1;
    std::vector<std::uint8_t> frame(pal ? dv::kFrameSize625 : dv::kFrameSize525);
    const std::size_t tile = size - 4;
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = tile ? data[4 + i % tile] : 0;
    frame[0] = 0x1F;
    frame[3] = pal ? 0x80 : 0x00;
    ReadAll(frame.data(), frame.size(), 1944);
    ReadAll(frame.data(), frame.size(), data[2]);
    WriteSome(frame, data[1] >> 1, 1000u + data[2] * 4u + (data[3] & 3));
    ReadAll(frame.data(), frame.size(), 1944);
    return 0;
}
