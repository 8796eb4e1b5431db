// velmora-capture against virtual decks run in the test process: whole tapes recorded bit for
// bit, files split exactly at recording breaks and never at one damaged frame, names from the
// recording dates, raw DV files split and reported as AVI files are, a tape that changes DV
// system recorded on into a file of the new system, a capture ended by Ctrl-C or killed, and
// the exit codes.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/dv/frame_analysis.h"
#include "platform/dv/subcode.h"
#include "platform/filters/avi_format.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
namespace dv = platform::dv;
constexpr std::size_t kFrame = 120000;
constexpr std::size_t kPalFrame = 144000;
// A capture from the start of a tape begins with its first frame.
constexpr std::size_t kFirstPlayed = 0;

// The name a file gets from the recording date of the frame.
std::string DateNameOf(const std::uint8_t* frame, std::size_t size) {
    auto analysis = dv::AnalyseFrame(frame, size);
    EXPECT_TRUE(analysis.recorded);
    if (!analysis.recorded) return {};
    char name[64];
    const auto& r = *analysis.recorded;
    std::snprintf(name, sizeof name, "cap-%04d.%02d.%02d_%02d-%02d-%02d", r.year, r.month, r.day,
                  r.hour, r.minute, r.second);
    return name;
}

// A file that a capture named "cap" wrote.
bool IsRecording(const fs::path& path, const std::string& extension) {
    return path.extension() == extension && path.filename().string().rfind("cap-", 0) == 0;
}

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};

