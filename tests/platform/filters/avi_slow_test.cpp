// The AVI Mux and the AVI Splitter with a file over 4 GiB: sizes and offsets past 32 bits. Slow
// (4.3 GB of disk, minutes on a slow disk): it carries the label `slow` and stays out of the
// everyday test run; `make test-slow` runs it.

#include "tests/platform/filters/avi_test_support.h"

namespace {

using namespace avi_test;

// Frames are numbered in their subcode bytes so that every one of them is told apart.
TEST(AviLargeFileTest, FileOverFourGibReadsBackByteIdentical) {
    TempDir clipDir;
    const auto frames = MakeDvFrames(clipDir, 60);
    ASSERT_EQ(frames.size(), 60u);
    TempDir dir;
    constexpr std::int64_t kFrames = 36000;  // 4.32 GB
    auto numbered = [&frames](std::int64_t i, BYTE* out) {
        if (i >= kFrames) return false;
        std::memcpy(out, frames[size_t(i % 60)].data(), kDvFrameSize);
        std::memcpy(out + 100, &i, sizeof i);
        return true;
    };
    std::string path = dir.File("big.avi");
    WriteAvi(numbered, path, 0, 1800000);
    std::vector<BYTE> expected(kDvFrameSize);
    std::int64_t seen = 0;
    bool same = true;
    {
        ReadGraph r(path, [&](IMediaSample* sample) {
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            numbered(seen, expected.data());
            same = same && sample->GetActualDataLength() == kDvFrameSize &&
                   std::memcmp(data, expected.data(), kDvFrameSize) == 0;
            ++seen;
        });
        ASSERT_EQ(r.connected, S_OK);
        LONGLONG frames = 0;
        r.Seeking()->SetTimeFormat(&TIME_FORMAT_FRAME);
        r.Seeking()->GetDuration(&frames);
        EXPECT_EQ(frames, kFrames);
        EXPECT_EQ(r.g.RunToCompletion(1800000), EC_COMPLETE);
    }
    EXPECT_EQ(seen, kFrames);
    EXPECT_TRUE(same);
    // ffprobe counts the frames of an 'iavs' stream only by reading them.
    std::string probe = Capture(
        "ffprobe -v error -select_streams v:0 -count_packets "
        "-show_entries stream=nb_read_packets -of csv=p=0 " +
        path);
    EXPECT_EQ(std::atoi(probe.c_str()), kFrames) << probe;
}

}  // namespace
