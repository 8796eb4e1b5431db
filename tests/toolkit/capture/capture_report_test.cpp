// The tape report of recordings made against virtual decks with injected tape faults: each
// fault shows at its frame and nothing else shows; a killed recording's report agrees with a
// later analysis of its file.

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "tests/toolkit/capture/capture_deck_fixture.h"
#include "vdeck/tape_maker.h"

namespace capture_test {
namespace {

std::vector<std::string> Lines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The integer after "key": in a JSON line; -1 when absent.
std::int64_t Field(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::stoll(line.substr(at + key.size() + 3));
}

std::string Text(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return {};
    const auto start = at + key.size() + 3;
    if (line.compare(start, 4, "null") == 0) return "null";
    return line.substr(start + 1, line.find('"', start + 1) - start - 1);
}

class CaptureReport : public CaptureDeck {
  protected:
    std::shared_ptr<vdeck::Deck> StartFaultyDeck(const std::vector<vdeck::TapeFault>& faults) {
        auto path = runtime_.Path() / "faulty.dv";
        std::string error;
        vdeck::TapeRecording first, second;
        first.seconds = second.seconds = 3;
        first.year = 2024, first.month = 5, first.day = 6, first.hour = 10;
        second.year = 2025, second.month = 1, second.day = 2, second.hour = 3;
        second.timecode = 17982;  // 00:10:00;00
        EXPECT_TRUE(vdeck::MakeTape(path.string(), {first, second}, 48000, &error)) << error;
        auto deck = StartDeckWith("Faulty", path, 1.0, System::Ntsc525);
        vdeck::Faults f;
        f.tape = faults;
        deck->SetFaults(f);
        return deck;
    }
};

using Kind = vdeck::TapeFault::Kind;

TEST_F(CaptureReport, EveryInjectedFaultShowsAtItsFrameAndNothingElseDoes) {
    auto deck = StartFaultyDeck({{Kind::VideoStatus, 20, 1, 0xF, 40},
                                 {Kind::VideoStatus, 25, 1, 0x2, 10},
                                 {Kind::AudioErrors, 30, 1, 0, 5},
                                 {Kind::TimecodeJump, 40, 0, 100, 0},
                                 {Kind::DateJump, 55, 0, 3600, 0},
                                 {Kind::Blank, 65, 5, 0, 0},
                                 {Kind::AudioMode, 120, 1, 32000, 0},
                                 {Kind::LinkDrop, 140, 2, 0, 0}});
    ASSERT_EQ(deck->FrameCount(), 180);
    Open(TOVIK_OPEN_PREVIEW);
    auto avi = runtime_.Path() / "take.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, avi.c_str(), 1), 1);
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    TovikRecReport report{};
    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
            Tovik_GetRecReport(handle_, &report);
            return deck->Position() >= 179 && deck->State().operand == 0x60;
        },
        60s))
        << report.frames;
    Wait(500ms);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    Tovik_GetRecReport(handle_, &report);
    EXPECT_EQ(report.dropped, 2);
    EXPECT_EQ(report.damaged, 3);

    const auto lines = Lines(avi.string() + ".dvlog.jsonl");
    ASSERT_GT(lines.size(), 3u);
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    SCOPED_TRACE(all.substr(0, 600) + "..." +
                 all.substr(all.size() > 3000 ? all.size() - 3000 : 0));
    EXPECT_NE(lines.front().find("\"device\":\"Faulty\""), std::string::npos) << lines.front();
    EXPECT_EQ(lines.back().rfind("{\"summary\":", 0), 0u);
    // Frame lines, with their place on the tape: the first frame's time code tells where the
    // recording began (the first recording's time code counts tape frames), and frames lost
    // on the link move the rest on.
    std::int64_t tapeFrame = -1, firstTape = -1;
    std::map<std::int64_t, std::int64_t> tapeOf;  // report frame -> tape frame
    std::vector<std::string> events;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind("{\"event\":", 0) == 0) {
            events.push_back(Text(line, "event") + "@" +
                             std::to_string(tapeOf.at(Field(line, "frame"))) + " " +
                             std::to_string(Field(line, "delta")));
            continue;
        }
        const std::int64_t frame = Field(line, "frame");
        if (firstTape < 0) {
            const std::string tc = Text(line, "timecode");
            ASSERT_EQ(tc.substr(0, 6), "00:00:") << line;
            firstTape = std::stoi(tc.substr(6, 2)) * 30 + std::stoi(tc.substr(9, 2));
            tapeFrame = firstTape - 1;
        }
        tapeFrame += 1 + Field(line, "dropped_before");
        tapeOf[frame] = tapeFrame;
        const std::int64_t video = Field(line, "video_errors"), audio = Field(line, "audio_errors");
        EXPECT_EQ(video, tapeFrame == 20 ? 40 : tapeFrame == 25 ? 10 : 0) << line;
        EXPECT_EQ(audio, tapeFrame == 30 ? 5 : 0) << line;
        EXPECT_EQ(Field(line, "dropped_before"), tapeFrame == 142 ? 2 : 0) << line;
        if (tapeFrame == 142) {
            EXPECT_NE(line.find("\"dropped_why\":{\"bus\":2"), std::string::npos) << line;
        }
        if (tapeFrame == 20) {
            EXPECT_NE(line.find("\"video_sta\":{\"F\":40}"), std::string::npos) << line;
        }
        EXPECT_EQ(Text(line, "timecode") == "null", tapeFrame >= 65 && tapeFrame < 70) << line;
    }
    ASSERT_LT(firstTape, 20);
    EXPECT_EQ(tapeFrame, 179);
    std::vector<std::string> expected;
    if (firstTape == 0) expected.push_back("recording_start@0 -1");
    std::vector<std::string> rest = {"timecode_jump_forward@40 100", "date_jump@55 3600",
                                     "blank_start@65 -1", "blank_end@70 -1",
                                     "recording_start@90 -1"};
    expected.insert(expected.end(), rest.begin(), rest.end());
    // The second recording starts with its own time code and date.
    ASSERT_GE(events.size(), expected.size() + 3);
    std::vector<std::string> at90, others;
    for (const auto& e : events) (e.find("@90 ") != std::string::npos ? at90 : others).push_back(e);
    EXPECT_EQ(at90.size(), 3u);
    EXPECT_NE(std::find_if(at90.begin(), at90.end(),
                           [](auto& e) { return e.rfind("timecode_jump_forward@90", 0) == 0; }),
              at90.end());
    EXPECT_NE(std::find_if(at90.begin(), at90.end(),
                           [](auto& e) { return e.rfind("date_jump@90", 0) == 0; }),
              at90.end());
    expected.erase(std::remove(expected.begin(), expected.end(), "recording_start@90 -1"),
                   expected.end());
    expected.push_back("format_change@120 -1");
    EXPECT_EQ(others, expected);
}

