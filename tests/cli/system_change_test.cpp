// Going over to the other DV system in the middle of a capture: how many frames of the new
// system passed unseen while the graph was built again, and the splitter that records on into
// a new file with every frame lost at the change counted.

#include <gtest/gtest.h>

#include <fstream>

#include "cli/recording_splitter.h"
#include "cli/system_change.h"
#include "platform/com/com.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "vdeck/tape_maker.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace dv = platform::dv;
namespace fs = std::filesystem;
using capture::FramesPassedUnseen;
using capture::SystemChange;

dv::FrameAnalysis PalFrameAt(std::int64_t timecode) {
    dv::FrameAnalysis frame;
    frame.isDv = true;
    frame.system = dv::System::Pal625;
    frame.timecode.valid = true;
    frame.timecode.count = timecode;
    return frame;
}

TEST(FramesPassedUnseen, CountedByTheTimeCodeElseEstimatedFromTheTime) {
    const auto stopped = Clock::now();
    // The first frame dropped at 100, five dropped: 105 to 107 went by unseen.
    const SystemChange change{PalFrameAt(100), 5, stopped};
    EXPECT_EQ(FramesPassedUnseen(change, PalFrameAt(108), stopped + 200ms), 3);
    EXPECT_EQ(FramesPassedUnseen(change, PalFrameAt(105), stopped + 200ms), 0);

    // Where the time code does not run on (a new recording began, or more frames than could
    // have passed), the time tells: two seconds at 25 frames a second.
    EXPECT_EQ(FramesPassedUnseen(change, PalFrameAt(3), stopped + 2s), 50);
    EXPECT_EQ(FramesPassedUnseen(change, PalFrameAt(103), stopped + 2s), 50);
    EXPECT_EQ(FramesPassedUnseen(change, PalFrameAt(100 + 25 * 3600), stopped + 2s), 50);
    dv::FrameAnalysis noTimecode = PalFrameAt(108);
    noTimecode.timecode.valid = false;
    EXPECT_EQ(FramesPassedUnseen(change, noTimecode, stopped + 2s), 50);
    // The old device kept no frame, or one of another system.
    EXPECT_EQ(FramesPassedUnseen({dv::FrameAnalysis{}, 5, stopped}, PalFrameAt(108), stopped + 1s),
              25);
    dv::FrameAnalysis ntsc = PalFrameAt(100);
    ntsc.system = dv::System::Ntsc525;
    EXPECT_EQ(FramesPassedUnseen({ntsc, 5, stopped}, PalFrameAt(108), stopped + 1s), 25);
}

// A graph built again that meets another change before any frame came: the stretch still
// runs from the first frame dropped, and what the later devices accounted for comes off it.
TEST(FramesPassedUnseen, ChangesMetBeforeAnyFrameAddUp) {
    const auto stopped = Clock::now();
    SystemChange pending{PalFrameAt(100), 5, stopped};
    capture::AddChange(&pending, {PalFrameAt(110), 4, stopped + 1s});
    EXPECT_EQ(FramesPassedUnseen(pending, PalFrameAt(112), stopped + 2s), 3);
    dv::FrameAnalysis noTimecode = PalFrameAt(112);
    noTimecode.timecode.valid = false;
    EXPECT_EQ(FramesPassedUnseen(pending, noTimecode, stopped + 2s), 50 - 4);
    // An earlier device that kept no frame leaves nothing to count from.
    SystemChange empty{dv::FrameAnalysis{}, 0, stopped};
    capture::AddChange(&empty, {PalFrameAt(110), 4, stopped + 1s});
    EXPECT_EQ(FramesPassedUnseen(empty, PalFrameAt(116), stopped + 2s), 2);
}

