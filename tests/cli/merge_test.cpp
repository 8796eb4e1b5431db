// Merging captures of one tape made with the virtual deck's faults: different damaged blocks
// and different dropped frames per capture, a stretch where the time code repeats.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/merge/dv_pass_reader.h"
#include "cli/merge/pass_merger.h"
#include "platform/dv/dif.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "vdeck/tape_faults.h"
#include "vdeck/tape_maker.h"

namespace {

using namespace velmora::merge;
namespace dv = platform::dv;
namespace fs = std::filesystem;
using Frame = std::vector<std::uint8_t>;

constexpr int kTapeFrames = 90;    // three seconds of 525-line DV
constexpr int kRepeatFrom = 60;    // from here the time code starts again at 00:00:00;00
constexpr int kBlocks = 10 * 150;  // DIF blocks of a frame

std::uint8_t Bcd(int value) {
    return static_cast<std::uint8_t>((value / 10) << 4 | value % 10);
}

// The undamaged tape: the deck's sample tape whose last second was recorded an hour later by
// a camcorder that restarted its time code.
const std::vector<Frame>& Tape() {
    static const std::vector<Frame> tape = [] {
        const velmora::test::TempDir temp;
        const fs::path path = temp.Path() / "merge_tape.dv";
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), 3, 48000, &error)) << error;
        const auto bytes = velmora::test::ReadFileBytes(path);
        std::vector<Frame> frames;
        for (std::size_t at = 0; at + dv::kFrameSize525 <= bytes.size(); at += dv::kFrameSize525)
            frames.emplace_back(bytes.begin() + at, bytes.begin() + at + dv::kFrameSize525);
        for (int n = kRepeatFrom; n < static_cast<int>(frames.size()); ++n) {
            Frame& f = frames[n];
            vdeck::SetTimecode(f.data(), f.size(), Bcd(n - kRepeatFrom), true);
            vdeck::SetRecordingDate(f.data(), f.size(), 2026, 12, 8, 13, 0, 0);
        }
        return frames;
    }();
    return tape;
}

// One capture: which frames of the tape it holds, and their bytes as the deck read them.
struct Capture {
    std::vector<int> tapeIndex;
    std::vector<Frame> frames;
};

// Gives the video blocks whose status the deck's faults set other content too, as a head clog
// leaves them.
void ScrambleFlagged(Frame& frame, std::uint8_t fill) {
    for (int block = 0; block < kBlocks; ++block) {
        std::uint8_t* b = frame.data() + block * dv::kBlockSize;
        if (dv::SectionAt(block % 150) == dv::Section::Video && (b[3] >> 4) != 0)
            std::memset(b + 4, fill, dv::kBlockSize - 4);
    }
}

template <typename DamageFn>
Capture MakeCapture(const std::set<int>& dropped, DamageFn damage) {
    Capture capture;
    for (int n = 0; n < static_cast<int>(Tape().size()); ++n) {
        if (dropped.count(n)) continue;
        Frame frame = Tape()[n];
        damage(n, frame);
        capture.tapeIndex.push_back(n);
        capture.frames.push_back(std::move(frame));
    }
    return capture;
}

// Capture A: video damage in the even sequences of frames 0-49, unreadable audio in 10-19.
Capture CaptureA() {
    return MakeCapture({5, 6, 7, 8, 70}, [](int n, Frame& f) {
        if (n < 50) vdeck::SetVideoStatus(f.data(), f.size(), 0xF, 20, vdeck::Sequences::Even);
        if (n >= 10 && n < 20) vdeck::MarkAudioErrors(f.data(), f.size(), 4);
        ScrambleFlagged(f, 0xA5);
    });
}

// Capture B: video damage in the odd sequences of frames 30-79 and, like A, in the even ones
// of 45-47; unreadable audio in 15-24.
Capture CaptureB() {
    return MakeCapture({20, 21, 22, 70}, [](int n, Frame& f) {
        if (n >= 30 && n < 80)
            vdeck::SetVideoStatus(f.data(), f.size(), 0xA, 20, vdeck::Sequences::Odd);
        if (n >= 45 && n < 48)
            vdeck::SetVideoStatus(f.data(), f.size(), 0x7, 5, vdeck::Sequences::Even);
        if (n >= 15 && n < 25) vdeck::MarkAudioErrors(f.data(), f.size(), 4);
        ScrambleFlagged(f, 0x5A);
    });
}

void WriteRaw(const fs::path& path, const Capture& capture) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& f : capture.frames)
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
}

std::vector<Frame> ReadFrames(const fs::path& path) {
    DvPassReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(path.string(), &error)) << error;
    std::vector<Frame> frames;
    Frame frame;
    while (reader.Next(&frame, &error)) frames.push_back(frame);
    EXPECT_EQ(error, "");
    return frames;
}

std::set<int> ParseRanges(const std::string& text) {
    std::set<int> out;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        const auto dash = part.find('-');
        const int first = std::stoi(part.substr(0, dash));
        const int last = dash == std::string::npos ? first : std::stoi(part.substr(dash + 1));
        for (int i = first; i <= last; ++i) out.insert(i);
    }
    return out;
}

