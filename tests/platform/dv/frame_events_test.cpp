// Events over successive frames and the JSON lines of the tape report.

#include <gtest/gtest.h>

#include "platform/dv/frame_analysis.h"

namespace {

namespace dv = platform::dv;

// A 625-line frame with time code `count` (25 a second) recorded at 2024-05-06 10:00:00 plus
// count / 25 seconds, 48 kHz audio.
dv::FrameAnalysis Frame(std::int64_t count, std::int64_t dateOffset = 0) {
    dv::FrameAnalysis a;
    a.isDv = true;
    a.system = dv::System::Pal625;
    a.timecode.valid = true;
    a.timecode.count = count;
    a.timecode.frames = static_cast<int>(count % 25);
    a.timecode.seconds = static_cast<int>(count / 25 % 60);
    a.timecode.minutes = static_cast<int>(count / 1500 % 60);
    a.recorded = dv::RecordingDateTime{2024, 5, 6, 10, 0, 0};
    const std::int64_t second = count / 25 + dateOffset;
    a.recorded->second = static_cast<int>(second % 60);
    a.recorded->minute = static_cast<int>(second / 60 % 60);
    a.recorded->hour = 10 + static_cast<int>(second / 3600);
    a.aspect = dv::Aspect::Ratio4x3;
    a.audio = {true, 48000, 16, 2, true, 1920};
    return a;
}

struct Fed {
    std::int64_t frame;
    dv::FrameEventKind kind;
    std::int64_t delta;
    bool operator==(const Fed&) const = default;
};

std::vector<Fed> FeedAll(const std::vector<dv::FrameAnalysis>& frames,
                         const std::vector<std::int64_t>& lost = {}) {
    dv::FrameEventTracker tracker;
    std::vector<Fed> out;
    for (std::size_t i = 0; i < frames.size(); ++i)
        for (const auto& e :
             tracker.Feed(static_cast<std::int64_t>(i), frames[i], i < lost.size() ? lost[i] : 0))
            out.push_back({e.frame, e.kind, e.delta});
    return out;
}

using K = dv::FrameEventKind;

TEST(FrameEvents, TimecodeBreaksAreReportedAtTheirFrameAndOneBadFrameIsNot) {
    std::vector<dv::FrameAnalysis> frames;
    for (int i = 0; i < 10; ++i) frames.push_back(Frame(i));
    for (int i = 0; i < 10; ++i) frames.push_back(Frame(500 + i, -20));
    for (int i = 0; i < 10; ++i) frames.push_back(Frame(100 + i, -4));
    // Frame 25 alone says something else; frame 27 carries no time code at all.
    frames[25].timecode.count = 9000;
    frames[27].timecode.valid = false;
    EXPECT_EQ(FeedAll(frames), (std::vector<Fed>{{10, K::TimecodeJumpForward, 490},
                                                 {20, K::TimecodeJumpBackward, -410}}));
}

TEST(FrameEvents, FramesLostOnTheLinkAreNoBreak) {
    std::vector<dv::FrameAnalysis> frames;
    for (int i = 0; i < 10; ++i) frames.push_back(Frame(i < 5 ? i : i + 3));
    std::vector<std::int64_t> lost(10, 0);
    lost[5] = 3;
    EXPECT_TRUE(FeedAll(frames, lost).empty());
    // Without knowing of the loss the same frames are a jump of three.
    EXPECT_EQ(FeedAll(frames), (std::vector<Fed>{{5, K::TimecodeJumpForward, 3}}));
}

TEST(FrameEvents, DateJumpsBackwardsOrBeyondTheElapsedTime) {
    std::vector<dv::FrameAnalysis> frames;
    for (int i = 0; i < 60; ++i) frames.push_back(Frame(i));
    // The same time code but a date an hour later from frame 30, then back to the old one.
    for (int i = 30; i < 45; ++i) frames[i] = Frame(i, 3600);
    frames[50] = Frame(50, 2);  // one frame off by two seconds: damage, no event
    EXPECT_EQ(FeedAll(frames),
              (std::vector<Fed>{{30, K::DateJump, 3600}, {45, K::DateJump, -3600}}));
}

TEST(FrameEvents, StartFlagsBlankStretchesAndFormatChanges) {
    std::vector<dv::FrameAnalysis> frames;
    for (int i = 0; i < 40; ++i) frames.push_back(Frame(i));
    frames[0].recordingStart = frames[1].recordingStart = true;
    frames[20].recordingStart = true;
    for (int i = 5; i < 8; ++i) {
        frames[i].timecode.valid = false;
        frames[i].recorded.reset();
        frames[i].audio = {};
        frames[i].blank = true;
    }
    for (int i = 30; i < 40; ++i) frames[i].audio = {true, 32000, 12, 4, true, 1280};
    frames[12].audio.sampleRate = 44100;  // one misread frame
    EXPECT_EQ(FeedAll(frames), (std::vector<Fed>{{0, K::RecordingStart, 0},
                                                 {5, K::BlankStart, 0},
                                                 {8, K::BlankEnd, 0},
                                                 {20, K::RecordingStart, 0},
                                                 {30, K::FormatChange, 0}}));
}

TEST(FrameJson, LinesCarryTheReportFields) {
    auto a = Frame(26);
    a.timecode.dropFrame = false;
    a.videoErrorBlocks = 3;
    a.videoBlocksBySta[0xF] = 2;
    a.videoBlocksBySta[0x2] = 1;
    a.videoErrorsEven = 1;
    a.videoErrorsOdd = 2;
    a.audioErrorBlocks = 4;
    dv::FrameLoss lost;
    lost.bus = 2;
    lost.overrun = 1;
    EXPECT_EQ(dv::FrameJson(7, a, lost),
              R"({"frame":7,"timecode":"00:00:01:01","recorded":"2024-05-06T10:00:01",)"
              R"("video_errors":3,"audio_errors":4,"dropped_before":3,)"
              R"("dropped_why":{"bus":2,"overrun":1,"incomplete":0},"system":"625",)"
              R"("aspect":"4:3","audio":{"rate":48000,"bits":16,"channels":2,"locked":true,)"
              R"("samples":1920},"start":false,"blank":false,"video_sta":{"2":1,"F":2},)"
              R"("video_errors_even":1,"video_errors_odd":2})");
    dv::FrameAnalysis none;
    EXPECT_EQ(dv::FrameJson(0, none, {}),
              R"({"frame":0,"timecode":null,"recorded":null,"video_errors":0,"audio_errors":0,)"
              R"("dropped_before":0,"dv":false})");
    a.timecode.dropFrame = true;
    EXPECT_EQ(dv::FormatTimecode(a.timecode), "00:00:01;01");

    dv::FrameTotals totals;
    totals.Add(a, lost);
    totals.Add(Frame(27), {});
    totals.AddEvent({K::DateJump, 1, 5, {}, {}});
    EXPECT_EQ(totals.Frames(), 2);
    EXPECT_EQ(totals.Dropped(), 3);
    EXPECT_EQ(totals.DamagedFrames(), 1);
    const std::string summary = totals.SummaryJson();
    EXPECT_EQ(summary.rfind(R"({"summary":{"frames":2,)", 0), 0u) << summary;
    EXPECT_NE(summary.find(R"("date_jump":1)"), std::string::npos) << summary;
    EXPECT_NE(summary.find(R"("first_timecode":"00:00:01;01")"), std::string::npos) << summary;
}

}  // namespace
