// The DV tools through the library's exports: timecode of the three rate codes, drop-frame
// labels, and fitting audio blocks to other lengths.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "toolkit/tovik.h"

namespace {

struct Case {
    int32_t frame;
    int code;
    TovikToolTimecode expected;
};

bool operator==(const TovikToolTimecode& a, const TovikToolTimecode& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.frames == b.frames;
}

TEST(DvTools, FrameToTimecodeOfEachRate) {
    const Case cases[] = {
        {3000, TOVIK_RATE_30, {0, 1, 40, 0}},
        {108000, TOVIK_RATE_30, {1, 0, 0, 0}},
        {90000, TOVIK_RATE_25, {1, 0, 0, 0}},
        {1524, TOVIK_RATE_25, {0, 1, 0, 24}},
        {0, TOVIK_RATE_DROP_FRAME, {0, 0, 0, 0}},
        {1799, TOVIK_RATE_DROP_FRAME, {0, 0, 59, 29}},
        {1800, TOVIK_RATE_DROP_FRAME, {0, 1, 0, 2}},
        {17981, TOVIK_RATE_DROP_FRAME, {0, 9, 59, 29}},
        {17982, TOVIK_RATE_DROP_FRAME, {0, 10, 0, 0}},
        {17982 + 1800, TOVIK_RATE_DROP_FRAME, {0, 11, 0, 2}},
        {107892, TOVIK_RATE_DROP_FRAME, {1, 0, 0, 0}},
        // Beyond one day the hours go on counting.
        {108000 * 25, TOVIK_RATE_30, {25, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        TovikToolTimecode timecode{9, 9, 9, 9};
        EXPECT_EQ(TovikTool_FrameToTimecode(c.frame, &timecode, c.code), 1) << c.frame;
        EXPECT_TRUE(timecode == c.expected)
            << c.frame << " code " << c.code << ": " << timecode.hours << ":" << timecode.minutes
            << ":" << timecode.seconds << "." << timecode.frames;
    }
}

TEST(DvTools, DropFrameLabelsNeverShowSkippedFrameNumbers) {
    // Labels 00 and 01 are skipped at every minute but each tenth; labels stay consecutive.
    TovikToolTimecode previous{0, 0, 0, 0};
    TovikTool_FrameToTimecode(0, &previous, TOVIK_RATE_DROP_FRAME);
    for (int32_t frame = 1; frame < 107892; ++frame) {
        TovikToolTimecode tc{};
        TovikTool_FrameToTimecode(frame, &tc, TOVIK_RATE_DROP_FRAME);
        if (tc.seconds == 0 && tc.minutes % 10 != 0) {
            ASSERT_GE(tc.frames, 2) << frame;
        }
        auto label = [](const TovikToolTimecode& t) {
            return ((t.hours * 60 + t.minutes) * 60 + t.seconds) * 30 + t.frames;
        };
        const int step = label(tc) - label(previous);
        ASSERT_TRUE(step == 1 || step == 3) << frame;
        previous = tc;
    }
}

TEST(DvTools, UnknownRateOrNegativeFrameLeavesTimecodeAlone) {
    TovikToolTimecode timecode{1, 2, 3, 4};
    EXPECT_EQ(TovikTool_FrameToTimecode(100, &timecode, 3), 0);
    EXPECT_EQ(TovikTool_FrameToTimecode(100, &timecode, -1), 0);
    for (int code : {TOVIK_RATE_DROP_FRAME, TOVIK_RATE_30, TOVIK_RATE_25})
        for (int32_t frame : {-1, -1800, -108000, INT32_MIN})
            EXPECT_EQ(TovikTool_FrameToTimecode(frame, &timecode, code), 0) << frame;
    EXPECT_TRUE(timecode == (TovikToolTimecode{1, 2, 3, 4}));
    EXPECT_EQ(TovikTool_FrameToTimecode(100, nullptr, 1), 0);
    // The largest frame count still fits the fields.
    EXPECT_EQ(TovikTool_FrameToTimecode(INT32_MAX, &timecode, TOVIK_RATE_30), 1);
    EXPECT_TRUE(timecode == (TovikToolTimecode{19884, 6, 28, 7}));
    EXPECT_EQ(TovikTool_FrameToTimecode(INT32_MAX, &timecode, TOVIK_RATE_DROP_FRAME), 1);
    EXPECT_TRUE(timecode == (TovikToolTimecode{19904, 0, 42, 19}));
}

using Pairs = std::vector<int16_t>;  // interleaved left, right

// Frame i holds (i * 10, -i * 10 - 1).
Pairs Numbered(int frames) {
    Pairs block;
    for (int i = 0; i < frames; ++i) {
        block.push_back(int16_t(i * 10));
        block.push_back(int16_t(-i * 10 - 1));
    }
    return block;
}

int16_t Avg(int a, int b) {
    return int16_t((a + b) >> 1);
}

// The expected pairs, from source frame numbers; -1 - k stands for avg(k, k + 1).
Pairs Expect(std::initializer_list<int> picks) {
    Pairs out;
    for (int p : picks) {
        if (p >= 0) {
            out.push_back(int16_t(p * 10));
            out.push_back(int16_t(-p * 10 - 1));
        } else {
            int k = -1 - p;
            out.push_back(Avg(k * 10, (k + 1) * 10));
            out.push_back(Avg(-k * 10 - 1, -(k + 1) * 10 - 1));
        }
    }
    return out;
}

TEST(DvTools, AdjustInsertsAndMergesFramesEvenly) {
    Pairs source = Numbered(8), out(20, 7777);
    ASSERT_EQ(TovikTool_Adjust4816SAudio(out.data(), 40, source.data(), 32), 1);
    EXPECT_EQ(out, Expect({0, 1, -2, 2, 3, -4, 4, 5, 6, 7}));

    source = Numbered(10);
    Pairs shorter(18, 7777);  // one spare pair past the 32 bytes
    ASSERT_EQ(TovikTool_Adjust4816SAudio(shorter.data(), 32, source.data(), 40), 1);
    Pairs wanted = Expect({0, 1, -3, 4, -6, 7, 8, 9});
    wanted.push_back(7777);
    wanted.push_back(7777);
    EXPECT_EQ(shorter, wanted);

    source = Numbered(6);
    Pairs same(12, 0);
    ASSERT_EQ(TovikTool_Adjust4816SAudio(same.data(), 24, source.data(), 24), 1);
    EXPECT_EQ(same, source);
}

TEST(DvTools, AdjustOneFrameOfAudioByTwoPairs) {
    Pairs source(3200);
    for (int i = 0; i < 1600; ++i) source[2 * i] = source[2 * i + 1] = int16_t(i);
    Pairs out(3204, 0);
    ASSERT_EQ(TovikTool_Adjust4816SAudio(out.data(), 6408, source.data(), 6400), 1);
    // Inserted after the first 533 and the first 1066 source frames.
    EXPECT_EQ(out[2 * 532], 532);
    EXPECT_EQ(out[2 * 533], Avg(532, 533));
    EXPECT_EQ(out[2 * 534], 533);
    EXPECT_EQ(out[2 * 1066], 1065);
    EXPECT_EQ(out[2 * 1067], Avg(1065, 1066));
    EXPECT_EQ(out[2 * 1068], 1066);
    EXPECT_EQ(out[2 * 1601], 1599);
}

TEST(DvTools, AverageRoundsTowardMinusInfinity) {
    Pairs source = {-3, -32768, 0, -32768}, out(6, 0);
    ASSERT_EQ(TovikTool_Adjust4816SAudio(out.data(), 12, source.data(), 8), 1);
    EXPECT_EQ(out[2], -2);
    EXPECT_EQ(out[3], -32768);
}

TEST(DvTools, AdjustRefusesWhatItCannotDoAndWritesNothing) {
    Pairs source = Numbered(4), out(40, 7777);
    const Pairs untouched = out;
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 18, source.data(), 16), 0);
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 16, source.data(), 14), 0);
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 32, source.data(), 16), 0);  // 8 > 2*4-1
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 4, source.data(), 0), 0);
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 0, source.data(), 16), 0);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 28, source.data(), 16), 1);  // 7 = 2*4-1
    EXPECT_EQ(TovikTool_Adjust4816SAudio(out.data(), 4, source.data(), 16), 1);   // down to one
    EXPECT_EQ(out[0], Avg(Avg(Avg(0, 10), 20), 30));
}

}  // namespace
