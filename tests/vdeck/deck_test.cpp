#include "vdeck/deck.h"
#include "vdeck/tape_maker.h"

#include <gtest/gtest.h>

#include "platform/dv1394/dv_unit.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"

namespace {

using namespace platform::dv1394;
using Bytes = std::vector<std::uint8_t>;

class DeckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tapePath_ = dir_.Path() / "tape.dv";
        ASSERT_TRUE(velmora::test::MakeDvTape(tapePath_, 40));
        std::string error;
        auto tape = vdeck::Tape::Open(tapePath_.string(), &error);
        ASSERT_TRUE(tape) << error;
        deck_ = std::make_unique<vdeck::Deck>(std::move(tape), "Test deck");
        tapeBytes_ = velmora::test::ReadFileBytes(tapePath_);
    }
    Bytes TapeFrame(std::int64_t index) {
        return Bytes(tapeBytes_.begin() + index * 120000,
                     tapeBytes_.begin() + (index + 1) * 120000);
    }
    std::uint8_t Control(std::uint8_t opcode, std::uint8_t operand) {
        auto answers = deck_->HandleAvc({kAvcControl, kSubunitTape, opcode, operand});
        return answers.empty() ? 0 : answers.back()[0];
    }
    std::uint8_t Inquire(std::uint8_t opcode, std::uint8_t operand) {
        return deck_->HandleAvc({kAvcSpecificInquiry, kSubunitTape, opcode, operand})[0][0];
    }
    Bytes Status(Bytes command) { return deck_->HandleAvc(command).at(0); }
    std::pair<std::uint8_t, std::uint8_t> TransportState() {
        Bytes r =
            Status({kAvcStatus, kSubunitTape, kOpTransportState, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF});
        return {r[2], r[3]};
    }

    velmora::test::TempDir dir_;
    std::filesystem::path tapePath_;
    Bytes tapeBytes_;
    std::unique_ptr<vdeck::Deck> deck_;
};

TEST_F(DeckTest, PlayDeliversTheTapeInOrderAndStopsAtItsEnd) {
    EXPECT_FALSE(deck_->Tick());  // stopped: no picture
    ASSERT_EQ(Control(kOpPlay, 0x75), kAvcAccepted);
    EXPECT_EQ(TransportState(), std::make_pair(kOpPlay, std::uint8_t{0x75}));
    for (int i = 0; i < 40; ++i) {
        auto frame = deck_->Tick();
        ASSERT_TRUE(frame) << i;
        ASSERT_EQ(*frame, TapeFrame(i)) << i;
    }
    EXPECT_FALSE(deck_->Tick());  // ran off the end: stopped there
    EXPECT_EQ(TransportState(), std::make_pair(kOpWind, std::uint8_t{0x60}));
    EXPECT_EQ(deck_->Position(), 39);
}

TEST_F(DeckTest, PauseHoldsAStillAndStepsMoveOneFrame) {
    Control(kOpPlay, 0x75);
    for (int i = 0; i < 6; ++i) deck_->Tick();  // frames 0 to 5
    ASSERT_EQ(Control(kOpPlay, 0x7D), kAvcAccepted);
    EXPECT_EQ(*deck_->Tick(), TapeFrame(5));
    EXPECT_EQ(*deck_->Tick(), TapeFrame(5));
    Control(kOpPlay, 0x30);
    EXPECT_EQ(*deck_->Tick(), TapeFrame(6));
    EXPECT_EQ(TransportState(), std::make_pair(kOpPlay, std::uint8_t{0x7D}));
    Control(kOpPlay, 0x40);
    Control(kOpPlay, 0x40);
    EXPECT_EQ(*deck_->Tick(), TapeFrame(4));
    // Play again from the still: the still's frame first, then on.
    Control(kOpPlay, 0x75);
    EXPECT_EQ(*deck_->Tick(), TapeFrame(4));
    EXPECT_EQ(*deck_->Tick(), TapeFrame(5));
}