class CaptureCli : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", (dir_.Path() / "run").c_str(), 1); }
    void TearDown() override { servers_.clear(); }

    // A sample tape of `seconds`, its frames changed by `edit` (frame index, frame bytes).
    fs::path MakeTape(int seconds,
                      const std::function<void(std::size_t, std::uint8_t*)>& edit = {}) {
        fs::path path = dir_.Path() / "tape.dv";
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), seconds, 48000, &error)) << error;
        tape_ = velmora::test::ReadFileBytes(path);
        if (edit) {
            for (std::size_t n = 0; (n + 1) * kFrame <= tape_.size(); ++n)
                edit(n, tape_.data() + n * kFrame);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(tape_.data()), std::streamsize(tape_.size()));
        }
        return path;
    }
    std::shared_ptr<vdeck::Deck> StartDeck(const fs::path& tape, double rate,
                                           const std::string& name = "deckA") {
        std::string error;
        auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(tape.string(), &error), name);
        servers_.push_back(std::make_unique<vdeck::DeckServer>(
            deck, vdeck::DeckServer::DefaultSocketPath(name), rate));
        EXPECT_TRUE(servers_.back()->Start(&error)) << error;
        return deck;
    }
    // Two seconds of NTSC, then six of PAL recorded a day later with their own time code.
    fs::path MakeTapeChangingSystem(Bytes* ntsc, Bytes* pal) {
        std::string error;
        const fs::path ntscPath = dir_.Path() / "ntsc.dv", palPath = dir_.Path() / "pal.dv";
        EXPECT_TRUE(vdeck::MakeTape(ntscPath.string(), {{.seconds = 2, .day = 8}}, 48000, &error))
            << error;
        EXPECT_TRUE(vdeck::MakeTape(palPath.string(), {{.seconds = 6, .day = 9, .timecode = 100}},
                                    48000, &error, dv::System::Pal625))
            << error;
        *ntsc = velmora::test::ReadFileBytes(ntscPath);
        *pal = velmora::test::ReadFileBytes(palPath);
        const fs::path tape = dir_.Path() / "tape.dv";
        std::ofstream(tape, std::ios::binary)
            .write(reinterpret_cast<const char*>(ntsc->data()), std::streamsize(ntsc->size()))
            .write(reinterpret_cast<const char*>(pal->data()), std::streamsize(pal->size()));
        return tape;
    }
    static std::string Command(const std::string& args) {
        return std::string(VELMORA_CAPTURE_PATH) + " " + args;
    }
    ProgramRun Capture(const std::string& args) {
        ProgramRun run;
        fs::path out = dir_.Path() / "stdout", err = dir_.Path() / "stderr";
        int status = std::system(("cd '" + dir_.Path().string() + "' && " + Command(args) + " >'" +
                                  out.string() + "' 2>'" + err.string() + "'")
                                     .c_str());
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = Text(out);
        run.err = Text(err);
        return run;
    }
    static std::string Text(const fs::path& path) {
        auto bytes = velmora::test::ReadFileBytes(path);
        return {bytes.begin(), bytes.end()};
    }
    // The recordings in the folder (AVI files, or raw DV files beside the tape), by name.
    std::vector<fs::path> Recordings(const std::string& extension = ".avi") {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir_.Path()))
            if (IsRecording(entry.path(), extension)) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    // The frames of a recording: all of a raw DV file, what the index gives of an AVI file.
    static Bytes FramesOf(const fs::path& avi) {
        Bytes file = velmora::test::ReadFileBytes(avi);
        if (avi.extension() == ".dv") return file;
        auto read = [&](std::int64_t position, std::uint32_t length, std::uint8_t* buffer) {
            if (position < 0 || std::uint64_t(position) + length > file.size()) return false;
            std::memcpy(buffer, file.data() + position, length);
            return true;
        };
        platform::avi::ParsedFile parsed;
        EXPECT_EQ(platform::avi::Parse(read, std::int64_t(file.size()), &parsed), S_OK) << avi;
        Bytes frames;
        if (parsed.streams.empty()) return frames;
        for (const auto& chunk : parsed.streams[0].chunks)
            frames.insert(frames.end(), file.begin() + chunk.position,
                          file.begin() + chunk.position + chunk.size);
        return frames;
    }
    // The tape frame that `frame` is, by its place: the first frame at `from` or later that is
    // the same bytes; -1 when none is.
    std::int64_t TapeIndexOf(const std::uint8_t* frame, std::size_t from = 0) {
        for (std::size_t n = from; (n + 1) * kFrame <= tape_.size(); ++n)
            if (std::equal(frame, frame + kFrame, tape_.begin() + std::ptrdiff_t(n * kFrame)))
                return std::int64_t(n);
        return -1;
    }
    // The files hold consecutive tape frames, bit for bit, from `first` on; answers the number
    // of frames in each.
    std::vector<std::size_t> ExpectConsecutiveFrames(const std::vector<fs::path>& files,
                                                     std::size_t first) {
        std::vector<std::size_t> counts;
        std::size_t next = first;
        for (const auto& file : files) {
            Bytes frames = FramesOf(file);
            EXPECT_EQ(frames.size() % kFrame, 0u) << file;
            counts.push_back(frames.size() / kFrame);
            for (std::size_t i = 0; i * kFrame < frames.size(); ++i, ++next) {
                EXPECT_TRUE(std::equal(frames.begin() + std::ptrdiff_t(i * kFrame),
                                       frames.begin() + std::ptrdiff_t((i + 1) * kFrame),
                                       tape_.begin() + std::ptrdiff_t(next * kFrame)))
                    << file << " frame " << i << " is not tape frame " << next;
                if (HasFailure()) return counts;
            }
        }
        return counts;
    }
    static std::vector<std::string> Lines(const fs::path& path) {
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The lines of the tape report that `velmora-capture --analyse` writes of a file.
    std::vector<std::string> AnalysedLines(const fs::path& file) {
        const fs::path report = dir_.Path() / "analysed.jsonl";
        fs::remove(report);
        EXPECT_EQ(velmora::test::RunCommand(Command("--analyse '" + file.string() + "' --output '" +
                                                    report.string() + "' >/dev/null")),
                  0)
            << file;
        return Lines(report);
    }
    std::size_t TapeFrames() const { return tape_.size() / kFrame; }
    // The recording of a capture ended by `sig` is read by ffprobe, and its tape report agrees
    // with it: after SIGINT the file is whole and has a line per frame; after SIGKILL every
    // whole line of the report is a frame of the file (or the one on its way into it).
    void ExpectReadAfterAnEnd(const fs::path& file, int sig) {
        const std::size_t probed = velmora::test::ProbedVideoFrames(file);
        EXPECT_GE(probed, 20u);
        std::size_t frameLines = 0;
        const auto report = Lines(file.string() + ".dvlog.jsonl");
        for (const auto& line : report)
            frameLines += line.rfind("{\"frame\":", 0) == 0 && line.back() == '}';
        if (sig == SIGINT) {
            EXPECT_EQ(frameLines, probed);
            auto counts = ExpectConsecutiveFrames({file}, kFirstPlayed);
            ASSERT_EQ(counts.size(), 1u);
            EXPECT_EQ(counts[0], probed);
            return;
        }
        // The report's line of a frame is written just before the frame.
        EXPECT_LE(frameLines, probed + 1);
        EXPECT_GE(frameLines + 30, probed);  // flushed within a second
        if (file.extension() != ".dv") return;
        // Raw DV: whole tape frames from the start, and the report's lines of them are those an
        // analysis of the file writes. (A kill that lands inside the write of a frame can leave
        // the start of that one frame after them.)
        Bytes bytes = velmora::test::ReadFileBytes(file);
        const std::size_t whole = bytes.size() / kFrame;
        EXPECT_GE(probed, whole);
        for (std::size_t i = 0; i < whole; ++i)
            ASSERT_EQ(TapeIndexOf(bytes.data() + i * kFrame, kFirstPlayed + i),
                      std::int64_t(kFirstPlayed + i))
                << "frame " << i;
        const auto analysed = AnalysedLines(file);
        ASSERT_FALSE(analysed.empty());
        const std::size_t both = std::min({frameLines, whole, analysed.size() - 1});
        for (std::size_t line = 1; line <= both; ++line)
            ASSERT_EQ(report[line], analysed[line]) << "line " << line;
    }
    // The name a file gets from the recording date of a tape frame.
    std::string DateName(std::size_t frame) {
        return DateNameOf(tape_.data() + frame * kFrame, kFrame);
    }

    velmora::test::TempDir dir_;
    std::vector<std::unique_ptr<vdeck::DeckServer>> servers_;
    Bytes tape_;
};

