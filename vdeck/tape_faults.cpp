#include "vdeck/tape_faults.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/dv/audio.h"
#include "platform/dv/dif.h"
#include "platform/dv/frame_analysis.h"
#include "platform/dv/subcode.h"
#include "vdeck/deck.h"

namespace vdeck {
namespace {

using namespace platform::dv;

constexpr std::uint8_t kAauxDate = 0x52;
constexpr std::uint8_t kAauxTime = 0x53;

std::optional<FrameLayout> WholeFrame(const std::uint8_t* frame, std::size_t size) {
    auto layout = LayoutOf(frame, size);
    if (!layout || layout->frameSize != size) return std::nullopt;
    return layout;
}

std::uint8_t Bcd(int value) {
    return static_cast<std::uint8_t>((value / 10) << 4 | (value % 10));
}

// Calls visit(pack) for every pack of the subcode sync blocks, the VAUX blocks and the audio
// blocks of the frame.
template <typename Visit>
void ForEachPack(std::uint8_t* frame, const FrameLayout& layout, Visit visit) {
    for (int s = 0; s < layout.sequences; ++s) {
        std::uint8_t* sequence = frame + s * kSequenceSize;
        for (int block = 1; block <= 2; ++block)
            for (int sync = 0; sync < 6; ++sync)
                visit(sequence + block * kBlockSize + 6 + sync * 8);
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < 15; ++p)
                visit(frame + VauxBlockOffset(s, b) + 3 + p * static_cast<int>(kPackSize));
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b)
            visit(frame + AudioBlockOffset(s, b) + 3);
    }
}

std::vector<std::uint8_t*> VideoBlocks(std::uint8_t* frame, const FrameLayout& layout,
                                       Sequences where) {
    std::vector<int> chosen;
    for (int s = 0; s < layout.sequences; ++s)
        if (where == Sequences::All || (s % 2 == 0) == (where == Sequences::Even))
            chosen.push_back(s);
    std::vector<std::uint8_t*> blocks;
    for (int nth = 0; nth < 135; ++nth)
        for (int s : chosen) {
            const int block = 7 + nth + nth / 15;  // the nth video block, past the audio ones
            blocks.push_back(frame + s * kSequenceSize + block * kBlockSize);
        }
    return blocks;
}

}  // namespace

bool SetVideoStatus(std::uint8_t* frame, std::size_t size, int sta, int blocks, Sequences where) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    const auto all = VideoBlocks(frame, *layout, where);
    const int count = std::clamp(blocks, 0, static_cast<int>(all.size()));
    for (int i = 0; i < count; ++i)
        all[i][3] = static_cast<std::uint8_t>((sta & 0x0F) << 4 | (all[i][3] & 0x0F));
    return true;
}

bool MarkAudioErrors(std::uint8_t* frame, std::size_t size, int blocks) {
    const auto layout = WholeFrame(frame, size);
    const auto format = ReadAudioFormat(frame, size);
    if (!layout) return false;
    if (!format) return true;
    const bool twelve = format->quantization == Quantization::Nonlinear12;
    // 12-bit sound here is one stereo pair, in the first half only.
    const int sequences = twelve ? layout->sequences / 2 : layout->sequences;
    int left = blocks;
    for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence) && left > 0; ++b)
        for (int s = 0; s < sequences && left > 0; ++s, --left) {
            std::uint8_t* data = frame + AudioBlockOffset(s, b) + 8;
            for (int i = 0; i < 72; i += twelve ? 3 : 2) {
                data[i] = 0x80;
                data[i + 1] = twelve ? 0x80 : 0x00;
                if (twelve) data[i + 2] = 0x00;
            }
        }
    return true;
}

bool SetTimecode(std::uint8_t* frame, std::size_t size, std::uint32_t timecodeBcd, bool dropFrame) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    ForEachPack(frame, *layout, [&](std::uint8_t* pack) {
        if (pack[0] != kPackTimecode) return;
        pack[1] = static_cast<std::uint8_t>((pack[1] & 0x80) | (dropFrame ? 0x40 : 0) |
                                            (timecodeBcd & 0x3F));
        pack[2] = static_cast<std::uint8_t>((pack[2] & 0x80) | (timecodeBcd >> 8 & 0x7F));
        pack[3] = static_cast<std::uint8_t>((pack[3] & 0x80) | (timecodeBcd >> 16 & 0x7F));
        pack[4] = static_cast<std::uint8_t>((pack[4] & 0xC0) | (timecodeBcd >> 24 & 0x3F));
    });
    return true;
}

