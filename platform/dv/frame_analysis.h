#pragma once
// What one DV frame says about itself, read from its DIF blocks without decoding the picture:
// the subcode time code, the recording date and time, the start-of-recording flag, the
// system, aspect and audio mode, and the error status the deck wrote into the video and audio
// blocks. A tracker turns the reports of successive frames into events (time code and date
// breaks, recording starts, format changes, blank stretches), and the reports format as JSON
// lines.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/dv/dif.h"

namespace platform::dv {

// The error status (STA) nibble of a video DIF block, by what the deck did with the block.
enum class StaKind {
    Clean,              // 0: no error
    ConcealedPrevious,  // 2, A: replaced by the block of the previous frame
    ConcealedNext,      // 4, C: replaced by the block of the next frame
    ConcealedOther,     // 6, E: concealed otherwise
    ErrorNotConcealed,  // 7, F: the block holds an error the deck did not conceal
    Reserved,           // any other value
};
inline constexpr int kStaValues = 16;
StaKind StaKindOf(int sta);
// "clean", "concealed_previous", "concealed_next", "concealed_other", "error", "reserved".
const char* StaKindName(StaKind kind);

struct FrameTimecode {
    bool valid = false;
    bool dropFrame = false;
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
    // Frames since 00:00:00:00 at the system's rate (30 with drop-frame counting on 525
    // lines, 25 on 625), so that consecutive frames differ by one.
    std::int64_t count = 0;
};

struct RecordingDateTime {
    int year = 0, month = 0, day = 0;  // four-digit year: 70..99 -> 19xx, 00..69 -> 20xx
    int hour = 0, minute = 0, second = 0;
    // Seconds since 1970-01-01 00:00:00 of this date and time read as UTC (for differences).
    std::int64_t EpochSeconds() const;
};

enum class Aspect { Unknown, Ratio4x3, Ratio16x9 };

struct FrameAudioMode {
    bool present = false;  // the frame has an AAUX source pack this code understands
    int sampleRate = 0;    // 48000, 44100 or 32000
    int bits = 0;          // 16 (linear) or 12 (nonlinear)
    int channels = 0;      // 2 or 4
    bool locked = false;   // locked to the video clock
    int samples = 0;       // sample pairs in this frame
    bool operator==(const FrameAudioMode&) const = default;
};

struct FrameAnalysis {
    // False when the bytes are not a whole DV frame (120000 or 144000 bytes starting with a
    // header block of that system); nothing else is then filled in.
    bool isDv = false;
    System system = System::Ntsc525;
    FrameTimecode timecode;                     // the value most of its copies agree on
    std::optional<RecordingDateTime> recorded;  // none when the frame carries no valid date
    bool recordingStart = false;                // the frame is flagged as a recording's start
    Aspect aspect = Aspect::Unknown;
    FrameAudioMode audio;
    // Blank tape: no time code, no recording date and no audio description.
    bool blank = false;

    // Video DIF blocks by their STA value (index 0 counts the clean ones).
    std::array<std::uint16_t, kStaValues> videoBlocksBySta{};
    int videoErrorBlocks = 0;  // video blocks whose STA is not 0
    int videoErrorsEven = 0;   // ... in even DIF sequences (0, 2, 4 ...)
    int videoErrorsOdd = 0;    // ... in odd ones
    int audioErrorBlocks = 0;  // audio blocks of a channel half in use full of "no sample"

