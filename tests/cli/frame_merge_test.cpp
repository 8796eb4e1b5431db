// Putting one frame together from copies: which copy each block comes from.

#include "cli/merge/frame_merge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/dv/dif.h"
#include "platform/dv/frame_analysis.h"
#include "tests/support/temp_registry.h"
#include "vdeck/tape_maker.h"

namespace {

using namespace velmora::merge;
namespace dv = platform::dv;

std::vector<std::uint8_t> SampleFrame() {
    static std::vector<std::uint8_t> frame = [] {
        const velmora::test::TempDir temp;
        const std::string path = (temp.Path() / "frame_merge_sample.dv").string();
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path, 1, 48000, &error)) << error;
        std::vector<std::uint8_t> bytes(dv::kFrameSize525);
        FILE* file = std::fopen(path.c_str(), "rb");
        EXPECT_NE(file, nullptr);
        if (file) {
            EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
            std::fclose(file);
        }
        return bytes;
    }();
    return frame;
}

constexpr int kVideoBlock = 7;  // the first video block of the first sequence

std::uint8_t* Block(std::vector<std::uint8_t>& frame, int index) {
    return frame.data() + index * dv::kBlockSize;
}

void Damage(std::vector<std::uint8_t>& frame, int index, int sta, std::uint8_t fill) {
    std::uint8_t* block = Block(frame, index);
    block[3] = static_cast<std::uint8_t>(sta << 4 | (block[3] & 0x0F));
    std::memset(block + 4, fill, dv::kBlockSize - 4);
}

MergedFrame Merge(const std::vector<std::vector<std::uint8_t>*>& frames) {
    static std::vector<dv::FrameAnalysis> analyses;
    analyses.clear();
    for (auto* f : frames) analyses.push_back(dv::AnalyseFrame(f->data(), f->size()));
    std::vector<FrameCopy> copies;
    for (std::size_t i = 0; i < frames.size(); ++i)
        copies.push_back({frames[i]->data(), &analyses[i]});
    return MergeFrame(copies, dv::kFrameSize525);
}

TEST(FrameMerge, WithoutAnyCleanCopyTheLeastSevereStatusWinsAndTheBlockStaysResidual) {
    auto error = SampleFrame(), concealed = SampleFrame(), other = SampleFrame();
    Damage(error, kVideoBlock, 0xF, 0x11);
    Damage(concealed, kVideoBlock, 0xA, 0x22);  // concealed from the previous frame
    Damage(other, kVideoBlock, 0x6, 0x33);      // concealed otherwise
    const MergedFrame merged = Merge({&error, &other, &concealed});
    EXPECT_EQ(0, std::memcmp(merged.bytes.data() + kVideoBlock * dv::kBlockSize,
                             Block(concealed, kVideoBlock), dv::kBlockSize));
    EXPECT_EQ(merged.residual, std::vector<int>{kVideoBlock});
    const auto analysis = dv::AnalyseFrame(merged.bytes.data(), merged.bytes.size());
    EXPECT_EQ(analysis.videoErrorBlocks, 1);
}

TEST(FrameMerge, CleanCopiesThatDifferAreSettledByMajorityOrCountedAsOpen) {
    const auto original = SampleFrame();
    auto a = SampleFrame(), b = SampleFrame(), c = SampleFrame();
    Damage(b, kVideoBlock, 0, 0x44);  // claims clean but differs
    MergedFrame merged = Merge({&b, &a, &c});
    EXPECT_EQ(merged.bytes, original);
    EXPECT_EQ(merged.disputedSettled, 1);
    EXPECT_EQ(merged.disputedOpen, 0);
    EXPECT_TRUE(merged.residual.empty());

    // Two clean copies that differ: nothing decides between them.
    merged = Merge({&a, &b});
    EXPECT_EQ(merged.disputedSettled, 0);
    EXPECT_EQ(merged.disputedOpen, 1);
}

TEST(FrameMerge, AudioBlocksComeFromTheCopyThatReadThemAndTheRestFromTheBase) {
    const auto original = SampleFrame();
    auto a = SampleFrame(), b = SampleFrame();
    const int audio = static_cast<int>(dv::AudioBlockOffset(3, 2) / dv::kBlockSize);
    std::uint8_t* block = Block(a, audio);
    for (int i = 8; i < 80; i += 2) block[i] = 0x80, block[i + 1] = 0x00;
    ASSERT_TRUE(AudioBlockUnreadable(block, 16));
    // b has more damage, so a is the base; only the audio block is taken from b.
    for (int n = 0; n < 5; ++n) Damage(b, kVideoBlock + n, 0x7, 0x55);
    b[100] ^= 0xFF;  // a subcode byte that differs, which must come from the base
    const MergedFrame merged = Merge({&b, &a});
    EXPECT_EQ(merged.base, 1);
    EXPECT_EQ(merged.bytes, original);
    ASSERT_EQ(merged.repaired.size(), 1u);
    EXPECT_EQ(merged.repaired[0], std::make_pair(audio, 0));
}

TEST(FrameMerge, RangesAreWrittenCompactly) {
    EXPECT_EQ(FormatRanges({}), "");
    EXPECT_EQ(FormatRanges({3, 4, 5, 7, 9, 10}), "3-5,7,9-10");
}

}  // namespace