std::string Field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto at = line.find(key);
    if (at == std::string::npos) return "";
    auto begin = at + key.size();
    if (line[begin] == '"') return line.substr(begin + 1, line.find('"', begin + 1) - begin - 1);
    return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

struct Report {
    std::vector<std::string> frames;  // one line per frame written
    std::string summary;              // the comparison with each capture
};

Report ReadReport(const fs::path& output) {
    Report report;
    std::ifstream in(output.string() + ".dvlog.jsonl");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("{\"frame\":", 0) == 0) report.frames.push_back(line);
        if (line.rfind("{\"merge\":", 0) == 0) report.summary = line;
    }
    return report;
}

class MergeTest : public ::testing::Test {
  protected:
    fs::path Dir() { return temp_.Path(); }

    int Run(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int code = RunMergeCommand(args, out, err);
        output_ = out.str();
        errors_ = err.str();
        return code;
    }

    // The merged file holds every tape frame some capture holds, in tape order, once; each
    // block equals the tape's unless every capture holding the frame had it damaged, and the
    // report lists exactly those blocks; frames in no capture are counted.
    void ExpectBestCopy(const fs::path& output, const std::vector<const Capture*>& captures) {
        std::map<int, std::vector<const Frame*>> copies;
        for (const Capture* c : captures)
            for (std::size_t i = 0; i < c->tapeIndex.size(); ++i)
                copies[c->tapeIndex[i]].push_back(&c->frames[i]);
        const auto merged = ReadFrames(output);
        const Report report = ReadReport(output);
        ASSERT_EQ(merged.size(), copies.size());
        ASSERT_EQ(report.frames.size(), copies.size());
        std::size_t k = 0;
        std::int64_t residualFrames = 0;
        for (const auto& [index, held] : copies) {
            std::set<int> expected, differing;
            for (int block = 0; block < kBlocks; ++block) {
                const std::size_t at = static_cast<std::size_t>(block) * dv::kBlockSize;
                bool everyCopyDamaged = true;
                for (const Frame* copy : held)
                    if (std::memcmp(copy->data() + at, Tape()[index].data() + at, dv::kBlockSize) ==
                        0)
                        everyCopyDamaged = false;
                if (everyCopyDamaged) expected.insert(block);
                if (std::memcmp(merged[k].data() + at, Tape()[index].data() + at, dv::kBlockSize) !=
                    0)
                    differing.insert(block);
            }
            EXPECT_EQ(differing, expected) << "tape frame " << index;
            EXPECT_EQ(ParseRanges(Field(report.frames[k], "residual")), expected)
                << report.frames[k];
            if (!expected.empty()) ++residualFrames;
            ++k;
        }
        EXPECT_EQ(Field(report.summary, "missing_frames"),
                  std::to_string(kTapeFrames - static_cast<int>(copies.size())));
        EXPECT_EQ(Field(report.summary, "damaged_frames"), std::to_string(residualFrames));
    }

    velmora::test::TempDir temp_;
    std::string output_, errors_;
};

TEST_F(MergeTest, TwoCapturesGiveTheBestCopyOfEveryFrameInTapeOrder) {
    ASSERT_EQ(static_cast<int>(Tape().size()), kTapeFrames);
    const fs::path dir = Dir();
    const Capture a = CaptureA(), b = CaptureB();
    WriteRaw(dir / "a.dv", a);
    WriteRaw(dir / "b.dv", b);
    ASSERT_EQ(Run({(dir / "out.avi").string(), (dir / "a.dv").string(), (dir / "b.dv").string()}),
              0)
        << errors_;
    ExpectBestCopy(dir / "out.avi", {&a, &b});
    // Frame 70 is in neither capture: the frame after the gap says so.
    const Report report = ReadReport(dir / "out.avi");
    EXPECT_EQ(Field(report.frames[70], "dropped_before"), "1");  // tape frame 71
    // Frames 5-8 are only in B, whose blocks are all taken from it.
    EXPECT_EQ(Field(report.frames[5], "passes"), "1");
    EXPECT_EQ(Field(report.frames[30], "passes"), "0-1");
    // The output order does not depend on the order of the captures.
    ASSERT_EQ(Run({(dir / "out2.avi").string(), (dir / "b.dv").string(), (dir / "a.dv").string()}),
              0);
    ExpectBestCopy(dir / "out2.avi", {&b, &a});
}

