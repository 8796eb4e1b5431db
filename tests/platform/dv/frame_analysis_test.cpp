// The per-frame analysis against frames of the virtual deck's sample tapes, with packs and
// blocks patched the way a damaged tape or another camcorder has them.

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/dv/frame_analysis.h"
#include "tests/support/temp_registry.h"
#include "vdeck/deck.h"
#include "vdeck/tape_faults.h"
#include "vdeck/tape_maker.h"

namespace {

namespace dv = platform::dv;
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> MakeFrames(dv::System system, int sampleRate) {
    velmora::test::TempDir dir;
    const auto path = dir.Path() / "tape.dv";
    std::string error;
    EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), 1, sampleRate, &error, system)) << error;
    std::ifstream in(path, std::ios::binary);
    const std::size_t size = system == dv::System::Pal625 ? dv::kFrameSize625 : dv::kFrameSize525;
    std::vector<Bytes> frames;
    Bytes frame(size);
    while (in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(size)))
        frames.push_back(frame);
    return frames;
}

const std::vector<Bytes>& Ntsc() {
    static const auto frames = MakeFrames(dv::System::Ntsc525, 48000);
    return frames;
}

const std::vector<Bytes>& Pal() {
    static const auto frames = MakeFrames(dv::System::Pal625, 32000);
    return frames;
}

dv::FrameAnalysis Analyse(const Bytes& frame) {
    return dv::AnalyseFrame(frame.data(), frame.size());
}

TEST(FrameAnalysis, ReadsEverythingTheSampleTapesCarry) {
    ASSERT_EQ(Ntsc().size(), 30u);
    for (std::int64_t n : {0, 1, 17, 29}) {
        const auto a = Analyse(Ntsc()[n]);
        ASSERT_TRUE(a.isDv);
        EXPECT_EQ(a.system, dv::System::Ntsc525);
        ASSERT_TRUE(a.timecode.valid);
        EXPECT_TRUE(a.timecode.dropFrame);
        EXPECT_EQ(a.timecode.count, n);
        EXPECT_EQ(a.timecode.frames, n % 30);
        ASSERT_TRUE(a.recorded);
        EXPECT_EQ(dv::FormatRecorded(*a.recorded), "2026-12-08T12:00:00");
        EXPECT_EQ(a.aspect, dv::Aspect::Ratio4x3);
        EXPECT_TRUE(a.audio.present);
        EXPECT_EQ(a.audio.sampleRate, 48000);
        EXPECT_EQ(a.audio.bits, 16);
        EXPECT_EQ(a.audio.channels, 2);
        EXPECT_TRUE(a.audio.locked);
        EXPECT_EQ(a.audio.samples, n % 5 == 0 ? 1600 : 1602);
        EXPECT_FALSE(a.recordingStart);
        EXPECT_FALSE(a.blank);
        EXPECT_EQ(a.videoErrorBlocks, 0);
        EXPECT_EQ(a.videoBlocksBySta[0], 1350);
        EXPECT_EQ(a.audioErrorBlocks, 0);
    }
    // 625 lines, 25 frames a second, 12-bit sound whose second pair is unused: the silent
    // second half is not damage.
    ASSERT_EQ(Pal().size(), 25u);
    const auto a = Analyse(Pal()[24]);
    ASSERT_TRUE(a.isDv);
    EXPECT_EQ(a.system, dv::System::Pal625);
    EXPECT_FALSE(a.timecode.dropFrame);
    EXPECT_EQ(dv::FormatTimecode(a.timecode), "00:00:00:24");
    EXPECT_EQ(a.timecode.count, 24);
    EXPECT_EQ(a.audio.sampleRate, 32000);
    EXPECT_EQ(a.audio.bits, 12);
    EXPECT_EQ(a.audio.channels, 2);
    EXPECT_EQ(a.audio.samples, 1280);
    EXPECT_EQ(a.videoBlocksBySta[0], 1620);
    EXPECT_EQ(a.audioErrorBlocks, 0);
}

