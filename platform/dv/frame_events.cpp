// Events over successive frame analyses, the JSON lines of the tape report and its totals.

#include <cstdio>

#include "platform/dv/frame_analysis.h"
#include "platform/kernel/text.h"

namespace platform::dv {
namespace {

constexpr int kEventKinds = 7;

int FramesPerSecond(System system) {
    return system == System::Pal625 ? 25 : 30;
}

bool SameFormat(const FrameAnalysis& a, const FrameAnalysis& b) {
    return a.system == b.system && a.aspect == b.aspect && a.audio.present == b.audio.present &&
           a.audio.sampleRate == b.audio.sampleRate && a.audio.bits == b.audio.bits &&
           a.audio.channels == b.audio.channels && a.audio.locked == b.audio.locked;
}

const char* SystemName(System system) {
    return system == System::Pal625 ? "625" : "525";
}

const char* AspectName(Aspect aspect) {
    switch (aspect) {
        case Aspect::Ratio4x3:
            return "4:3";
        case Aspect::Ratio16x9:
            return "16:9";
        default:
            return "unknown";
    }
}

// A small JSON object builder: fields in the order they are added, no escaping needed beyond
// what Text does.
class Json {
  public:
    Json& Raw(const char* key, const std::string& value) {
        text_ += text_.size() > 1 ? ",\"" : "\"";
        text_ += key;
        text_ += "\":";
        text_ += value;
        return *this;
    }
    Json& Int(const char* key, std::int64_t value) { return Raw(key, std::to_string(value)); }
    Json& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
    Json& Text(const char* key, const std::string& value) {
        return Raw(key, platform::JsonQuote(value));
    }
    Json& TextOrNull(const char* key, const std::string& value) {
        return Raw(key, value.empty() ? "null" : platform::JsonQuote(value));
    }
    std::string Close() { return text_ + "}"; }

