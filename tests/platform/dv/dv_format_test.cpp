// DV frame knowledge checked against ffmpeg: audio read out of ffmpeg-made frames, audio we
// write read back by ffmpeg, the DVINFO built from a frame's packs.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/dv/audio.h"
#include "platform/dv/dvinfo.h"
#include "tests/platform/dv/dv_media.h"

namespace {

using namespace velmora::test::dv;
namespace dv = platform::dv;

class DvFormat : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        ASSERT_TRUE(MakeNtscDv(*dir / "tone.dv", 12));
        frames = new std::vector<Bytes>(SplitFrames(ReadFile(*dir / "tone.dv")));
        ASSERT_EQ(frames->size(), 12u);
    }
    static void TearDownTestSuite() {
        delete frames;
        delete dir;
    }
    static std::vector<std::int16_t> OurAudio(const std::vector<Bytes>& from,
                                              std::vector<int>* counts = nullptr) {
        std::vector<std::int16_t> all;
        for (const Bytes& frame : from) {
            std::vector<std::int16_t> pcm(2 * 1944);
            const std::size_t pairs =
                dv::ExtractAudio(frame.data(), frame.size(), pcm.data(), 1944, nullptr);
            if (counts) counts->push_back(static_cast<int>(pairs));
            all.insert(all.end(), pcm.begin(), pcm.begin() + 2 * pairs);
        }
        return all;
    }
    // ffmpeg's frames with our audio written into them, saved and read back by ffmpeg.
    static std::vector<std::int16_t> WriteAndReadBack(const dv::AudioWriteFormat& format,
                                                      const std::vector<std::int16_t>& pcm,
                                                      std::vector<Bytes>* written) {
        Bytes file;
        std::size_t used = 0;
        for (std::size_t i = 0; i < frames->size(); ++i) {
            Bytes frame = (*frames)[i];
            const int count = dv::LockedSamplesInFrame(dv::System::Ntsc525, format.sampleRate,
                                                       static_cast<std::int64_t>(i));
            EXPECT_TRUE(dv::WriteAudio(frame.data(), frame.size(), format, pcm.data() + 2 * used,
                                       count, count));
            used += count;
            file.insert(file.end(), frame.begin(), frame.end());
            written->push_back(frame);
        }
        const auto path = *dir / ("ours-" + std::to_string(format.sampleRate) + ".dv");
        EXPECT_TRUE(WriteFile(path, file));
        EXPECT_EQ(FfprobeSampleRate(path), format.sampleRate);
        return FfmpegAudio(path);
    }

    static TempDir* dir;
    static std::vector<Bytes>* frames;
};

TempDir* DvFormat::dir = nullptr;
std::vector<Bytes>* DvFormat::frames = nullptr;

TEST_F(DvFormat, AudioOfFfmpegFramesMatchesFfmpegSampleForSample) {
    std::vector<int> counts;
    const auto ours = OurAudio(*frames, &counts);
    const auto reference = FfmpegAudio(*dir / "tone.dv");
    ASSERT_EQ(ours.size(), reference.size());
    EXPECT_TRUE(ours == reference);
    // Left and right are different tones: a swap or a mixed-up shuffle would show.
    EXPECT_NE(ours[2 * 10], ours[2 * 10 + 1]);
    const std::vector<int> pattern = {1600, 1602, 1602, 1602, 1602};
    for (std::size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], pattern[i % 5]) << i;
    auto format = dv::ReadAudioFormat((*frames)[0].data(), (*frames)[0].size());
    ASSERT_TRUE(format);
    EXPECT_EQ(format->sampleRate, 48000);
    EXPECT_EQ(format->quantization, dv::Quantization::Linear16);
}