TEST(FrameAnalysis, TimecodeIsWhatMostCopiesSay) {
    Bytes frame = Ntsc()[5];
    // Damage a few copies into another valid time code: the frame still reads its own.
    int changed = 0;
    for (int s = 0; s < 3; ++s) {
        std::uint8_t* pack = frame.data() + s * dv::kSequenceSize + dv::kBlockSize + 6;
        ASSERT_EQ(pack[0], 0x13);
        pack[3] = 0x45;  // minute 45
        ++changed;
    }
    EXPECT_EQ(Analyse(frame).timecode.count, 5);
    // Every copy rewritten: the new value wins, with its drop-frame counting.
    ASSERT_TRUE(vdeck::SetTimecode(frame.data(), frame.size(), 0x00010002, true));
    const auto a = Analyse(frame);
    EXPECT_EQ(dv::FormatTimecode(a.timecode), "00:01:00;02");
    EXPECT_EQ(a.timecode.count, 1800);  // 00:01:00;02 follows 00:00:59;29
    // Copies that are not valid BCD are not counted; none left means no time code.
    ASSERT_TRUE(vdeck::SetTimecode(frame.data(), frame.size(), 0x3F3F3F3F, false));
    EXPECT_FALSE(Analyse(frame).timecode.valid);
}

TEST(FrameAnalysis, RecordingYearsFollowTheTwoDigitRuleAndMissingDatesAreNull) {
    Bytes frame = Ntsc()[3];
    struct Case {
        int year;
        const char* text;
    };
    for (const Case& c : {Case{1999, "1999-07-31T23:59:58"}, Case{2025, "2025-07-31T23:59:58"},
                          Case{1970, "1970-07-31T23:59:58"}, Case{2069, "2069-07-31T23:59:58"}}) {
        ASSERT_TRUE(vdeck::SetRecordingDate(frame.data(), frame.size(), c.year, 7, 31, 23, 59, 58));
        const auto a = Analyse(frame);
        ASSERT_TRUE(a.recorded);
        EXPECT_EQ(dv::FormatRecorded(*a.recorded), c.text);
    }
    // A month of 13 is no date; no date packs at all is no date either, never 1970.
    ASSERT_TRUE(vdeck::SetRecordingDate(frame.data(), frame.size(), 2025, 13, 1, 0, 0, 0));
    EXPECT_FALSE(Analyse(frame).recorded);
    ASSERT_TRUE(vdeck::BlankFrame(frame.data(), frame.size()));
    const auto blank = Analyse(frame);
    EXPECT_FALSE(blank.recorded);
    EXPECT_FALSE(blank.timecode.valid);
    EXPECT_FALSE(blank.audio.present);
    EXPECT_TRUE(blank.blank);
    EXPECT_EQ(blank.audioErrorBlocks, 0);
}

TEST(FrameAnalysis, CountsVideoErrorsByStatusAndSequenceParity) {
    Bytes frame = Ntsc()[2];
    ASSERT_TRUE(vdeck::SetVideoStatus(frame.data(), frame.size(), 0xF, 7, vdeck::Sequences::Odd));
    ASSERT_TRUE(vdeck::SetVideoStatus(frame.data(), frame.size(), 0x2, 4, vdeck::Sequences::Even));
    auto a = Analyse(frame);
    EXPECT_EQ(a.videoErrorBlocks, 11);
    EXPECT_EQ(a.videoErrorsOdd, 7);
    EXPECT_EQ(a.videoErrorsEven, 4);
    EXPECT_EQ(a.videoBlocksBySta[0xF], 7);
    EXPECT_EQ(a.videoBlocksBySta[0x2], 4);
    EXPECT_EQ(a.videoBlocksBySta[0], 1350 - 11);
    EXPECT_EQ(a.VideoBlocksOfKind(dv::StaKind::ErrorNotConcealed), 7);
    EXPECT_EQ(a.VideoBlocksOfKind(dv::StaKind::ConcealedPrevious), 4);
    // Spread over all sequences, and a block whose id is no video block's counts as an error.
    frame = Ntsc()[2];
    ASSERT_TRUE(vdeck::SetVideoStatus(frame.data(), frame.size(), 0x7, 20));
    frame[dv::kSequenceSize * 3 + 50 * dv::kBlockSize] = 0x00;
    a = Analyse(frame);
    EXPECT_EQ(a.videoErrorBlocks, 21);
    EXPECT_EQ(a.videoErrorsEven, 10);
    EXPECT_EQ(a.videoErrorsOdd, 11);
    EXPECT_EQ(a.videoBlocksBySta[0x7], 20);
    // The kinds of every value.
    EXPECT_EQ(dv::StaKindOf(0xA), dv::StaKind::ConcealedPrevious);
    EXPECT_EQ(dv::StaKindOf(0xC), dv::StaKind::ConcealedNext);
    EXPECT_EQ(dv::StaKindOf(0x6), dv::StaKind::ConcealedOther);
    EXPECT_EQ(dv::StaKindOf(0x1), dv::StaKind::Reserved);
}