TEST_F(DeckTest, WindingHasNoPictureAndCueHasOne) {
    Control(kOpWind, 0x75);
    EXPECT_FALSE(deck_->Tick());
    EXPECT_EQ(deck_->Position(), 30);
    Control(kOpWind, 0x65);
    EXPECT_FALSE(deck_->Tick());
    EXPECT_EQ(deck_->Position(), 0);
    EXPECT_EQ(TransportState(), std::make_pair(kOpWind, std::uint8_t{0x60}));  // hit the start
    Control(kOpPlay, 0x3F);  // cue: fastest forward with picture
    EXPECT_EQ(*deck_->Tick(), TapeFrame(10));
    Control(kOpPlay, 0x4F);  // review
    EXPECT_EQ(*deck_->Tick(), TapeFrame(0));
}

TEST_F(DeckTest, RecordingWritesIncomingFramesAtThePositionAndExtendsTheTape) {
    for (int i = 0; i < 38; ++i) deck_->HandleAvc({kAvcControl, kSubunitTape, kOpPlay, 0x30});
    ASSERT_EQ(deck_->Position(), 38);
    // Frames with the tape's header block, each with its own picture bytes after it.
    auto frameFilledWith = [&](std::uint8_t fill) {
        Bytes frame = TapeFrame(0);
        std::fill(frame.begin() + 80, frame.end(), fill);
        return frame;
    };
    Bytes a = frameFilledWith(0xA5), b = frameFilledWith(0x5A), c = frameFilledWith(0x3C);
    // Frames of the right size whose first block is no header, or names the other system.
    Bytes headless(120000, 0xA5), palHeader = TapeFrame(0);
    palHeader[3] |= 0x80;
    deck_->ReceiveInput(a.data(), a.size());  // not recording yet: ignored
    ASSERT_EQ(Control(kOpRecord, 0x75), kAvcAccepted);
    deck_->ReceiveInput(a.data(), a.size());
    deck_->ReceiveInput(headless.data(), headless.size());
    deck_->ReceiveInput(palHeader.data(), palHeader.size());
    deck_->ReceiveInput(b.data(), b.size());
    deck_->ReceiveInput(c.data(), c.size());
    deck_->ReceiveInput(headless.data(), headless.size());  // at the end: not appended either
    Control(kOpRecord, 0x7D);
    deck_->ReceiveInput(a.data(), a.size());  // record pause: ignored
    EXPECT_EQ(deck_->FrameCount(), 41);
    Bytes written = velmora::test::ReadFileBytes(tapePath_);
    ASSERT_EQ(written.size(), 41u * 120000);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), written.begin() + 38 * 120000));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), written.begin() + 39 * 120000));
    EXPECT_TRUE(std::equal(c.begin(), c.end(), written.begin() + 40 * 120000));
    EXPECT_TRUE(std::equal(written.begin(), written.begin() + 38 * 120000, tapeBytes_.begin()));
    // The tape still opens as whole frames after the session.
    deck_.reset();
    std::string error;
    auto reopened = vdeck::Tape::Open(tapePath_.string(), &error);
    ASSERT_TRUE(reopened) << error;
    EXPECT_EQ(reopened->FrameCount(), 41);
}

