#include "platform/dv/frame_analysis.h"

#include <algorithm>

#include "platform/dv/audio.h"
#include "platform/dv/subcode.h"

namespace platform::dv {
namespace {

constexpr std::uint8_t kPackAauxRecordingDate = 0x52;
constexpr std::uint8_t kPackAauxRecordingTime = 0x53;
constexpr int kSubcodeSyncBlocks = 6;
constexpr int kVauxPacksPerBlock = 15;
// Copies of a pack a frame can hold: subcode (12 per sequence), VAUX (45) and audio (9).
constexpr int kMaxCopies = 12 * (12 + 45 + 9);

// The copies of one kind of pack found in a frame, as 32-bit keys, and the value most agree on.
class Votes {
  public:
    void Add(std::uint32_t key) {
        if (count_ < kMaxCopies) keys_[count_++] = key;
    }
    int Count() const { return count_; }
    // The most frequent key (the smallest of equally frequent ones); nothing without copies.
    std::optional<std::uint32_t> Winner() {
        if (count_ == 0) return std::nullopt;
        std::sort(keys_.begin(), keys_.begin() + count_);
        std::uint32_t best = keys_[0];
        int bestRun = 0;
        for (int i = 0; i < count_;) {
            int j = i;
            while (j < count_ && keys_[j] == keys_[i]) ++j;
            if (j - i > bestRun) {
                bestRun = j - i;
                best = keys_[i];
            }
            i = j;
        }
        return best;
    }