TEST(FrameAnalysis, CountsAudioBlocksTheDeckCouldNotRead) {
    for (const auto* frames : {&Ntsc(), &Pal()}) {
        Bytes frame = (*frames)[4];
        ASSERT_TRUE(vdeck::MarkAudioErrors(frame.data(), frame.size(), 13));
        EXPECT_EQ(Analyse(frame).audioErrorBlocks, 13);
        EXPECT_EQ(Analyse(frame).videoErrorBlocks, 0);
    }
}

TEST(FrameAnalysis, ReadsStartFlagAspectAndAudioModeChanges) {
    Bytes frame = Ntsc()[0];
    ASSERT_TRUE(vdeck::SetRecordingStart(frame.data(), frame.size(), true));
    EXPECT_TRUE(Analyse(frame).recordingStart);
    // One control pack flagged among many is a damaged copy, not a start.
    Bytes one = Ntsc()[0];
    for (int b = 0; b < 9; ++b) {
        std::uint8_t* pack = one.data() + dv::AudioBlockOffset(0, b) + 3;
        if (pack[0] == dv::kPackAauxControl) pack[2] &= 0x7F;
    }
    EXPECT_FALSE(Analyse(one).recordingStart);

    // 16:9 in the VAUX source control pack.
    bool patched = false;
    for (int b = 0; b < 3; ++b)
        for (int p = 0; p < 15; ++p) {
            std::uint8_t* pack = frame.data() + dv::VauxBlockOffset(0, b) + 3 + p * 5;
            if (pack[0] == dv::kPackVauxControl) {
                pack[2] = static_cast<std::uint8_t>((pack[2] & 0xF8) | 0x02);
                patched = true;
            }
        }
    ASSERT_TRUE(patched);
    EXPECT_EQ(Analyse(frame).aspect, dv::Aspect::Ratio16x9);

    ASSERT_TRUE(vdeck::ChangeAudioMode(frame.data(), frame.size(), 32000, 0));
    auto a = Analyse(frame);
    EXPECT_EQ(a.audio.sampleRate, 32000);
    EXPECT_EQ(a.audio.bits, 12);
    EXPECT_EQ(a.audioErrorBlocks, 0);
    ASSERT_TRUE(vdeck::ChangeAudioMode(frame.data(), frame.size(), 44100, 0));
    EXPECT_EQ(Analyse(frame).audio.sampleRate, 44100);
}

TEST(FrameAnalysis, AnythingButAWholeFrameIsNotDvAndNothingCrashes) {
    const Bytes& good = Ntsc()[0];
    for (std::size_t size : {std::size_t(0), std::size_t(80), std::size_t(119999),
                             std::size_t(120001), std::size_t(144000)}) {
        Bytes bytes(good.begin(), good.begin() + std::min(size, good.size()));
        bytes.resize(size);
        EXPECT_FALSE(dv::AnalyseFrame(bytes.data(), bytes.size()).isDv) << size;
    }
    EXPECT_FALSE(dv::AnalyseFrame(nullptr, 120000).isDv);
    // Random bytes behind a valid header: analysed without reading past the end.
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        Bytes bytes(round % 2 ? dv::kFrameSize625 : dv::kFrameSize525);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        bytes[0] = 0x1F;
        bytes[3] = round % 2 ? 0xBF : 0x3F;
        const auto a = dv::AnalyseFrame(bytes.data(), bytes.size());
        EXPECT_TRUE(a.isDv);
        EXPECT_LE(a.videoErrorBlocks, round % 2 ? 1620 : 1350);
    }
}

}  // namespace