TEST_F(CaptureReport, AKilledRecordingsReportAgreesWithAnalysingItsFile) {
    StartFaultyDeck({{Kind::VideoStatus, 10, 3, 0x7, 25}, {Kind::TimecodeJump, 30, 0, 50, 0}});
    auto path = runtime_.Path() / "killed.avi";
    const std::string child = RECORD_CHILD_PATH;
    char* const argv[] = {const_cast<char*>(child.c_str()), const_cast<char*>(path.c_str()),
                          nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, child.c_str(), nullptr, nullptr, argv, environ), 0);
    std::error_code ec;
    const bool grew = ProcessEventsUntil(
        [&] { return std::filesystem::file_size(path, ec) > 60u * 120008 && !ec; }, 30s);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(grew) << "the child never recorded";

    const auto live = Lines(path.string() + ".dvlog.jsonl");
    const auto analysed = runtime_.Path() / "analysed.jsonl";
    ASSERT_EQ(velmora::test::RunCommand(std::string(VELMORA_CAPTURE_PATH) + " --analyse '" +
                                        path.string() + "' --output '" + analysed.string() + "'"),
              0);
    const auto again = Lines(analysed);
    // Every whole line of the live report but the first (its header) is the analysis's line
    // at the same place, as far as both go; the last line may be cut off.
    ASSERT_GT(live.size(), 40u);
    ASSERT_GT(again.size(), 40u);
    const std::size_t common = std::min(live.size() - 1, again.size() - 1);
    for (std::size_t i = 1; i < common; ++i) EXPECT_EQ(live[i], again[i]) << "line " << i;
    std::size_t jumps = 0;
    for (const auto& line : again)
        jumps += line.rfind("{\"event\":\"timecode_jump_forward\"", 0) == 0;
    EXPECT_EQ(jumps, 1u);
}

}  // namespace
}  // namespace capture_test