  private:
    std::string text_ = "{";
};

std::string AudioJson(const FrameAudioMode& audio) {
    if (!audio.present) return "null";
    return Json()
        .Int("rate", audio.sampleRate)
        .Int("bits", audio.bits)
        .Int("channels", audio.channels)
        .Bool("locked", audio.locked)
        .Int("samples", audio.samples)
        .Close();
}

template <typename Counts>
std::string StaJson(const Counts& bySta) {
    Json json;
    for (int sta = 1; sta < kStaValues; ++sta) {
        if (bySta[sta] == 0) continue;
        const char key[2] = {"0123456789ABCDEF"[sta], 0};
        json.Int(key, bySta[sta]);
    }
    return json.Close();
}

std::string LossJson(const FrameLoss& loss) {
    return Json()
        .Int("bus", loss.bus)
        .Int("overrun", loss.overrun)
        .Int("incomplete", loss.incomplete)
        .Close();
}

std::string FormatJson(const FrameAnalysis& frame) {
    return Json()
        .Text("system", SystemName(frame.system))
        .Text("aspect", AspectName(frame.aspect))
        .Raw("audio", AudioJson(frame.audio))
        .Close();
}

std::string RecordedText(const std::optional<RecordingDateTime>& recorded) {
    return recorded ? FormatRecorded(*recorded) : std::string();
}

}  // namespace

const char* FrameEventName(FrameEventKind kind) {
    switch (kind) {
        case FrameEventKind::TimecodeJumpForward:
            return "timecode_jump_forward";
        case FrameEventKind::TimecodeJumpBackward:
            return "timecode_jump_backward";
        case FrameEventKind::DateJump:
            return "date_jump";
        case FrameEventKind::RecordingStart:
            return "recording_start";
        case FrameEventKind::FormatChange:
            return "format_change";
        case FrameEventKind::BlankStart:
            return "blank_start";
        case FrameEventKind::BlankEnd:
            return "blank_end";
    }
    return "unknown";
}

// ---- events ----

template <typename Follows, typename MakeEvent>
void FrameEventTracker::FeedTrack(Track& track, const Anchor& here, Follows follows, MakeEvent make,
                                  std::vector<FrameEvent>* out) {
    if (!track.accepted) {
        track.accepted = here;
        return;
    }
    if (track.candidate) {
        if (follows(*track.candidate, here)) {
            // The break holds: the frame after it continues from the new value.
            out->push_back(make(*track.accepted, *track.candidate));
            track.candidate.reset();
            track.accepted = here;
        } else if (follows(*track.accepted, here)) {
            // The old run goes on: the candidate was one damaged frame.
            track.candidate.reset();
            track.accepted = here;
        } else {
            track.candidate = here;
        }
        return;
    }
    if (follows(*track.accepted, here))
        track.accepted = here;
    else
        track.candidate = here;
}

std::vector<FrameEvent> FrameEventTracker::Feed(std::int64_t index, const FrameAnalysis& frame,
                                                std::int64_t lostBefore) {
    std::vector<FrameEvent> events;
    position_ += (lostBefore > 0 ? lostBefore : 0) + 1;
    if (!frame.isDv) return events;
    const Anchor here{frame, index, position_};
    auto simple = [&](FrameEventKind kind) {
        FrameEvent event{kind, index, 0, FrameAnalysis{}, frame};
        events.push_back(event);
    };
    if (frame.blank != inBlank_)
        simple(frame.blank ? FrameEventKind::BlankStart : FrameEventKind::BlankEnd);
    inBlank_ = frame.blank;
    if (frame.recordingStart && !inStart_) simple(FrameEventKind::RecordingStart);
    inStart_ = frame.recordingStart;

    if (frame.timecode.valid) {
        auto follows = [](const Anchor& from, const Anchor& to) {
            return to.frame.timecode.count - from.frame.timecode.count ==
                   to.position - from.position;
        };
        auto make = [](const Anchor& accepted, const Anchor& at) {
            const std::int64_t expected =
                accepted.frame.timecode.count + (at.position - accepted.position);
            const std::int64_t delta = at.frame.timecode.count - expected;
            return FrameEvent{delta < 0 ? FrameEventKind::TimecodeJumpBackward
                                        : FrameEventKind::TimecodeJumpForward,
                              at.index, delta, accepted.frame, at.frame};
        };
        FeedTrack(timecode_, here, follows, make, &events);
    }
    if (frame.recorded) {
        // The date moves on by whole seconds: never back, and at most one second more than
        // the frames between allow.
        auto follows = [](const Anchor& from, const Anchor& to) {
            const std::int64_t seconds =
                to.frame.recorded->EpochSeconds() - from.frame.recorded->EpochSeconds();
            const std::int64_t allowed =
                (to.position - from.position) / FramesPerSecond(to.frame.system) + 1;
            return seconds >= 0 && seconds <= allowed;
        };
        auto make = [](const Anchor& accepted, const Anchor& at) {
            return FrameEvent{
                FrameEventKind::DateJump, at.index,
                at.frame.recorded->EpochSeconds() - accepted.frame.recorded->EpochSeconds(),
                accepted.frame, at.frame};
        };
        FeedTrack(date_, here, follows, make, &events);
    }
    if (!frame.blank) {
        auto follows = [](const Anchor& from, const Anchor& to) {
            return SameFormat(from.frame, to.frame);
        };
        auto make = [](const Anchor& accepted, const Anchor& at) {
            return FrameEvent{FrameEventKind::FormatChange, at.index, 0, accepted.frame, at.frame};
        };
        FeedTrack(format_, here, follows, make, &events);
    }
    return events;
}

void FrameEventTracker::Reset() {
    *this = FrameEventTracker();
}

// ---- text ----

std::string FormatTimecode(const FrameTimecode& timecode) {
    if (!timecode.valid) return {};
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", timecode.hours, timecode.minutes,
                  timecode.seconds, timecode.dropFrame ? ';' : ':', timecode.frames);
    return text;
}

std::string FormatRecorded(const RecordingDateTime& r) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", r.year, r.month, r.day,
                  r.hour, r.minute, r.second);
    return text;
}

std::string FrameJson(std::int64_t index, const FrameAnalysis& frame, const FrameLoss& dropped) {
    Json json;
    json.Int("frame", index)
        .TextOrNull("timecode", FormatTimecode(frame.timecode))
        .TextOrNull("recorded", RecordedText(frame.recorded))
        .Int("video_errors", frame.videoErrorBlocks)
        .Int("audio_errors", frame.audioErrorBlocks)
        .Int("dropped_before", dropped.Total());
    if (dropped.Total() > 0) json.Raw("dropped_why", LossJson(dropped));
    if (!frame.isDv) return json.Bool("dv", false).Close();
    json.Text("system", SystemName(frame.system))
        .Text("aspect", AspectName(frame.aspect))
        .Raw("audio", AudioJson(frame.audio))
        .Bool("start", frame.recordingStart)
        .Bool("blank", frame.blank);
    if (frame.videoErrorBlocks > 0) {
        json.Raw("video_sta", StaJson(frame.videoBlocksBySta))
            .Int("video_errors_even", frame.videoErrorsEven)
            .Int("video_errors_odd", frame.videoErrorsOdd);
    }
    return json.Close();
}