  private:
    std::array<std::uint32_t, kMaxCopies> keys_;
    int count_ = 0;
};

bool IsBcd(std::uint8_t value, int maxTens) {
    return (value & 0x0F) <= 9 && (value >> 4) <= maxTens;
}

int FromBcd(std::uint8_t value) {
    return (value >> 4) * 10 + (value & 0x0F);
}

std::uint32_t Key(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Keys without the flag bits, for the packs whose values are read; 0xFFFFFFFF for a copy that
// does not hold a valid value.
constexpr std::uint32_t kInvalid = 0xFFFFFFFF;

std::uint32_t TimecodeKey(const std::uint8_t* p) {
    const std::uint8_t frames = p[0] & 0x3F, seconds = p[1] & 0x7F, minutes = p[2] & 0x7F,
                       hours = p[3] & 0x3F;
    if (!IsBcd(frames, 2) || !IsBcd(seconds, 5) || !IsBcd(minutes, 5) || !IsBcd(hours, 2) ||
        FromBcd(hours) > 23)
        return kInvalid;
    const std::uint8_t flagged[4] = {static_cast<std::uint8_t>(frames | (p[0] & 0x40)), seconds,
                                     minutes, hours};
    return Key(flagged);
}

std::uint32_t DateKey(const std::uint8_t* p) {
    const std::uint8_t day = p[1] & 0x3F, month = p[2] & 0x1F, year = p[3];
    if (!IsBcd(day, 3) || !IsBcd(month, 1) || !IsBcd(year, 9)) return kInvalid;
    const int d = FromBcd(day), m = FromBcd(month);
    if (d < 1 || d > 31 || m < 1 || m > 12) return kInvalid;
    const std::uint8_t masked[4] = {0, day, month, year};
    return Key(masked);
}

std::uint32_t TimeKey(const std::uint8_t* p) {
    const std::uint8_t seconds = p[1] & 0x7F, minutes = p[2] & 0x7F, hours = p[3] & 0x3F;
    if (!IsBcd(seconds, 5) || !IsBcd(minutes, 5) || !IsBcd(hours, 2) || FromBcd(hours) > 23)
        return kInvalid;
    const std::uint8_t masked[4] = {0, seconds, minutes, hours};
    return Key(masked);
}

struct PackVotes {
    Votes timecode, date, time;
    int startCopies = 0, startFlags = 0;
    std::optional<Pack> videoControl;

    void AddDateOrTime(std::uint8_t id, const std::uint8_t* payload) {
        const bool isDate = id == kPackRecordingDate || id == kPackAauxRecordingDate;
        const std::uint32_t key = isDate ? DateKey(payload) : TimeKey(payload);
        if (key != kInvalid) (isDate ? date : time).Add(key);
    }
};

void ReadSubcode(const std::uint8_t* frame, int sequences, PackVotes* votes) {
    for (int s = 0; s < sequences; ++s)
        for (int block = 1; block <= 2; ++block) {
            const std::uint8_t* base = frame + s * kSequenceSize + block * kBlockSize + 3;
            for (int sync = 0; sync < kSubcodeSyncBlocks; ++sync) {
                const std::uint8_t* pack = base + sync * 8 + 3;
                if (pack[0] == kPackTimecode) {
                    const std::uint32_t key = TimecodeKey(pack + 1);
                    if (key != kInvalid) votes->timecode.Add(key);
                } else if (pack[0] == kPackRecordingDate || pack[0] == kPackRecordingTime) {
                    votes->AddDateOrTime(pack[0], pack + 1);
                }
            }
        }
}

void ReadVaux(const std::uint8_t* frame, int sequences, PackVotes* votes) {
    for (int s = 0; s < sequences; ++s)
        for (int b = 0; b < 3; ++b) {
            const std::uint8_t* block = frame + VauxBlockOffset(s, b);
            if (static_cast<Section>(block[0] >> 5) != Section::Vaux) continue;
            for (int p = 0; p < kVauxPacksPerBlock; ++p) {
                const std::uint8_t* pack = block + 3 + p * kPackSize;
                if (pack[0] == kPackRecordingDate || pack[0] == kPackRecordingTime)
                    votes->AddDateOrTime(pack[0], pack + 1);
                else if (pack[0] == kPackVauxControl && !votes->videoControl)
                    votes->videoControl = Pack{pack[0], {pack[1], pack[2], pack[3], pack[4]}};
            }
        }
}

// Audio blocks: the recording date copies, the start flag of the control packs (REC ST, the
// top bit of the second payload byte, 0 at a recording's start) and the source pack of each
// half (its audio mode, 0xF when the half carries no sound).
struct AudioHalves {
    int mode[2] = {0xF, 0xF};
    bool found[2] = {false, false};
};

void ReadAaux(const std::uint8_t* frame, int sequences, PackVotes* votes, AudioHalves* halves) {
    const int perHalf = sequences / 2;
    for (int s = 0; s < sequences; ++s)
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b) {
            const std::uint8_t* block = frame + AudioBlockOffset(s, b);
            if (static_cast<Section>(block[0] >> 5) != Section::Audio) continue;
            const std::uint8_t* pack = block + 3;
            switch (pack[0]) {
                case kPackAauxSource: {
                    const int half = s / perHalf;
                    if (!halves->found[half]) {
                        halves->found[half] = true;
                        halves->mode[half] = pack[2] & 0x0F;
                    }
                    break;
                }
                case kPackAauxControl:
                    ++votes->startCopies;
                    if ((pack[2] & 0x80) == 0) ++votes->startFlags;
                    break;
                case kPackAauxRecordingDate:
                case kPackAauxRecordingTime:
                    votes->AddDateOrTime(pack[0], pack + 1);
                    break;
                default:
                    break;
            }
        }
}

FrameTimecode TimecodeOf(std::uint32_t key, System system) {
    FrameTimecode tc;
    tc.valid = true;
    tc.dropFrame = system == System::Ntsc525 && (key & 0x40) != 0;
    tc.frames = FromBcd(key & 0x3F);
    tc.seconds = FromBcd(key >> 8 & 0x7F);
    tc.minutes = FromBcd(key >> 16 & 0x7F);
    tc.hours = FromBcd(key >> 24 & 0x3F);
    const int rate = system == System::Ntsc525 ? 30 : 25;
    const std::int64_t totalMinutes = 60 * tc.hours + tc.minutes;
    tc.count = ((totalMinutes * 60) + tc.seconds) * rate + tc.frames;
    // Drop-frame counting skips frame numbers 0 and 1 at each minute but every tenth.
    if (tc.dropFrame) tc.count -= 2 * (totalMinutes - totalMinutes / 10);
    return tc;
}

std::optional<RecordingDateTime> RecordedOf(std::optional<std::uint32_t> date,
                                            std::optional<std::uint32_t> time) {
    if (!date || !time) return std::nullopt;
    RecordingDateTime r;
    const int year = FromBcd(*date >> 24 & 0xFF);
    r.year = year >= 70 ? 1900 + year : 2000 + year;
    r.month = FromBcd(*date >> 16 & 0x1F);
    r.day = FromBcd(*date >> 8 & 0x3F);
    r.second = FromBcd(*time >> 8 & 0x7F);
    r.minute = FromBcd(*time >> 16 & 0x7F);
    r.hour = FromBcd(*time >> 24 & 0x3F);
    return r;
}

Aspect AspectOf(const std::optional<Pack>& control) {
    if (!control) return Aspect::Unknown;
    switch (control->payload[1] & 0x07) {
        case 0:
        case 1:
            return Aspect::Ratio4x3;
        case 2:
        case 7:
            return Aspect::Ratio16x9;
        default:
            return Aspect::Unknown;
    }
}

FrameAudioMode AudioModeOf(const std::uint8_t* frame, std::size_t size, const AudioHalves& halves) {
    FrameAudioMode mode;
    const auto format = ReadAudioFormat(frame, size);
    if (!format || halves.mode[0] == 0xF) return mode;
    mode.present = true;
    mode.sampleRate = format->sampleRate;
    mode.bits = format->quantization == Quantization::Linear16 ? 16 : 12;
    // 12-bit sound keeps a stereo pair in each half; the second is in use when its mode says so.
    mode.channels = mode.bits == 12 && halves.found[1] && halves.mode[1] != 0xF ? 4 : 2;
    mode.locked = format->locked;
    mode.samples = format->samples;
    return mode;
}

// Whether every sample slot of an audio block holds the "no sample" code.
bool AudioBlockEmpty(const std::uint8_t* block, int bits) {
    const std::uint8_t* data = block + 8;
    if (bits == 16) {
        for (int i = 0; i < 72; i += 2)
            if (data[i] != 0x80 || data[i + 1] != 0x00) return false;
        return true;
    }
    for (int i = 0; i < 72; i += 3)
        if (data[i] != 0x80 || data[i + 1] != 0x80 || data[i + 2] != 0x00) return false;
    return true;
}

int CountAudioErrors(const std::uint8_t* frame, int sequences, const FrameAudioMode& mode) {
    if (!mode.present) return 0;
    const int perHalf = sequences / 2;
    // 16-bit sound fills both halves; 12-bit only the halves whose pair is in use.
    const int halves = mode.bits == 16 || mode.channels == 4 ? 2 : 1;
    int errors = 0;
    for (int s = 0; s < halves * perHalf; ++s)
        for (int b = 0; b < static_cast<int>(kAudioBlocksPerSequence); ++b)
            if (AudioBlockEmpty(frame + AudioBlockOffset(s, b), mode.bits)) ++errors;
    return errors;
}

// STA is the top nibble of a video block's fourth byte. A block whose id does not say video
// counts as an uncorrected error: the deck did not even deliver it in place.
void CountVideoStatus(const std::uint8_t* frame, int sequences, FrameAnalysis* out) {
    for (int s = 0; s < sequences; ++s) {
        const std::uint8_t* sequence = frame + s * kSequenceSize;
        int errors = 0;
        for (int b = 6; b < static_cast<int>(kBlocksPerSequence); ++b) {
            if ((b - 6) % 16 == 0) continue;  // an audio block
            const std::uint8_t* block = sequence + b * kBlockSize;
            const int sta =
                static_cast<Section>(block[0] >> 5) == Section::Video ? block[3] >> 4 : 0xF;
            ++out->videoBlocksBySta[sta];
            if (sta != 0) ++errors;
        }
        out->videoErrorBlocks += errors;
        (s % 2 == 0 ? out->videoErrorsEven : out->videoErrorsOdd) += errors;
    }
}

}  // namespace

StaKind StaKindOf(int sta) {
    switch (sta & 0x0F) {
        case 0x0:
            return StaKind::Clean;
        case 0x2:
        case 0xA:
            return StaKind::ConcealedPrevious;
        case 0x4:
        case 0xC:
            return StaKind::ConcealedNext;
        case 0x6:
        case 0xE:
            return StaKind::ConcealedOther;
        case 0x7:
        case 0xF:
            return StaKind::ErrorNotConcealed;
        default:
            return StaKind::Reserved;
    }
}

const char* StaKindName(StaKind kind) {
    switch (kind) {
        case StaKind::Clean:
            return "clean";
        case StaKind::ConcealedPrevious:
            return "concealed_previous";
        case StaKind::ConcealedNext:
            return "concealed_next";
        case StaKind::ConcealedOther:
            return "concealed_other";
        case StaKind::ErrorNotConcealed:
            return "error";
        case StaKind::Reserved:
            return "reserved";
    }
    return "reserved";
}

std::int64_t RecordingDateTime::EpochSeconds() const {
    // Days from 1970-01-01 of the proleptic Gregorian date (years counted from March).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

int FrameAnalysis::VideoBlocksOfKind(StaKind kind) const {
    int total = 0;
    for (int sta = 0; sta < kStaValues; ++sta)
        if (StaKindOf(sta) == kind) total += videoBlocksBySta[sta];
    return total;
}

FrameAnalysis AnalyseFrame(const std::uint8_t* frame, std::size_t size) {
    FrameAnalysis out;
    const auto layout = LayoutOf(frame, size);
    if (!layout || layout->frameSize != size) return out;
    out.isDv = true;
    out.system = layout->system;

    PackVotes votes;
    AudioHalves halves;
    ReadSubcode(frame, layout->sequences, &votes);
    ReadVaux(frame, layout->sequences, &votes);
    ReadAaux(frame, layout->sequences, &votes, &halves);

    if (auto key = votes.timecode.Winner()) out.timecode = TimecodeOf(*key, out.system);
    out.recorded = RecordedOf(votes.date.Winner(), votes.time.Winner());
    out.recordingStart = votes.startFlags * 2 > votes.startCopies;
    out.aspect = AspectOf(votes.videoControl);
    out.audio = AudioModeOf(frame, size, halves);
    out.blank = !out.timecode.valid && !out.recorded && !out.audio.present;

    CountVideoStatus(frame, layout->sequences, &out);
    out.audioErrorBlocks = CountAudioErrors(frame, layout->sequences, out.audio);
    return out;
}

}  // namespace platform::dv