TEST_F(DeckTest, AnswersUnitSubunitMediumAndTimecodeQueries) {
    Bytes unit = Status({kAvcStatus, kSubunitUnit, kOpUnitInfo, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(unit[0], kAvcImplemented);
    EXPECT_EQ(unit[4] >> 3, 4);
    Bytes subunit =
        Status({kAvcStatus, kSubunitUnit, kOpSubunitInfo, 0x07, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(subunit[4], 0x20);
    Bytes medium = Status({kAvcStatus, kSubunitTape, kOpMediumInfo, 0x7F, 0x7F});
    EXPECT_EQ(medium[3], 0x32);

    for (int i = 0; i < 31; ++i) deck_->HandleAvc({kAvcControl, kSubunitTape, kOpPlay, 0x30});
    Bytes timecode = Status({kAvcStatus, kSubunitTape, kOpTimeCode, 0x71, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(timecode.size(), 8u);
    EXPECT_EQ(timecode[0], kAvcImplemented);
    // The time code as the tape holds it: the digits, with flag bits above them.
    EXPECT_EQ(timecode[4] & 0x3F, 0x01);  // frames
    EXPECT_EQ(timecode[5] & 0x7F, 0x01);  // seconds
    EXPECT_EQ(timecode[6] & 0x7F, 0x00);
    EXPECT_EQ(timecode[7] & 0x3F, 0x00);
}

TEST_F(DeckTest, InquiriesTellWhatIsImplemented) {
    for (auto [op, operand] : {std::pair{kOpPlay, 0x75},
                               {kOpWind, 0x60},
                               {kOpPlay, 0x7D},
                               {kOpPlay, 0x65},
                               {kOpPlay, 0x3F},
                               {kOpRecord, 0x75}})
        EXPECT_EQ(Inquire(op, static_cast<std::uint8_t>(operand)), kAvcImplemented);
    EXPECT_EQ(Inquire(kOpPlay, 0x99), kAvcNotImplemented);
    EXPECT_EQ(Inquire(0xC5, 0x00), kAvcNotImplemented);
    EXPECT_EQ(Control(0xC5, 0x00), kAvcNotImplemented);
    EXPECT_EQ(deck_->HandleAvc({kAvcControl})[0][0], kAvcNotImplemented);  // too short
}

TEST_F(DeckTest, FaultsChangeTheAnswers) {
    vdeck::Faults faults;
    faults.noCassette = true;
    deck_->SetFaults(faults);
    EXPECT_EQ(Control(kOpPlay, 0x75), kAvcRejected);
    EXPECT_EQ(Status({kAvcStatus, kSubunitTape, kOpMediumInfo, 0x7F, 0x7F})[3], 0x60);
    Bytes timecode = Status({kAvcStatus, kSubunitTape, kOpTimeCode, 0x71, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(timecode[4] & timecode[5] & timecode[6] & timecode[7], 0xFF);

    faults = {};
    faults.rejectAll = true;
    deck_->SetFaults(faults);
    EXPECT_EQ(Inquire(kOpPlay, 0x75), kAvcRejected);
    faults = {};
    faults.silent = true;
    deck_->SetFaults(faults);
    EXPECT_TRUE(deck_->HandleAvc({kAvcControl, kSubunitTape, kOpPlay, 0x75}).empty());
    faults = {};
    faults.interim = true;
    deck_->SetFaults(faults);
    auto answers = deck_->HandleAvc({kAvcControl, kSubunitTape, kOpPlay, 0x75});
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0][0], kAvcInterim);
    EXPECT_EQ(answers[1][0], kAvcAccepted);
}

TEST(DropFrameTimecode, SkipsTwoFrameNumbersAtMinutesButNotAtTens) {
    EXPECT_EQ(vdeck::DropFrameTimecode(0), 0x00000000u);
    EXPECT_EQ(vdeck::DropFrameTimecode(1799), 0x00005929u);
    EXPECT_EQ(vdeck::DropFrameTimecode(1800), 0x00010002u);
    EXPECT_EQ(vdeck::DropFrameTimecode(17982), 0x00100000u);
    EXPECT_EQ(vdeck::DropFrameTimecode(107892), 0x01000000u);
}

}  // namespace

namespace {

TEST(SampleTape, CarriesPictureToneAndSubcodeTimecodeThatOthersRead) {
    velmora::test::TempDir dir;
    auto path = dir.Path() / "sample.dv";
    std::string error;
    ASSERT_TRUE(vdeck::MakeSampleTape(path.string(), 2, 32000, &error)) << error;
    EXPECT_EQ(std::filesystem::file_size(path), 60u * 120000);
    auto probe = velmora::test::RunCommandOutput(
        "ffprobe -v error -show_entries stream=codec_name,sample_rate:format_tags=timecode "
        "-of compact '" +
        path.string() + "'");
    EXPECT_NE(probe.find("codec_name=dvvideo"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=32000"), std::string::npos) << probe;
    EXPECT_NE(probe.find("timecode=00:00:00;00"), std::string::npos) << probe;

    // The deck reads the time code of the frame under the heads from its subcode.
    auto deck = std::make_unique<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), "d");
    for (int i = 0; i < 45; ++i) deck->HandleAvc({kAvcControl, kSubunitTape, kOpPlay, 0x30});
    EXPECT_EQ(deck->Timecode(), 0x00000115u);
}

}  // namespace