std::string EventJson(const FrameEvent& event) {
    Json json;
    json.Text("event", FrameEventName(event.kind)).Int("frame", event.frame);
    switch (event.kind) {
        case FrameEventKind::TimecodeJumpForward:
        case FrameEventKind::TimecodeJumpBackward:
            json.Int("delta", event.delta)
                .TextOrNull("from", FormatTimecode(event.before.timecode))
                .TextOrNull("to", FormatTimecode(event.after.timecode));
            break;
        case FrameEventKind::DateJump:
            json.Int("delta", event.delta)
                .TextOrNull("from", RecordedText(event.before.recorded))
                .TextOrNull("to", RecordedText(event.after.recorded));
            break;
        case FrameEventKind::FormatChange:
            json.Raw("from", FormatJson(event.before)).Raw("to", FormatJson(event.after));
            break;
        default:
            json.TextOrNull("timecode", FormatTimecode(event.after.timecode));
            break;
    }
    return json.Close();
}

// ---- totals ----

void FrameTotals::Add(const FrameAnalysis& frame, const FrameLoss& dropped) {
    ++frames_;
    dropped_.bus += dropped.bus;
    dropped_.overrun += dropped.overrun;
    dropped_.incomplete += dropped.incomplete;
    if (!frame.isDv) {
        ++notDv_;
        return;
    }
    if (frame.blank) ++blank_;
    if (frame.videoErrorBlocks > 0) ++videoErrorFrames_;
    if (frame.audioErrorBlocks > 0) ++audioErrorFrames_;
    if (frame.videoErrorBlocks > 0 || frame.audioErrorBlocks > 0) ++damagedFrames_;
    videoErrorBlocks_ += frame.videoErrorBlocks;
    videoErrorsEven_ += frame.videoErrorsEven;
    videoErrorsOdd_ += frame.videoErrorsOdd;
    audioErrorBlocks_ += frame.audioErrorBlocks;
    for (int sta = 0; sta < kStaValues; ++sta)
        videoBlocksBySta_[sta] += frame.videoBlocksBySta[sta];
    if (frame.timecode.valid) {
        if (!firstTimecode_) firstTimecode_ = frame.timecode;
        lastTimecode_ = frame.timecode;
    }
    if (frame.recorded) {
        if (!firstRecorded_) firstRecorded_ = frame.recorded;
        lastRecorded_ = frame.recorded;
    }
}

void FrameTotals::AddEvent(const FrameEvent& event) {
    const int kind = static_cast<int>(event.kind);
    if (kind >= 0 && kind < kEventKinds) ++events_[kind];
}

std::string FrameTotals::SummaryJson() const {
    Json events;
    for (int kind = 0; kind < kEventKinds; ++kind)
        events.Int(FrameEventName(static_cast<FrameEventKind>(kind)), events_[kind]);
    auto timecode = [](const std::optional<FrameTimecode>& tc) {
        return tc ? FormatTimecode(*tc) : std::string();
    };
    const std::string summary = Json()
                                    .Int("frames", frames_)
                                    .Int("not_dv", notDv_)
                                    .Int("blank", blank_)
                                    .Int("dropped", dropped_.Total())
                                    .Raw("dropped_why", LossJson(dropped_))
                                    .Int("damaged_frames", damagedFrames_)
                                    .Int("video_error_frames", videoErrorFrames_)
                                    .Int("audio_error_frames", audioErrorFrames_)
                                    .Int("video_errors", videoErrorBlocks_)
                                    .Int("video_errors_even", videoErrorsEven_)
                                    .Int("video_errors_odd", videoErrorsOdd_)
                                    .Raw("video_sta", StaJson(videoBlocksBySta_))
                                    .Int("audio_errors", audioErrorBlocks_)
                                    .Raw("events", events.Close())
                                    .TextOrNull("first_timecode", timecode(firstTimecode_))
                                    .TextOrNull("last_timecode", timecode(lastTimecode_))
                                    .TextOrNull("first_recorded", RecordedText(firstRecorded_))
                                    .TextOrNull("last_recorded", RecordedText(lastRecorded_))
                                    .Close();
    return Json().Raw("summary", summary).Close();
}

}  // namespace platform::dv