TEST_F(DvFormat, DvInfoCarriesBothHalvesAudioPacksAndVideoPacks) {
    const Bytes& frame = (*frames)[1];
    DVINFO info{};
    ASSERT_TRUE(dv::BuildDvInfo(frame.data(), frame.size(), &info));
    EXPECT_EQ(info.dwDVAAuxSrc & 0x3F, 22u);         // AF_SIZE: 1602 - 1580
    EXPECT_EQ((info.dwDVAAuxSrc >> 27) & 0x07, 0u);  // 48 kHz
    EXPECT_EQ((info.dwDVAAuxSrc1 >> 8) & 0x0F, 1u);  // second half: right channel
    EXPECT_NE(info.dwDVAAuxCtl, 0xFFFFFFFFu);
    EXPECT_NE(info.dwDVVAuxSrc, 0xFFFFFFFFu);
    EXPECT_NE(info.dwDVVAuxCtl, 0xFFFFFFFFu);
    // The source pack sits at byte 4323 of an NTSC frame (audio block 3 of sequence 0).
    EXPECT_EQ(frame[4323], 0x50);
    EXPECT_EQ(info.dwDVAAuxSrc & 0xFF, frame[4324]);

    DVINFO untouched{};
    untouched.dwDVReserved[0] = 7;
    EXPECT_FALSE(dv::BuildDvInfo(frame.data(), frame.size() - 1, &untouched));
    EXPECT_FALSE(dv::BuildDvInfo(frame.data(), 0, &untouched));
    EXPECT_FALSE(dv::BuildDvInfo(nullptr, 120000, &untouched));
    Bytes notDv(120000, 0x47);
    EXPECT_FALSE(dv::BuildDvInfo(notDv.data(), notDv.size(), &untouched));
    EXPECT_EQ(untouched.dwDVReserved[0], 7u);
}

TEST_F(DvFormat, Written48kAudioReadsBackIdenticallyInFfmpegAndHere) {
    const auto pcm = Tones(12 * 1602, 48000, 300.0, 1234.0, 30000.0);
    std::vector<Bytes> written;
    const auto back = WriteAndReadBack({48000, dv::Quantization::Linear16, true}, pcm, &written);
    std::vector<int> counts;
    const auto ours = OurAudio(written, &counts);
    ASSERT_EQ(back.size(), ours.size());
    EXPECT_TRUE(back == ours);
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), pcm.begin()));
    EXPECT_EQ(counts[0], 1600);
    EXPECT_EQ(counts[1], 1602);
    auto format = dv::ReadAudioFormat(written[0].data(), written[0].size());
    ASSERT_TRUE(format);
    EXPECT_TRUE(format->locked);
}

TEST_F(DvFormat, Written32kSixteenBitAudioReadsBackIdentically) {
    const auto pcm = Tones(12 * 1068, 32000, 500.0, 700.0);
    std::vector<Bytes> written;
    const auto back = WriteAndReadBack({32000, dv::Quantization::Linear16, true}, pcm, &written);
    const auto ours = OurAudio(written);
    EXPECT_TRUE(back == ours);
    ASSERT_LE(ours.size(), pcm.size());
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), pcm.begin()));
    EXPECT_EQ(ours.size() / 2, 16016u * 12 / 15 + 0);  // 12 frames of the exact rate, rounded
}

TEST_F(DvFormat, Written32kTwelveBitAudioIsCompandedAndReadBackByFfmpeg) {
    const auto pcm = Tones(12 * 1068, 32000, 500.0, 90.0, 32000.0);
    std::vector<Bytes> written;
    const auto back = WriteAndReadBack({32000, dv::Quantization::Nonlinear12, true}, pcm, &written);
    const auto ours = OurAudio(written);
    ASSERT_EQ(back.size(), ours.size());
    EXPECT_TRUE(back == ours);
    for (std::size_t i = 0; i < ours.size(); ++i)
        ASSERT_EQ(ours[i], dv::Expand12(dv::Compress12(pcm[i]))) << i;
    auto format = dv::ReadAudioFormat(written[0].data(), written[0].size());
    ASSERT_TRUE(format);
    EXPECT_EQ(format->quantization, dv::Quantization::Nonlinear12);
}