TEST_F(CaptureCli, AWholeTapeIsRecordedBitForBitIntoOneFileNamedByItsDate) {
    StartDeck(MakeTape(3), 4.0);
    ProgramRun run = Capture("--rewind --no-signal 5 --json cap");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u) << run.out;
    EXPECT_EQ(files[0].filename().string(), DateName(kFirstPlayed) + ".avi");
    auto counts = ExpectConsecutiveFrames(files, kFirstPlayed);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], TapeFrames() - kFirstPlayed);
    EXPECT_EQ(velmora::test::ProbedVideoFrames(files[0]), counts[0]);
    // Other programs show the recording date.
    std::string tags = velmora::test::RunCommandOutput(
        "ffprobe -v error -show_entries format_tags=creation_time -of default=nw=1 '" +
        files[0].string() + "'");
    EXPECT_NE(tags.find("2026-12-08"), std::string::npos) << tags;
    // The tape report: a line per frame between its first and its summary line.
    auto lines = Lines(files[0].string() + ".dvlog.jsonl");
    ASSERT_GE(lines.size(), counts[0] + 2);
    EXPECT_NE(lines.back().find("\"summary\""), std::string::npos);
    EXPECT_NE(lines.back().find("\"frames\":" + std::to_string(counts[0])), std::string::npos);
    // The summary, as JSON on standard output; progress went to standard error.
    EXPECT_NE(run.out.find("\"frames\":" + std::to_string(counts[0])), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"ended\":\"end of tape\""), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("TC 00:00:0"), std::string::npos) << run.err;
    // No file but the recording and its report is left behind.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(dir_.Path()))
        entries += entry.path().filename().string().rfind("cap", 0) == 0;
    EXPECT_EQ(entries, 2u);
}

// A tape of three recordings: frames [0, 30) of the sample's date, [30, 60) a day later with
// the time code running on, [60, 90) a year later with the time code starting again. Frame 45
// alone carries a wrong date and frame 50 a wrong time code, as damaged frames do.
void MakeRecordings(std::size_t n, std::uint8_t* frame) {
    auto analysis = dv::AnalyseFrame(frame, kFrame);
    auto tc = vdeck::DropFrameTimecode(std::int64_t(n));
    int day = 8, year = 2026;
    if (n >= 30) day = 9;
    if (n >= 60) {
        year = 2027;
        tc = vdeck::DropFrameTimecode(std::int64_t(n - 60) + 1000);
    }
    if (n == 45) day = 20;
    if (n == 50) tc = vdeck::DropFrameTimecode(5000);
    const auto& r = *analysis.recorded;
    dv::WriteSubcode(frame, kFrame, tc, true, year, 12, day, r.hour, r.minute, r.second);
}

