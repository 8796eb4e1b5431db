#include "platform/dv/audio.h"

#include <algorithm>

namespace platform::dv {

namespace {

constexpr int kSampleRates[3] = {48000, 44100, 32000};
constexpr std::uint16_t kNoSample16 = 0x8000;
constexpr std::uint16_t kNoSample12 = 0x800;

int SequencesPerHalf(System system) {
    return system == System::Ntsc525 ? 5 : 6;
}

int RateCode(int sampleRate) {
    for (int i = 0; i < 3; ++i)
        if (kSampleRates[i] == sampleRate) return i;
    return -1;
}

// Where sample n of a channel half lives: the sequence within the half, the audio block and
// the index of the sample within the block's data. The shuffle spreads neighbouring samples
// over different sequences and blocks so that a tape dropout damages scattered samples only.
struct Position {
    int sequence;
    int block;
    int slot;
};

Position PositionOf(int n, int perHalf) {
    const int perBlockRound = 9 * perHalf;  // consecutive samples before the slot advances
    return Position{(n / 3 + 2 * (n % 3)) % perHalf,
                    3 * (n % 3) + (n % perBlockRound) / (3 * perHalf), n / perBlockRound};
}

std::size_t ByteOffset(int half, int perHalf, const Position& p, int bytesPerSlot) {
    return AudioBlockOffset(half * perHalf + p.sequence, p.block) + 8 +
           static_cast<std::size_t>(p.slot) * bytesPerSlot;
}

// 12-bit nonlinear: codes 0..511 are linear; each further block of 256 codes doubles the step.
// Negative values mirror the positive ones in one's complement.
std::int32_t ExpandPositive(std::int32_t code) {
    const std::int32_t segment = code >> 8;
    if (segment < 2) return code;
    return (code - 256 * (segment - 1)) << (segment - 1);
}

std::int32_t CompressPositive(std::int32_t value) {
    if (value < 512) return value;
    int shift = 0;
    while ((value >> shift) >= 512) ++shift;
    return (value >> shift) + 256 * shift;
}

}  // namespace

std::int16_t Expand12(std::uint16_t code) {
    code &= 0xFFF;
    if (code & 0x800) return static_cast<std::int16_t>(~ExpandPositive(~code & 0x7FF));
    return static_cast<std::int16_t>(ExpandPositive(code));
}

std::uint16_t Compress12(std::int16_t value) {
    if (value >= 0) return static_cast<std::uint16_t>(CompressPositive(value));
    const auto code = static_cast<std::uint16_t>(~CompressPositive(~value) & 0xFFF);
    // 0x800 is the "no sample" code: the loudest negative values take the next code.
    return code == kNoSample12 ? kNoSample12 + 1 : code;
}

int AudioCapacity(System system, Quantization quantization) {
    const int slots = quantization == Quantization::Linear16 ? 36 : 24;
    return 9 * SequencesPerHalf(system) * slots;
}

int MinAudioSamples(System system, int sampleRate) {
    const bool ntsc = system == System::Ntsc525;
    switch (sampleRate) {
        case 48000:
            return ntsc ? 1580 : 1896;
        case 44100:
            return ntsc ? 1452 : 1742;
        case 32000:
            return ntsc ? 1053 : 1264;
        default:
            return 0;
    }
}

int LockedSamplesInFrame(System system, int sampleRate, std::int64_t frameNumber) {
    if (system == System::Pal625) return sampleRate / 25;
    if (frameNumber < 0) frameNumber = 0;
    if (sampleRate == 48000) return frameNumber % 5 == 0 ? 1600 : 1602;
    // rate * 1001 / 30000 per frame, handed out so that the running total stays exact.
    const std::int64_t k = frameNumber % 30000;
    const std::int64_t perCycle = static_cast<std::int64_t>(sampleRate) * 1001;
    return static_cast<int>((k + 1) * perCycle / 30000 - k * perCycle / 30000);
}

std::optional<AudioFormat> ReadAudioFormat(const std::uint8_t* frame, std::size_t size) {
    const auto layout = LayoutOf(frame, size);
    if (!layout) return std::nullopt;
    const auto pack =
        FindAauxPack(frame, *layout, kPackAauxSource, 0, SequencesPerHalf(layout->system));
    if (!pack) return std::nullopt;
    const int rateCode = (pack->payload[3] >> 3) & 0x07;
    const int quant = pack->payload[3] & 0x07;
    if (rateCode > 2 || quant > 1) return std::nullopt;
    AudioFormat format;
    format.system = layout->system;
    format.sampleRate = kSampleRates[rateCode];
    format.quantization = quant == 0 ? Quantization::Linear16 : Quantization::Nonlinear12;
    if (format.quantization == Quantization::Nonlinear12 && format.sampleRate != 32000)
        return std::nullopt;
    format.locked = (pack->payload[0] & 0x80) == 0;
    format.samples =
        std::min(MinAudioSamples(format.system, format.sampleRate) + (pack->payload[0] & 0x3F),
                 AudioCapacity(format.system, format.quantization));
    return format;
}

namespace {

void Extract16(const std::uint8_t* frame, int perHalf, std::int16_t* pcm, int pairs) {
    for (int n = 0; n < pairs; ++n) {
        const Position p = PositionOf(n, perHalf);
        for (int channel = 0; channel < 2; ++channel) {
            const std::uint8_t* at = frame + ByteOffset(channel, perHalf, p, 2);
            const auto code = static_cast<std::uint16_t>(at[0] << 8 | at[1]);
            pcm[2 * n + channel] = code == kNoSample16 ? 0 : static_cast<std::int16_t>(code);
        }
    }
}

void Extract12(const std::uint8_t* frame, int perHalf, std::int16_t* pcm, int pairs) {
    for (int n = 0; n < pairs; ++n) {
        const std::uint8_t* at = frame + ByteOffset(0, perHalf, PositionOf(n, perHalf), 3);
        const auto left = static_cast<std::uint16_t>(at[0] << 4 | at[2] >> 4);
        const auto right = static_cast<std::uint16_t>(at[1] << 4 | (at[2] & 0x0F));
        pcm[2 * n] = left == kNoSample12 ? 0 : Expand12(left);
        pcm[2 * n + 1] = right == kNoSample12 ? 0 : Expand12(right);
    }
}

}  // namespace

std::size_t ExtractAudio(const std::uint8_t* frame, std::size_t size, std::int16_t* pcm,
                         std::size_t capacityPairs, AudioFormat* format) {
    const auto found = ReadAudioFormat(frame, size);
    if (!found || !pcm) return 0;
    if (format) *format = *found;
    const int pairs = static_cast<int>(std::min<std::size_t>(found->samples, capacityPairs));
    const int perHalf = SequencesPerHalf(found->system);
    if (found->quantization == Quantization::Linear16)
        Extract16(frame, perHalf, pcm, pairs);
    else
        Extract12(frame, perHalf, pcm, pairs);
    return static_cast<std::size_t>(pairs);
}

namespace {

std::uint16_t Code16(std::int16_t value) {
    return static_cast<std::uint16_t>(value == -32768 ? -32767 : value);
}

void Write16(std::uint8_t* frame, int perHalf, const std::int16_t* pcm, int available,
             int capacity) {
    for (int n = 0; n < capacity; ++n) {
        const Position p = PositionOf(n, perHalf);
        for (int channel = 0; channel < 2; ++channel) {
            std::uint16_t code = n < available ? Code16(pcm[2 * n + channel]) : kNoSample16;
            std::uint8_t* at = frame + ByteOffset(channel, perHalf, p, 2);
            at[0] = static_cast<std::uint8_t>(code >> 8);
            at[1] = static_cast<std::uint8_t>(code);
        }
    }
}

void Write12(std::uint8_t* frame, int perHalf, const std::int16_t* pcm, int available,
             int capacity) {
    for (int n = 0; n < capacity; ++n) {
        const Position p = PositionOf(n, perHalf);
        const std::uint16_t left = n < available ? Compress12(pcm[2 * n]) : kNoSample12;
        const std::uint16_t right = n < available ? Compress12(pcm[2 * n + 1]) : kNoSample12;
        std::uint8_t* at = frame + ByteOffset(0, perHalf, p, 3);
        at[0] = static_cast<std::uint8_t>(left >> 4);
        at[1] = static_cast<std::uint8_t>(right >> 4);
        at[2] = static_cast<std::uint8_t>((left & 0x0F) << 4 | (right & 0x0F));
        // The second half's pair (third and fourth channels) carries no sound.
        std::uint8_t* unused = frame + ByteOffset(1, perHalf, p, 3);
        unused[0] = static_cast<std::uint8_t>(kNoSample12 >> 4);
        unused[1] = static_cast<std::uint8_t>(kNoSample12 >> 4);
        unused[2] = 0;
    }
}

// The AAUX source pack payload of one half of the frame.
void SourcePack(std::uint8_t* payload, const AudioWriteFormat& format, System system, int half,
                int afSize) {
    const bool twelve = format.quantization == Quantization::Nonlinear12;
    payload[0] = static_cast<std::uint8_t>((format.locked ? 0x00 : 0x80) | 0x40 | afSize);
    // Channels per block (two for 12-bit pairs) and the audio mode: 16-bit carries the left
    // channel in the first half and the right in the second; 12-bit has the stereo pair in the
    // first half and nothing (mode 0xF) in the second.
    const int mode = twelve ? (half == 0 ? 0x0 : 0xF) : half;
    payload[1] = static_cast<std::uint8_t>((twelve ? 0x20 : 0x00) | mode);
    payload[2] = static_cast<std::uint8_t>(0xC0 | (system == System::Pal625 ? 0x20 : 0x00));
    payload[3] =
        static_cast<std::uint8_t>(0x80 | RateCode(format.sampleRate) << 3 | (twelve ? 1 : 0));
}

// Source control: copying free, source and compression unknown, an original recording that is
// neither start nor end, forward at normal speed, genre unknown.
void ControlPack(std::uint8_t* payload, System system) {
    payload[0] = 0x3C;
    payload[1] = 0xCF;
    payload[2] = static_cast<std::uint8_t>(0x80 | (system == System::Pal625 ? 0x64 : 0x78));
    payload[3] = 0xFF;
}

// Packs in the audio blocks: the source pack in block 3 of even sequences and block 0 of odd
// ones, the control pack in the block after it; every other block carries "no information".
void WritePacks(std::uint8_t* frame, const FrameLayout& layout, const AudioWriteFormat& format,
                int afSize) {
    const int perHalf = layout.sequences / 2;
    for (int s = 0; s < layout.sequences; ++s) {
        const int sourceBlock = s % 2 == 0 ? 3 : 0;
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b) {
            std::uint8_t* block = frame + AudioBlockOffset(s, b);
            if (static_cast<Section>(block[0] >> 5) != Section::Audio) {
                block[0] = 0x7F;
                block[1] = static_cast<std::uint8_t>(s << 4 | 0x07);
                block[2] = static_cast<std::uint8_t>(b);
            }
            std::uint8_t* pack = block + 3;
            if (b == sourceBlock) {
                pack[0] = kPackAauxSource;
                SourcePack(pack + 1, format, layout.system, s / perHalf, afSize);
            } else if (b == sourceBlock + 1) {
                pack[0] = kPackAauxControl;
                ControlPack(pack + 1, layout.system);
            } else {
                std::fill(pack, pack + kPackSize, kPackNoInfo);
            }
        }
    }
}

bool CountFits(System system, const AudioWriteFormat& format, std::size_t count) {
    const int minimum = MinAudioSamples(system, format.sampleRate);
    const int capacity = AudioCapacity(system, format.quantization);
    if (RateCode(format.sampleRate) < 0) return false;
    if (format.quantization == Quantization::Nonlinear12 && format.sampleRate != 32000)
        return false;
    return count >= static_cast<std::size_t>(minimum) &&
           count <= static_cast<std::size_t>(capacity) && count - minimum <= 63;
}

}  // namespace

bool AudioPacks(const AudioWriteFormat& format, System system, int half, std::size_t count,
                std::uint8_t source[4], std::uint8_t control[4]) {
    if (!CountFits(system, format, count)) return false;
    SourcePack(source, format, system, half,
               static_cast<int>(count) - MinAudioSamples(system, format.sampleRate));
    ControlPack(control, system);
    return true;
}

bool WriteAudio(std::uint8_t* frame, std::size_t size, const AudioWriteFormat& format,
                const std::int16_t* pcm, std::size_t available, std::size_t count) {
    const auto layout = LayoutOf(frame, size);
    if (!layout || !CountFits(layout->system, format, count)) return false;
    const int minimum = MinAudioSamples(layout->system, format.sampleRate);
    const int capacity = AudioCapacity(layout->system, format.quantization);
    if (!pcm) available = 0;
    available = std::min(available, count);
    WritePacks(frame, *layout, format, static_cast<int>(count) - minimum);
    const int perHalf = layout->sequences / 2;
    if (format.quantization == Quantization::Linear16)
        Write16(frame, perHalf, pcm, static_cast<int>(available), capacity);
    else
        Write12(frame, perHalf, pcm, static_cast<int>(available), capacity);
    return true;
}

}  // namespace platform::dv
