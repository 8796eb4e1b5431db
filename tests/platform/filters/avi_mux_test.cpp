// The AVI Mux writing type-1 DV AVI files through the File Writer: what independent tools read
// in them, and what our AVI Splitter reads back.

#include <thread>

#include "tests/platform/filters/avi_test_support.h"

namespace {

using namespace avi_test;

class AviMuxTest : public DvClipTest {
  protected:
    // Every frame of Stream 00 of the file, read by our splitter.
    static std::vector<std::vector<BYTE>> ReadBack(const std::string& path) {
        Collected got;
        ReadGraph r(path, got.Callback());
        EXPECT_EQ(r.connected, S_OK);
        EXPECT_EQ(r.g.RunToCompletion(60000), EC_COMPLETE);
        r.g.control->Stop();
        return std::move(got.frames);
    }
    static size_t Count(const std::vector<BYTE>& file, const char* text) {
        std::string_view hay(reinterpret_cast<const char*>(file.data()), file.size());
        size_t n = 0;
        for (size_t at = hay.find(text); at != hay.npos; at = hay.find(text, at + 1)) ++n;
        return n;
    }

    TempDir dir_;
};

TEST_F(AviMuxTest, TypeOneFileIsReadByFfprobeAndMediainfo) {
    std::string path = dir_.File("rec.avi");
    WriteAvi(FramesOf(frames_), path);
    std::string video = Capture(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,codec_tag_string,r_frame_rate,nb_read_frames "
        "-of default=nw=1 " +
        path);
    EXPECT_NE(video.find("codec_name=dvvideo"), std::string::npos) << video;
    EXPECT_NE(video.find("r_frame_rate=30000/1001"), std::string::npos) << video;
    EXPECT_NE(video.find("nb_read_frames=60"), std::string::npos) << video;
    // ffprobe shows no tag for an 'iavs' stream: the stream header says 'iavs' 'dvsd'.
    std::vector<BYTE> file = ReadFile(path);
    std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    EXPECT_EQ(text.substr(text.find("strh") + 8, 8), "iavsdvsd");
    std::string audio = Capture(
        "ffprobe -v error -select_streams a -show_entries "
        "stream=codec_type,sample_rate -of default=nw=1 " +
        path);
    EXPECT_NE(audio.find("sample_rate=48000"), std::string::npos) << audio;

    std::string info =
        Capture("mediainfo --Inform='Video;%Format% %FrameCount% %FrameRate%' " + path);
    EXPECT_EQ(info.substr(0, info.find_last_not_of("\n") + 1), "DV 60 29.970") << info;
    std::string audioCount = Capture("mediainfo --Inform='General;%AudioCount%' " + path);
    EXPECT_EQ(std::atoi(audioCount.c_str()), 1) << audioCount;
}

TEST_F(AviMuxTest, FramesReadBackByteIdenticalInOneOrManyRiffs) {
    for (ULONGLONG limit : {0ull, 1ull << 20}) {
        SCOPED_TRACE(limit);
        std::string path = dir_.File("rec.avi");
        WriteAvi(FramesOf(frames_), path, limit);
        std::vector<BYTE> file = ReadFile(path);
        // One RIFF of 1 GiB holds it all; RIFFs of 1 MiB hold 8 frames each.
        EXPECT_EQ(Count(file, "AVIX"), limit ? 7u : 0u);
        EXPECT_EQ(Count(file, "idx1"), 1u);
        EXPECT_EQ(Count(file, "ix00"), limit ? 8u : 1u);
        EXPECT_EQ(ReadBack(path), frames_);
        std::string probe = Capture(
            "ffprobe -v error -select_streams v:0 -count_frames "
            "-show_entries stream=nb_read_frames -of csv=p=0 " +
            path);
        EXPECT_EQ(std::atoi(probe.c_str()), 60) << probe;
    }
}

TEST_F(AviMuxTest, StreamFormatIsTheStreamsOwnPacks) {
    std::string path = dir_.File("rec.avi");
    WriteAvi(FramesOf(frames_), path);
    std::vector<BYTE> file = ReadFile(path);
    std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    size_t strf = text.find("strf");
    ASSERT_NE(strf, std::string_view::npos);
    DVINFO info{};
    std::memcpy(&info, file.data() + strf + 8, sizeof info);
    auto payload = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, frames_[0].data() + at, 4);
        return v;
    };
    // The AAUX source pack of the first channel pair sits in DIF block 54 of sequence 0, its
    // control pack in block 70; the second pair's source pack in block 6 of sequence 5.
    ASSERT_EQ(frames_[0][4323], 0x50);
    EXPECT_EQ(info.dwDVAAuxSrc, payload(4324));
    ASSERT_EQ(frames_[0][5603], 0x51);
    EXPECT_EQ(info.dwDVAAuxCtl, payload(5604));
    ASSERT_EQ(frames_[0][5 * 12000 + 483], 0x50);
    EXPECT_EQ(info.dwDVAAuxSrc1, payload(5 * 12000 + 484));
    EXPECT_NE(info.dwDVVAuxSrc, 0xFFFFFFFFu);
}

TEST_F(AviMuxTest, StoppingARecordingLeavesACompleteFile) {
    std::string path = dir_.File("live.avi");
    // An endless stream, as the camcorder delivers it.
    auto endless = [this](std::int64_t i, BYTE* out) {
        std::memcpy(out, frames_[size_t(i % 60)].data(), kDvFrameSize);
        return true;
    };
    LONGLONG written = 0;
    {
        WriteGraph w(endless, path, 1 << 20);
        auto seeking = w.mux.As<IMediaSeeking>();
        ASSERT_TRUE(seeking);
        LONGLONG duration = -1;
        ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
        EXPECT_EQ(duration, 0);
        ASSERT_TRUE(SUCCEEDED(w.g.control->Run()));
        for (int i = 0; i < 500 && duration < 70 * kNtscFrame; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            seeking->GetDuration(&duration);
        }
        EXPECT_GE(duration, 70 * kNtscFrame);  // the length written so far, growing
        ASSERT_EQ(w.g.control->Stop(), S_OK);
        seeking->GetDuration(&written);
        LONG code = 0;
        LONG_PTR p1, p2;
        while (w.g.events->GetEvent(&code, &p1, &p2, 0) == S_OK)
            EXPECT_NE(code, EC_ERRORABORT) << std::hex << p1;
    }
    auto back = ReadBack(path);
    ASSERT_EQ(LONGLONG(back.size()) * kNtscFrame, written);
    for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], frames_[i % 60]) << i;
    std::string probe = Capture(
        "ffprobe -v error -select_streams v:0 -count_frames "
        "-show_entries stream=nb_read_frames -of csv=p=0 " +
        path);
    EXPECT_EQ(std::atoi(probe.c_str()), int(back.size())) << probe;
}

TEST_F(AviMuxTest, RefusesWhatIsNotDv) {
    Graph g;
    auto source = g.Add(TestSource::Create(Samples(1, 64)), u"Source");
    auto mux = g.Add(Create(CLSID_AviDest), u"AVI Mux");
    EXPECT_NE(g.Connect(source.Get(), u"Out", mux.Get(), u"Input 01"), S_OK);
    // Audio beside an interleaved stream has nowhere to go.
    EXPECT_NE(g.Connect(source.Get(), u"Out", mux.Get(), u"Input 02"), S_OK);
    EXPECT_TRUE(Pin(mux.Get(), u"AVI Out"));
}

}  // namespace