TEST_F(CaptureCli, FilesBeginExactlyAtTheRecordingBreaksAndNeverAtADamagedFrame) {
    StartDeck(MakeTape(3, MakeRecordings), 4.0);
    ProgramRun run = Capture("--rewind --no-signal 5 cap");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto files = Recordings();
    ASSERT_EQ(files.size(), 3u) << run.out;
    EXPECT_EQ(files[0].filename().string(), DateName(kFirstPlayed) + ".avi");
    EXPECT_EQ(files[1].filename().string(), DateName(30) + ".avi");
    EXPECT_EQ(files[2].filename().string(), DateName(60) + ".avi");
    auto counts = ExpectConsecutiveFrames(files, kFirstPlayed);
    EXPECT_EQ(counts, (std::vector<std::size_t>{30 - kFirstPlayed, 30, TapeFrames() - 60}));

    // Split by time code only: the date change at 30 goes on in the same file.
    for (const auto& file : files) fs::remove(file);
    run = Capture("--rewind --no-signal 5 --split timecode --name counter cap");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    files = Recordings();
    ASSERT_EQ(files.size(), 2u) << run.out;
    EXPECT_EQ(files[0].filename().string(), "cap-0001.avi");
    EXPECT_EQ(files[1].filename().string(), "cap-0002.avi");
    counts = ExpectConsecutiveFrames(files, kFirstPlayed);
    EXPECT_EQ(counts, (std::vector<std::size_t>{60 - kFirstPlayed, TapeFrames() - 60}));
}

TEST_F(CaptureCli, RawDvFilesAreSplitAtTheSameFramesAsAviAndReportedAsAnalyseReportsThem) {
    StartDeck(MakeTape(3, MakeRecordings), 4.0);
    ProgramRun avi = Capture("--rewind --no-signal 5 cap");
    ASSERT_EQ(avi.exitCode, 0) << avi.err;
    ProgramRun raw = Capture("--rewind --no-signal 5 --format dv --json cap");
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    auto aviFiles = Recordings(".avi"), dvFiles = Recordings(".dv");
    ASSERT_EQ(dvFiles.size(), 3u) << raw.out;
    ASSERT_EQ(aviFiles.size(), 3u) << avi.out;
    for (std::size_t n = 0; n < 3; ++n)
        EXPECT_EQ(dvFiles[n].stem(), aviFiles[n].stem()) << dvFiles[n];
    EXPECT_EQ(dvFiles[1].filename().string(), DateName(30) + ".dv");
    // The tape's frames back to back, nothing else, split where the AVI files are.
    auto counts = ExpectConsecutiveFrames(dvFiles, kFirstPlayed);
    EXPECT_EQ(counts, (std::vector<std::size_t>{30 - kFirstPlayed, 30, TapeFrames() - 60}));
    EXPECT_EQ(counts, ExpectConsecutiveFrames(aviFiles, kFirstPlayed));
    for (std::size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(fs::file_size(dvFiles[n]), counts[n] * kFrame) << dvFiles[n];
        EXPECT_EQ(velmora::test::ProbedVideoFrames(dvFiles[n]), counts[n]) << dvFiles[n];
        // The report written while recording says what an analysis of the file says, line for
        // line after the first (which names the source).
        auto recorded = Lines(dvFiles[n].string() + ".dvlog.jsonl");
        auto analysed = AnalysedLines(dvFiles[n]);
        ASSERT_GE(recorded.size(), counts[n] + 2) << dvFiles[n];
        ASSERT_EQ(recorded.size(), analysed.size()) << dvFiles[n];
        EXPECT_NE(recorded[0].find("\"kind\":\"capture\""), std::string::npos) << recorded[0];
        for (std::size_t line = 1; line < recorded.size(); ++line)
            ASSERT_EQ(recorded[line], analysed[line]) << dvFiles[n] << " line " << line;
    }
    EXPECT_NE(raw.out.find("\"path\":\"" + dvFiles[2].filename().string() + "\""),
              std::string::npos)
        << raw.out;
}