bool SetRecordingDate(std::uint8_t* frame, std::size_t size, int year, int month, int day, int hour,
                      int minute, int second) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    ForEachPack(frame, *layout, [&](std::uint8_t* pack) {
        if (pack[0] == kPackRecordingDate || pack[0] == kAauxDate) {
            pack[2] = static_cast<std::uint8_t>((pack[2] & 0xC0) | Bcd(day));
            pack[3] = static_cast<std::uint8_t>((pack[3] & 0xE0) | Bcd(month));
            pack[4] = Bcd(year % 100);
        } else if (pack[0] == kPackRecordingTime || pack[0] == kAauxTime) {
            pack[2] = static_cast<std::uint8_t>((pack[2] & 0x80) | Bcd(second));
            pack[3] = static_cast<std::uint8_t>((pack[3] & 0x80) | Bcd(minute));
            pack[4] = static_cast<std::uint8_t>((pack[4] & 0xC0) | Bcd(hour));
        }
    });
    return true;
}

bool SetRecordingStart(std::uint8_t* frame, std::size_t size, bool start) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    for (int s = 0; s < layout->sequences; ++s)
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b) {
            std::uint8_t* pack = frame + AudioBlockOffset(s, b) + 3;
            // REC ST, the top bit of the control pack's second byte, is 0 at a start.
            if (pack[0] == kPackAauxControl)
                pack[2] = static_cast<std::uint8_t>(start ? pack[2] & 0x7F : pack[2] | 0x80);
        }
    return true;
}

bool BlankFrame(std::uint8_t* frame, std::size_t size) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    ForEachPack(frame, *layout, [&](std::uint8_t* pack) {
        switch (pack[0]) {
            case kPackTimecode:
            case kPackRecordingDate:
            case kPackRecordingTime:
            case kAauxDate:
            case kAauxTime:
            case kPackAauxSource:
            case kPackAauxControl:
                std::fill(pack, pack + kPackSize, kPackNoInfo);
                break;
            default:
                break;
        }
    });
    for (int s = 0; s < layout->sequences; ++s)
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b) {
            std::uint8_t* data = frame + AudioBlockOffset(s, b) + 8;
            std::fill(data, data + 72, 0);
        }
    return true;
}

bool ChangeAudioMode(std::uint8_t* frame, std::size_t size, int sampleRate,
                     std::int64_t frameNumber) {
    const auto layout = WholeFrame(frame, size);
    if (!layout) return false;
    AudioWriteFormat format;
    format.sampleRate = sampleRate;
    if (sampleRate == 32000) format.quantization = Quantization::Nonlinear12;
    const int pairs = LockedSamplesInFrame(layout->system, sampleRate, frameNumber);
    std::vector<std::int16_t> silence(static_cast<std::size_t>(pairs) * 2, 0);
    return WriteAudio(frame, size, format, silence.data(), pairs, pairs);
}

bool ShiftTimecode(std::uint8_t* frame, std::size_t size, std::int64_t frames) {
    const auto analysis = AnalyseFrame(frame, size);
    if (!analysis.isDv) return false;
    if (!analysis.timecode.valid) return true;
    const std::int64_t count = std::max<std::int64_t>(0, analysis.timecode.count + frames);
    const std::uint32_t bcd = analysis.system == System::Pal625 ? Pal25Timecode(count)
                              : analysis.timecode.dropFrame     ? DropFrameTimecode(count)
                                                                : NonDropTimecode(count);
    return SetTimecode(frame, size, bcd, analysis.timecode.dropFrame);
}

bool ShiftRecordingDate(std::uint8_t* frame, std::size_t size, std::int64_t seconds) {
    const auto analysis = AnalyseFrame(frame, size);
    if (!analysis.isDv) return false;
    if (!analysis.recorded) return true;
    const std::int64_t t = analysis.recorded->EpochSeconds() + seconds;
    // Civil date of a day count since 1970-01-01 (years counted from March).
    const std::int64_t days = (t >= 0 ? t : t - 86399) / 86400, secondOfDay = t - days * 86400;
    const std::int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return SetRecordingDate(frame, size, year, month, day, static_cast<int>(secondOfDay / 3600),
                            static_cast<int>(secondOfDay / 60 % 60),
                            static_cast<int>(secondOfDay % 60));
}

}  // namespace vdeck
