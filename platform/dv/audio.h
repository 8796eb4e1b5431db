#pragma once
// DV audio: the AAUX source pack's description of a frame's audio, reading the samples out of
// the audio DIF blocks as 16-bit stereo PCM, and writing 16-bit stereo PCM into them.
//
// A frame splits into two halves of DIF sequences (5 + 5 for 525 lines, 6 + 6 for 625). With
// 16-bit samples the left channel lives in the first half and the right in the second, 36
// big-endian samples per audio block; with 12-bit nonlinear samples both channels of a stereo
// pair share the first half, 24 three-byte pairs per block (the second half holds a second
// pair, unused here). The samples are shuffled over sequences and blocks by a fixed rule.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/dv/dif.h"

namespace platform::dv {

enum class Quantization { Linear16, Nonlinear12 };

struct AudioFormat {
    System system = System::Ntsc525;
    int sampleRate = 48000;  // 48000, 44100 or 32000
    Quantization quantization = Quantization::Linear16;
    bool locked = true;  // locked to the video clock (LF bit 0)
    int samples = 0;     // stereo pairs carried by this frame
};

// Stereo pairs a frame can hold at most (the shuffle positions of one channel).
int AudioCapacity(System system, Quantization quantization);
// The fewest pairs a frame of this system and rate carries (the base of AF_SIZE).
int MinAudioSamples(System system, int sampleRate);
// Pairs in frame `frameNumber` of audio locked to the video clock. 48 kHz on 525 lines repeats
// 1600, 1602, 1602, 1602, 1602 over five frames; other NTSC rates spread the exact number
// evenly; 625 lines carry whole numbers per frame.
int LockedSamplesInFrame(System system, int sampleRate, std::int64_t frameNumber);

// The frame's audio as its first-half AAUX source pack describes it; nothing when the frame is
// not a DV frame, has no such pack or describes audio this code does not read (20-bit, or
// 12-bit at a rate other than 32 kHz). A sample count beyond the frame's capacity is cut to it.
std::optional<AudioFormat> ReadAudioFormat(const std::uint8_t* frame, std::size_t size);

// Reads the frame's audio into `pcm` (interleaved left, right) and answers the pairs written:
// min(format.samples, capacityPairs), or 0 without audio. DV's "no sample" codes read as 0.
std::size_t ExtractAudio(const std::uint8_t* frame, std::size_t size, std::int16_t* pcm,
                         std::size_t capacityPairs, AudioFormat* format);

// 12-bit nonlinear codes (sign in bit 11) and 16-bit linear values.
std::int16_t Expand12(std::uint16_t code);
std::uint16_t Compress12(std::int16_t value);

struct AudioWriteFormat {
    int sampleRate = 48000;
    Quantization quantization = Quantization::Linear16;
    bool locked = true;
};

// Writes `count` pairs of audio into the frame's audio blocks with AAUX source and control
// packs in both halves. The first `available` pairs come from `pcm`; pairs from `available` to
// `count` are written as DV's "no sample" code, so a player conceals them rather than playing
// invented sound. -32768 is written as -32767, since 0x8000 is that code. Answers false,
// leaving the frame untouched, when the frame is not a DV frame or the count does not fit the
// format (below its minimum, above its capacity, or more than 63 over the minimum).
// The payloads of the AAUX source and control packs that WriteAudio puts into one half (0 or
// 1) of a frame carrying `count` pairs; false when the count does not fit the format.
bool AudioPacks(const AudioWriteFormat& format, System system, int half, std::size_t count,
                std::uint8_t source[4], std::uint8_t control[4]);

bool WriteAudio(std::uint8_t* frame, std::size_t size, const AudioWriteFormat& format,
                const std::int16_t* pcm, std::size_t available, std::size_t count);

}  // namespace platform::dv