// A tape of an NTSC recording followed by a PAL one: the first file holds every NTSC frame, the
// second consecutive PAL frames from the first one received after the graph was built again to
// the end of the tape, and the PAL frames that passed meanwhile are counted as dropped.
TEST_F(CaptureCli, ATapeThatChangesDvSystemGoesOnInAFileOfTheNewSystem) {
    Bytes ntsc, pal;
    const fs::path tape = MakeTapeChangingSystem(&ntsc, &pal);
    // Real time: the PAL recording outlasts building the graph again on a loaded machine.
    StartDeck(tape, 1.0);

    ProgramRun run = Capture("--rewind --no-signal 5 --json cap");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto files = Recordings();
    ASSERT_EQ(files.size(), 2u) << run.out;
    EXPECT_EQ(files[0].filename().string(), DateNameOf(ntsc.data(), kFrame) + ".avi");
    EXPECT_EQ(files[1].filename().string(), DateNameOf(pal.data(), kPalFrame) + ".avi");
    // Every NTSC frame of the tape, bit for bit.
    EXPECT_TRUE(FramesOf(files[0]) == ntsc) << files[0];

    // PAL frames of the tape, consecutive, bit for bit, up to its last one.
    const Bytes second = FramesOf(files[1]);
    const std::size_t palFrames = pal.size() / kPalFrame, count = second.size() / kPalFrame;
    ASSERT_EQ(second.size() % kPalFrame, 0u);
    ASSERT_GT(count, 0u);
    std::size_t lost = 0;
    while (lost < palFrames && !std::equal(second.begin(), second.begin() + kPalFrame,
                                           pal.begin() + std::ptrdiff_t(lost * kPalFrame)))
        ++lost;
    ASSERT_LT(lost, palFrames) << "the second file's first frame is no PAL frame of the tape";
    EXPECT_EQ(lost + count, palFrames) << "the second file does not end at the tape's end";
    EXPECT_TRUE(
        std::equal(second.begin(), second.end(), pal.begin() + std::ptrdiff_t(lost * kPalFrame)))
        << "the PAL frames recorded are not the tape's, one after the other";
    EXPECT_EQ(velmora::test::ProbedVideoFrames(files[1]), count);

    // The frames lost where the system changed are counted, in the summary and in the tape
    // report of the second file at its first frame; the summary lists both files.
    const std::size_t ntscFrames = ntsc.size() / kFrame;
    EXPECT_NE(run.out.find("\"frames\":" + std::to_string(ntscFrames + count) +
                           ",\"dropped\":" + std::to_string(lost) + ","),
              std::string::npos)
        << run.out;
    for (const auto& file : files)
        EXPECT_NE(run.out.find("\"path\":\"" + file.filename().string() + "\""), std::string::npos)
            << run.out;
    EXPECT_NE(run.out.find("\"began_at\":\"format\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"ended\":\"end of tape\""), std::string::npos) << run.out;
    auto report = Lines(files[1].string() + ".dvlog.jsonl");
    ASSERT_GE(report.size(), count + 2);
    EXPECT_NE(report[1].find("\"dropped_before\":" + std::to_string(lost) + ","), std::string::npos)
        << report[1];
    EXPECT_NE(report.back().find("\"frames\":" + std::to_string(count)), std::string::npos)
        << report.back();
}

TEST_F(CaptureCli, AnExistingFileIsNeverOverwritten) {
    StartDeck(MakeTape(1), 4.0);
    ASSERT_EQ(Capture("--rewind --no-signal 5 cap").exitCode, 0);
    auto first = Recordings();
    ASSERT_EQ(first.size(), 1u);
    const Bytes before = velmora::test::ReadFileBytes(first[0]);
    ProgramRun again = Capture("--rewind --no-signal 5 cap");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Recordings().size(), 2u);
    EXPECT_TRUE(fs::exists(dir_.Path() / (DateName(kFirstPlayed) + "-2.avi")));
    EXPECT_EQ(velmora::test::ReadFileBytes(first[0]), before);
}