    int VideoBlocksOfKind(StaKind kind) const;
};

// Analyses one frame. Never reads outside [frame, frame + size); any bytes are safe.
FrameAnalysis AnalyseFrame(const std::uint8_t* frame, std::size_t size);

// Frames lost before a frame reached us, and where.
struct FrameLoss {
    std::int64_t bus = 0;         // never arrived whole from the unit (link, incomplete frame)
    std::int64_t overrun = 0;     // arrived but no buffer was free (our queues were full)
    std::int64_t incomplete = 0;  // arrived short or damaged and were not passed on
    std::int64_t Total() const { return bus + overrun + incomplete; }
};

enum class FrameEventKind {
    TimecodeJumpForward,
    TimecodeJumpBackward,
    DateJump,        // recording date/time backwards, or forwards by more than time allows
    RecordingStart,  // the first frame of a run flagged as a recording's start
    FormatChange,    // system, aspect or audio mode differs from the frames before
    BlankStart,      // the first blank frame of a stretch
    BlankEnd,        // the first frame with content after a blank stretch
};
const char* FrameEventName(FrameEventKind kind);  // "timecode_jump_forward", ...

struct FrameEvent {
    FrameEventKind kind;
    std::int64_t frame = 0;  // the index of the frame where the event takes effect
    // Time code jumps: the frames jumped over (negative backwards); date jumps: seconds.
    std::int64_t delta = 0;
    FrameAnalysis before;  // the last good frame before the event (isDv false if none)
    FrameAnalysis after;   // the frame at the event
};

// Turns the analyses of successive frames into events. A break in the time code, the date or
// the format is reported only once the frame after it continues from the new value, so one
// damaged frame never makes an event; Feed may therefore answer an event for an earlier frame
// than the one fed (its `frame` says which). Frames that carry no time code or date (damaged,
// blank) are skipped for those comparisons.
class FrameEventTracker {
  public:
    // `index` counts the frames fed (0 first); `lostBefore` frames were lost just before this
    // one, so the tape moved on by that many more.
    std::vector<FrameEvent> Feed(std::int64_t index, const FrameAnalysis& frame,
                                 std::int64_t lostBefore = 0);
    // Forgets everything, as for a new tape.
    void Reset();

  private:
    // A frame whose time code, date or format the next ones are compared with: its analysis,
    // its index, and its place on the tape (frames fed plus frames lost before it).
    struct Anchor {
        FrameAnalysis frame;
        std::int64_t index = 0;
        std::int64_t position = 0;
    };
    // Each kind of break keeps the last frame accepted and the first frame of a break not yet
    // confirmed.
    struct Track {
        std::optional<Anchor> accepted, candidate;
    };
    template <typename Follows, typename MakeEvent>
    void FeedTrack(Track& track, const Anchor& here, Follows follows, MakeEvent make,
                   std::vector<FrameEvent>* out);

    std::int64_t position_ = -1;
    Track timecode_, date_, format_;
    bool inStart_ = false;
    bool inBlank_ = false;
};

// "HH:MM:SS;FF" (drop-frame) or "HH:MM:SS:FF"; empty for an invalid time code.
std::string FormatTimecode(const FrameTimecode& timecode);
// "YYYY-MM-DDTHH:MM:SS".
std::string FormatRecorded(const RecordingDateTime& recorded);

// One JSON object (no line end) for frame `index` of a recording:
// {"frame":N,"timecode":"..."|null,"recorded":"..."|null,"video_errors":K,"audio_errors":K,
//  "dropped_before":K, ...}; `dropped` says how many frames were lost just before it and why.
std::string FrameJson(std::int64_t index, const FrameAnalysis& frame, const FrameLoss& dropped);
// {"event":"timecode_jump_forward","frame":N,...}
std::string EventJson(const FrameEvent& event);

// Running totals over a recording's frames, for the summary line.
class FrameTotals {
  public:
    void Add(const FrameAnalysis& frame, const FrameLoss& dropped);
    void AddEvent(const FrameEvent& event);
    std::int64_t Frames() const { return frames_; }
    std::int64_t Dropped() const { return dropped_.Total(); }
    std::int64_t DamagedFrames() const { return damagedFrames_; }  // any video or audio error
    // {"summary":{"frames":N,...}}
    std::string SummaryJson() const;

  private:
    std::int64_t frames_ = 0, notDv_ = 0, blank_ = 0;
    FrameLoss dropped_;
    std::int64_t damagedFrames_ = 0, videoErrorFrames_ = 0, audioErrorFrames_ = 0;
    std::int64_t videoErrorBlocks_ = 0, videoErrorsEven_ = 0, videoErrorsOdd_ = 0;
    std::int64_t audioErrorBlocks_ = 0;
    std::array<std::int64_t, kStaValues> videoBlocksBySta_{};
    std::int64_t events_[7] = {};
    std::optional<FrameTimecode> firstTimecode_, lastTimecode_;
    std::optional<RecordingDateTime> firstRecorded_, lastRecorded_;
};

}  // namespace platform::dv