TEST_F(MergeTest, ThreeCapturesSettleCleanBlocksThatDisagreeByMajority) {
    const fs::path dir = Dir();
    const Capture a = CaptureA(), b = CaptureB();
    // C claims every block clean, yet one block of frame 50 came back different.
    Capture c = MakeCapture({0, 1, 2, 3, 70}, [](int n, Frame& f) {
        if (n == 50) f[7 * dv::kBlockSize + 20] ^= 0xFF;
    });
    WriteRaw(dir / "a.dv", a);
    WriteRaw(dir / "b.dv", b);
    WriteRaw(dir / "c.dv", c);
    ASSERT_EQ(Run({(dir / "out.avi").string(), (dir / "c.dv").string(), (dir / "a.dv").string(),
                   (dir / "b.dv").string()}),
              0)
        << errors_;
    const auto merged = ReadFrames(dir / "out.avi");
    ASSERT_EQ(static_cast<int>(merged.size()), kTapeFrames - 1);
    // Every frame but 70 is in some capture cleanly, and the odd block was outvoted.
    for (int n = 0, k = 0; n < kTapeFrames; ++n) {
        if (n == 70) continue;
        EXPECT_TRUE(merged[k++] == Tape()[n]) << "tape frame " << n;
    }
    const Report report = ReadReport(dir / "out.avi");
    EXPECT_EQ(Field(report.frames[50], "disputed_settled"), "1");
    EXPECT_EQ(Field(report.summary, "disputed_settled"), "1");
    EXPECT_EQ(Field(report.summary, "damaged_frames"), "0");
}

TEST_F(MergeTest, CapturesWrittenByFfmpegAndOurOwnAviMergeAlike) {
    const fs::path dir = Dir();
    const Capture a = CaptureA(), b = CaptureB();
    WriteRaw(dir / "a.dv", a);
    WriteRaw(dir / "b.dv", b);
    // A as another program's type-2 AVI (DV video and PCM sound streams), B remuxed by it to
    // raw DV.
    ASSERT_EQ(velmora::test::RunCommand("ffmpeg -nostdin -v error -y -f dv -i " +
                                        (dir / "a.dv").string() + " -c copy " +
                                        (dir / "a2.avi").string()),
              0);
    ASSERT_EQ(velmora::test::RunCommand("ffmpeg -nostdin -v error -y -f dv -i " +
                                        (dir / "b.dv").string() + " -map 0:v -c copy -f rawvideo " +
                                        (dir / "b2.dv").string()),
              0);
    DvPassReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open((dir / "a2.avi").string(), &error)) << error;
    EXPECT_TRUE(reader.IsAvi());
    ASSERT_EQ(
        Run({(dir / "out.avi").string(), (dir / "a2.avi").string(), (dir / "b2.dv").string()}), 0)
        << errors_;
    ExpectBestCopy(dir / "out.avi", {&a, &b});

    // Our own type-1 result as a capture: merged with A again it changes nothing.
    ASSERT_EQ(
        Run({(dir / "again.avi").string(), (dir / "out.avi").string(), (dir / "a.dv").string()}), 0)
        << errors_;
    EXPECT_EQ(ReadFrames(dir / "again.avi"), ReadFrames(dir / "out.avi"));
}

TEST_F(MergeTest, CapturesThatDoNotBelongTogetherAreRefusedAndNothingIsWritten) {
    const fs::path dir = Dir();
    const Capture a = CaptureA();
    WriteRaw(dir / "a.dv", a);
    const std::string out = (dir / "out.avi").string();

    // Another tape: another time code and date throughout.
    Capture other = MakeCapture({}, [](int, Frame& f) {
        vdeck::SetTimecode(f.data(), f.size(), 0x01000000, true);
        vdeck::SetRecordingDate(f.data(), f.size(), 2025, 1, 2, 3, 4, 5);
    });
    WriteRaw(dir / "other.dv", other);
    EXPECT_EQ(Run({out, (dir / "a.dv").string(), (dir / "other.dv").string()}), 1);
    EXPECT_NE(errors_.find("not captures of the same tape"), std::string::npos) << errors_;

    // Another system.
    std::string error;
    ASSERT_TRUE(
        vdeck::MakeSampleTape((dir / "pal.dv").string(), 1, 48000, &error, dv::System::Pal625))
        << error;
    EXPECT_EQ(Run({out, (dir / "a.dv").string(), (dir / "pal.dv").string()}), 1);
    EXPECT_NE(errors_.find("pal.dv"), std::string::npos) << errors_;
    EXPECT_NE(errors_.find("different systems"), std::string::npos) << errors_;

    // A capture that cannot be read, and one that is not DV, are named.
    EXPECT_EQ(Run({out, (dir / "a.dv").string(), (dir / "gone.dv").string()}), 1);
    EXPECT_NE(errors_.find("gone.dv"), std::string::npos) << errors_;
    const std::string notAvi("RIFF\x10\0\0\0AVI LIST nothing here", 28);
    std::ofstream(dir / "text.avi", std::ios::binary) << notAvi;
    EXPECT_EQ(Run({out, (dir / "text.avi").string(), (dir / "a.dv").string()}), 1);
    EXPECT_NE(errors_.find("text.avi"), std::string::npos) << errors_;

    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".dvlog.jsonl"));
    EXPECT_FALSE(fs::exists(out + ".part"));

    // Usage: fewer than two captures, or the result over a capture.
    EXPECT_EQ(Run({out, (dir / "a.dv").string()}), 2);
    EXPECT_EQ(Run({(dir / "a.dv").string(), (dir / "a.dv").string(), (dir / "b.dv").string()}), 2);
}

}  // namespace