class SplitterAcrossSystems : public ::testing::Test {
  protected:
    void SetUp() override {
        ntsc_ = Frames("ntsc.dv", dv::System::Ntsc525, 120000);
        pal_ = Frames("pal.dv", dv::System::Pal625, 144000);
    }
    std::vector<std::vector<std::uint8_t>> Frames(const char* name, dv::System system,
                                                  std::size_t size) {
        const fs::path path = dir_.Path() / name;
        std::string error;
        EXPECT_TRUE(vdeck::MakeTape(path.string(), {{.seconds = 1, .timecode = 100}}, 48000, &error,
                                    system))
            << error;
        const auto bytes = velmora::test::ReadFileBytes(path);
        std::vector<std::vector<std::uint8_t>> frames;
        for (std::size_t at = 0; at + size <= bytes.size(); at += size)
            frames.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                                bytes.begin() + std::ptrdiff_t(at + size));
        return frames;
    }
    // Hands the frames to the splitter as the mux does: each one as it arrives, and each one
    // written once the splitter has seen the frames held back after it, the rest at the end.
    static void Record(capture::RecordingSplitter& splitter,
                       const std::vector<std::vector<std::uint8_t>>& frames, std::size_t from) {
        std::size_t held = 0;
        auto write = [&] {
            VelmoraNextFile next{};
            ASSERT_EQ(splitter.NextFrame(&next), S_OK);
            CoTaskMemFree(next.path);
            --held;
        };
        for (std::size_t n = from; n < frames.size(); ++n) {
            splitter.FrameArrived(frames[n].data(), LONG(frames[n].size()));
            if (++held > std::size_t(capture::RecordingSplitter::kLookahead)) write();
        }
        while (held > 0) write();
        splitter.Finish();
    }
    // A splitter naming cap-NNNN.avi, counting the losses of the old device.
    capture::RecordingSplitter OnOldDevice() {
        return capture::RecordingSplitter(
            capture::SplitRules{},
            capture::FileNamer((dir_.Path() / "cap").string(), capture::Container::Avi,
                               capture::Naming::Counter),
            "deck", [this] { return oldDevice_; });
    }
    velmora::test::TempDir dir_;
    std::vector<std::vector<std::uint8_t>> ntsc_, pal_;
    dv::FrameLoss oldDevice_, newDevice_;
};

TEST_F(SplitterAcrossSystems, TheNewSystemBeginsAFileAndEveryFrameLostAtTheChangeIsCounted) {
    capture::RecordingSplitter splitter = OnOldDevice();
    Record(splitter, ntsc_, 0);
    // The old device dropped the first four PAL frames whole and lost the fifth on the link:
    // five frames of the stream from the first PAL one on.
    oldDevice_.incomplete = 4;
    oldDevice_.bus = 1;
    const SystemChange change{dv::AnalyseFrame(pal_[0].data(), pal_[0].size()), 5, Clock::now()};
    splitter.ContinueAfterSystemChange([this] { return newDevice_; }, change);
    EXPECT_EQ(splitter.Figures().dropped, 5);
    // The new graph receives from the seventh PAL frame on: the sixth went by unseen.
    Record(splitter, pal_, 6);

    const auto files = splitter.Files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].frames, std::int64_t(ntsc_.size()));
    EXPECT_EQ(files[1].frames, std::int64_t(pal_.size() - 6));
    EXPECT_EQ(files[1].reason, "format");
    EXPECT_EQ(files[1].path, (dir_.Path() / "cap-0002.avi").string());
    const auto figures = splitter.Figures();
    EXPECT_EQ(figures.frames, std::int64_t(ntsc_.size() + pal_.size() - 6));
    EXPECT_EQ(figures.dropped, 6);
    // The second file's report tells the loss at its first frame, and why.
    std::ifstream report(files[1].path + ".dvlog.jsonl");
    std::string header, first;
    std::getline(report, header);
    std::getline(report, first);
    EXPECT_NE(first.find("\"dropped_before\":6,\"dropped_why\":{\"bus\":2,\"overrun\":0,"
                         "\"incomplete\":4}"),
              std::string::npos)
        << first;
}

TEST_F(SplitterAcrossSystems, FramesDroppedAtAChangeAreCountedWhenNoFrameFollows) {
    capture::RecordingSplitter splitter = OnOldDevice();
    Record(splitter, ntsc_, 0);
    oldDevice_.incomplete = 9;  // the tape ended while the graph was built again
    splitter.ContinueAfterSystemChange([this] { return newDevice_; },
                                       {dv::FrameAnalysis{}, 9, Clock::now()});
    Record(splitter, pal_, pal_.size());
    EXPECT_EQ(splitter.Files().size(), 1u);
    EXPECT_EQ(splitter.Figures().dropped, 9);
    EXPECT_EQ(splitter.Figures().frames, std::int64_t(ntsc_.size()));
}

}  // namespace