// Starts the program in the folder; answers its process id.
pid_t Spawn(const fs::path& folder, const std::vector<std::string>& args) {
    std::vector<std::string> all{VELMORA_CAPTURE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits until the recording (of the extension given) holds at least `bytes`.
bool WaitForRecording(const fs::path& folder, std::uintmax_t bytes, const std::string& extension) {
    for (int tries = 0; tries < 1200; ++tries) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (IsRecording(entry.path(), extension) && entry.file_size(error) >= bytes)
                return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST_F(CaptureCli, CtrlCFinishesTheFileAndAKillLeavesOneThatIsStillRead) {
    StartDeck(MakeTape(20), 1.0);
    for (const std::string format : {"avi", "dv"}) {
        const std::string extension = "." + format;
        for (int sig : {SIGINT, SIGKILL}) {
            SCOPED_TRACE(format + (sig == SIGINT ? " SIGINT" : " SIGKILL"));
            for (const auto& file : Recordings(extension)) fs::remove(file);
            pid_t pid = Spawn(dir_.Path(), {"--rewind", "--format", format, "cap"});
            ASSERT_GT(pid, 0);
            ASSERT_TRUE(WaitForRecording(dir_.Path(), 3 * 1000 * 1000, extension));
            ::kill(pid, sig);
            int status = 0;
            ::waitpid(pid, &status, 0);
            if (sig == SIGINT) {
                ASSERT_TRUE(WIFEXITED(status));
                EXPECT_EQ(WEXITSTATUS(status), 0);
            }
            auto files = Recordings(extension);
            ASSERT_EQ(files.size(), 1u);
            ExpectReadAfterAnEnd(files[0], sig);
            // A killed capture leaves the deck playing: a fresh deck for the next round.
            servers_.clear();
            StartDeck(dir_.Path() / "tape.dv", 1.0);
        }
    }
}

// A unit that will not send to a graph built again for the new system ends the capture with
// exit code 1, the first system's file whole.
TEST_F(CaptureCli, AUnitLostToTheCaptureAtAChangeOfSystemEndsItCleanly) {
    Bytes ntsc, pal;
    auto deck = StartDeck(MakeTapeChangingSystem(&ntsc, &pal), 1.0);
    pid_t pid = Spawn(dir_.Path(), {"--rewind", "--no-signal", "5", "cap"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitForRecording(dir_.Path(), 3 * kFrame, ".avi"));
    vdeck::Faults faults;
    faults.outputInUse = true;  // as if another program took the unit's output meanwhile
    deck->SetFaults(faults);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(FramesOf(files[0]) == ntsc);
}

// The graph built again for the new system finds its unit by its place in the device list;
// a deck started meanwhile takes that place, and is not recorded in its stead.
TEST_F(CaptureCli, AnotherUnitInTheListsPlaceAtAChangeOfSystemIsNotRecorded) {
    Bytes ntsc, pal;
    StartDeck(MakeTapeChangingSystem(&ntsc, &pal), 1.0);
    pid_t pid = Spawn(dir_.Path(), {"--rewind", "--no-signal", "3", "cap"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitForRecording(dir_.Path(), 3 * kFrame, ".avi"));
    const fs::path other = dir_.Path() / "other.dv";
    std::string error;
    ASSERT_TRUE(vdeck::MakeSampleTape(other.string(), 1, 48000, &error)) << error;
    StartDeck(other, 1.0, "aaa");  // listed before deckA from now on
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(FramesOf(files[0]) == ntsc);
}

TEST_F(CaptureCli, ExitCodesSayWhatWentWrong) {
    EXPECT_EQ(Capture("").exitCode, 2);
    EXPECT_EQ(Capture("--split sometimes cap").exitCode, 2);
    EXPECT_EQ(Capture("--duration -1 cap").exitCode, 2);
    ProgramRun noDevice = Capture("--device 3 cap");
    EXPECT_EQ(noDevice.exitCode, 1);
    EXPECT_NE(noDevice.err.find("no DV unit 3"), std::string::npos) << noDevice.err;

    StartDeck(MakeTape(3), 4.0);
    ProgramRun list = Capture("--list");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(std::regex_search(list.out, std::regex("0 +virtual +deckA .*can open")))
        << list.out;
    EXPECT_EQ(Capture("--rewind no-such-folder/cap").exitCode, 1);

    // A disk that fills up ends the recording with the file finished up to there.
    velmora::test::SmallFileSystem small(dir_.Path() / "small", 4);
    if (!small.Mounted()) GTEST_SKIP() << "no small file system to fill (needs root)";
    ProgramRun full = Capture("--rewind --no-signal 5 --json small/cap");
    EXPECT_EQ(full.exitCode, 3) << full.err;
    EXPECT_NE(full.out.find("\"ended\":\"write error\""), std::string::npos) << full.out;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir_.Path() / "small"))
        if (entry.path().extension() == ".avi") files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(velmora::test::ProbedVideoFrames(files[0]), 10u);

    // Raw DV likewise: the tape's frames up to where the disk filled, each of them whole.
    fs::remove(files[0]);
    fs::remove(files[0].string() + ".dvlog.jsonl");
    full = Capture("--rewind --no-signal 5 --json --format dv small/cap");
    EXPECT_EQ(full.exitCode, 3) << full.err;
    EXPECT_NE(full.out.find("\"ended\":\"write error\""), std::string::npos) << full.out;
    files.clear();
    for (const auto& entry : fs::directory_iterator(dir_.Path() / "small"))
        if (entry.path().extension() == ".dv") files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    auto counts = ExpectConsecutiveFrames(files, kFirstPlayed);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_GT(counts[0], 10u);
    EXPECT_EQ(velmora::test::ProbedVideoFrames(files[0]), counts[0]);
}

}  // namespace