TEST(DvAudio, TwelveBitCompandingIsExactNearZeroAndWithinOneStepElsewhere) {
    for (int v = -32768; v <= 32767; ++v) {
        const auto value = static_cast<std::int16_t>(v);
        const std::uint16_t code = dv::Compress12(value);
        ASSERT_LE(code, 0xFFF);
        ASSERT_NE(code, 0x800) << v;  // the "no sample" code is never produced
        const int back = dv::Expand12(code);
        const int magnitude = v < 0 ? -v - 1 : v;
        if (magnitude < 512) {
            ASSERT_EQ(back, v);
        }
        int step = 1;
        while ((512 * step) <= magnitude) step *= 2;
        // The loudest negative values give up the reserved code and lose one more step.
        ASSERT_LE(std::abs(back - v), v < -32704 ? 2 * step : step) << v;
    }
    // The codes expand monotonically.
    int previous = dv::Expand12(0x801);
    for (int c = 0x802; c != 0x800; c = (c + 1) & 0xFFF) {
        const int value = dv::Expand12(static_cast<std::uint16_t>(c));
        ASSERT_GT(value, previous) << c;
        previous = value;
    }
}

TEST(DvAudio, LockedPatternsKeepTheExactRateOverTheirCycle) {
    auto total = [](int rate, int frames) {
        std::int64_t sum = 0;
        for (int i = 0; i < frames; ++i)
            sum += dv::LockedSamplesInFrame(dv::System::Ntsc525, rate, i);
        return sum;
    };
    EXPECT_EQ(total(48000, 5), 8008);
    EXPECT_EQ(total(32000, 15), 16016);
    EXPECT_EQ(total(44100, 100), 147147);
    EXPECT_EQ(dv::LockedSamplesInFrame(dv::System::Pal625, 48000, 3), 1920);
}

TEST_F(DvFormat, WriterRefusesCountsTheFrameCannotCarryAndPadsShortAudio) {
    Bytes frame = (*frames)[0];
    const auto pcm = Tones(1620, 48000, 100.0, 200.0);
    const dv::AudioWriteFormat format{48000, dv::Quantization::Linear16, true};
    EXPECT_FALSE(dv::WriteAudio(frame.data(), frame.size(), format, pcm.data(), 1579, 1579));
    EXPECT_FALSE(dv::WriteAudio(frame.data(), frame.size(), format, pcm.data(), 1621, 1621));
    EXPECT_FALSE(dv::WriteAudio(frame.data(), 119999, format, pcm.data(), 1600, 1600));
    EXPECT_FALSE(dv::WriteAudio(frame.data(), frame.size(),
                                {32000, dv::Quantization::Linear16, true}, pcm.data(), 1600, 1600));
    EXPECT_TRUE(frame == (*frames)[0]);
    // 1000 real pairs in a 1600-pair frame: the rest reads as silence, not as invented sound.
    ASSERT_TRUE(dv::WriteAudio(frame.data(), frame.size(), format, pcm.data(), 1000, 1600));
    std::vector<std::int16_t> back(2 * 1620, 99);
    ASSERT_EQ(dv::ExtractAudio(frame.data(), frame.size(), back.data(), 1620, nullptr), 1600u);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 2000, pcm.begin()));
    EXPECT_TRUE(
        std::all_of(back.begin() + 2000, back.begin() + 3200, [](auto s) { return s == 0; }));
}

TEST_F(DvFormat, DamagedFramesNeverReadOutsideTheFrame) {
    std::mt19937 random(4);
    for (int round = 0; round < 200; ++round) {
        Bytes frame = (*frames)[round % frames->size()];
        for (int hits = 0; hits < 200; ++hits)
            frame[random() % frame.size()] = static_cast<std::uint8_t>(random());
        frame[0] = 0x1F;  // keep a header block so that the packs are looked at
        std::vector<std::int16_t> pcm(2 * 1944);
        const std::size_t pairs =
            dv::ExtractAudio(frame.data(), frame.size(), pcm.data(), 1944, nullptr);
        EXPECT_LE(pairs, 1620u);
        DVINFO info;
        dv::BuildDvInfo(frame.data(), frame.size(), &info);
    }
    std::vector<std::int16_t> small(2 * 10);
    const Bytes& frame = (*frames)[0];
    EXPECT_EQ(dv::ExtractAudio(frame.data(), frame.size(), small.data(), 10, nullptr), 10u);
    EXPECT_EQ(dv::ExtractAudio(frame.data(), 4000, small.data(), 10, nullptr), 0u);
}

}  // namespace
