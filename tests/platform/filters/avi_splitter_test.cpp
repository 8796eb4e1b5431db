// The AVI Splitter behind the Async Reader: type-2 files as ffmpeg writes them, frame-exact
// positioning and rates on "Stream 00", and files that are not what they claim to be.

#include "tests/platform/filters/avi_test_support.h"

namespace {

using namespace avi_test;

class AviSplitterTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        frames_ = MakeDvFrames(*dir_, 60);
        typeOne_ = dir_->File("type1.avi");
        WriteAvi(FramesOf(frames_), typeOne_);
        typeTwo_ = dir_->File("type2.avi");
        std::system(
            (FfmpegSources(60) + "-frames:v 60 -f avi -c:v dvvideo -c:a pcm_s16le " + typeTwo_)
                .c_str());
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override { ASSERT_EQ(frames_.size(), 60u) << "ffmpeg made no DV clip"; }

    // Runs the graph to its end and answers the completion code.
    static LONG Play(ReadGraph& r, LONG timeout = 20000) {
        LONG code = r.g.RunToCompletion(timeout);
        r.g.control->Stop();
        return code;
    }

    static inline TempDir* dir_ = nullptr;
    static inline std::vector<std::vector<BYTE>> frames_;
    static inline std::string typeOne_, typeTwo_;
    TempDir scratch_;
};

TEST_F(AviSplitterTest, TypeTwoFileGivesDvVideoAndPcmStreams) {
    Collected got;
    ReadGraph r(typeTwo_, got.Callback());
    ASSERT_EQ(r.connected, S_OK);
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(Pin(r.splitter.Get(), u"Stream 00")->ConnectionMediaType(&type), S_OK);
    EXPECT_EQ(type.majortype, MEDIATYPE_Video);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_dvsd);
    EXPECT_EQ(type.formattype, FORMAT_VideoInfo);
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame, kNtscFrame);
    FreeMediaType(type);

    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(Pin(r.splitter.Get(), u"Stream 01")->EnumMediaTypes(types.Put()), S_OK);
    AM_MEDIA_TYPE* audio = nullptr;
    ASSERT_EQ(types->Next(1, &audio, nullptr), S_OK);
    EXPECT_EQ(audio->majortype, MEDIATYPE_Audio);
    EXPECT_EQ(audio->subtype, MEDIASUBTYPE_PCM);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(audio->pbFormat)->nSamplesPerSec, 48000u);
    DeleteMediaType(audio);

    // The video chunks exactly as ffmpeg stored them.
    std::string raw = scratch_.File("video.dv");
    std::system(
        ("ffmpeg -v error -y -i " + typeTwo_ + " -map 0:v -c copy -f rawvideo " + raw).c_str());
    std::vector<BYTE> stored = ReadFile(raw);
    ASSERT_EQ(Play(r), EC_COMPLETE);
    ASSERT_EQ(got.frames.size(), 60u);
    for (size_t i = 0; i < 60; ++i)
        ASSERT_TRUE(std::equal(got.frames[i].begin(), got.frames[i].end(),
                               stored.begin() + std::ptrdiff_t(i * kDvFrameSize)))
            << i;
}

TEST_F(AviSplitterTest, SeekingNToNDeliversExactlyFrameN) {
    for (const std::string& file : {typeOne_, typeTwo_}) {
        Collected got;
        ReadGraph r(file, got.Callback());
        ASSERT_EQ(r.connected, S_OK);
        auto seeking = r.Seeking();
        ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
        LONGLONG frames = 0;
        ASSERT_EQ(seeking->GetDuration(&frames), S_OK);
        EXPECT_EQ(frames, 60);
        for (LONGLONG n : {17, 0, 59, 17}) {
            got.frames.clear();
            ASSERT_EQ(seeking->SetPositions(&n, AM_SEEKING_AbsolutePositioning, &n,
                                            AM_SEEKING_AbsolutePositioning),
                      S_OK);
            EXPECT_EQ(r.g.RunToCompletion(), EC_COMPLETE);
            LONGLONG current = -1;
            seeking->GetCurrentPosition(&current);
            EXPECT_EQ(current, n);
            r.g.control->Stop();
            ASSERT_EQ(got.frames.size(), 1u) << n;
            if (file == typeOne_) {
                EXPECT_EQ(got.frames[0], frames_[size_t(n)]);
            }
        }
        LONGLONG outside = 61;
        EXPECT_NE(seeking->SetPositions(&outside, AM_SEEKING_AbsolutePositioning, nullptr, 0),
                  S_OK);
    }
}

// A frame number whose time in 100-ns units would not fit 64 bits names no position, even when
// the product wrapped round would land inside the file.
TEST_F(AviSplitterTest, FramesWhoseTimeOverflowsAreRefused) {
    Collected got;
    ReadGraph r(typeOne_, got.Callback());
    ASSERT_EQ(r.connected, S_OK);
    auto seeking = r.Seeking();
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG frameTime = 0;
    ASSERT_EQ(
        seeking->ConvertTimeFormat(&frameTime, &TIME_FORMAT_MEDIA_TIME, 1, &TIME_FORMAT_FRAME),
        S_OK);
    ASSERT_EQ(frameTime % 2, 1);  // so it has an inverse modulo 2^64
    std::uint64_t inverse = std::uint64_t(frameTime);
    for (int i = 0; i < 6; ++i) inverse *= 2 - std::uint64_t(frameTime) * inverse;
    const auto wrapsTo = [&](LONGLONG time) { return LONGLONG(std::uint64_t(time) * inverse); };

    LONGLONG start = 10, stop = 20;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                    AM_SEEKING_AbsolutePositioning),
              S_OK);
    for (LONGLONG frame : {INT64_MAX, INT64_MIN, INT64_MAX / frameTime + 1,
                           wrapsTo(12 * frameTime + 5), wrapsTo(59 * frameTime + 1)}) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(seeking->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr, 0),
                  E_INVALIDARG);
        EXPECT_EQ(seeking->SetPositions(nullptr, 0, &frame, AM_SEEKING_AbsolutePositioning),
                  E_INVALIDARG);
        LONGLONG converted = 0;
        EXPECT_EQ(seeking->ConvertTimeFormat(&converted, &TIME_FORMAT_MEDIA_TIME, frame,
                                             &TIME_FORMAT_FRAME),
                  E_INVALIDARG);
    }
    // Relative positions whose sum would not fit.
    LONGLONG far = INT64_MAX / frameTime;
    EXPECT_EQ(seeking->SetPositions(&far, AM_SEEKING_RelativePositioning, nullptr, 0),
              E_INVALIDARG);
    EXPECT_EQ(seeking->SetPositions(nullptr, 0, &far, AM_SEEKING_RelativePositioning),
              E_INVALIDARG);
    LONGLONG current = -1, last = -1;
    ASSERT_EQ(seeking->GetPositions(&current, &last), S_OK);
    EXPECT_EQ(current, 10);
    EXPECT_EQ(last, 20);
}

TEST_F(AviSplitterTest, RatesPlayFasterAndBackwards) {
    Collected got;
    ReadGraph r(typeOne_, got.Callback());
    ASSERT_EQ(r.connected, S_OK);
    auto seeking = r.Seeking();
    seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    LONGLONG start = 10, stop = 20;
    seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                          AM_SEEKING_AbsolutePositioning);
    ASSERT_EQ(seeking->SetRate(2.0), S_OK);
    EXPECT_EQ(r.g.RunToCompletion(), EC_COMPLETE);
    r.g.control->Stop();
    ASSERT_EQ(got.frames.size(), 10u);
    EXPECT_EQ(got.frames.front(), frames_[10]);
    EXPECT_EQ(got.starts[1] - got.starts[0], kNtscFrame / 2);

    got.frames.clear();
    got.starts.clear();
    ASSERT_EQ(seeking->SetRate(-2.0), S_OK);
    seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0);
    EXPECT_EQ(r.g.RunToCompletion(), EC_COMPLETE);
    r.g.control->Stop();
    ASSERT_EQ(got.frames.size(), 11u);  // 10 down to 0
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(got.frames[i], frames_[10 - i]) << i;
    EXPECT_EQ(got.starts[1] - got.starts[0], kNtscFrame / 2);
    double rate = 0;
    seeking->GetRate(&rate);
    EXPECT_EQ(rate, -2.0);
}

// Either the connection is refused, or the stream ends, completed or with an error event;
// never a crash or a hang. Answers -1 when refused, else whether an error was reported.
int RefusedOrErrorReported(const std::string& path) {
    Collected got;
    ReadGraph r(path, got.Callback());
    if (FAILED(r.connected)) return -1;
    LONG code = r.g.RunToCompletion(20000);
    EXPECT_TRUE(code == EC_COMPLETE || code == EC_ERRORABORT) << code;
    r.g.control->Stop();
    bool error = false;
    LONG event;
    LONG_PTR p1, p2;
    while (r.g.events->GetEvent(&event, &p1, &p2, 0) == S_OK)
        error = error || event == EC_ERRORABORT;
    return error ? 1 : 0;
}

TEST_F(AviSplitterTest, EmptyAndForeignFilesAreRefused) {
    std::string path = scratch_.File("bad.avi");
    for (const std::string& content :
         {std::string(), std::string("plain text, not a RIFF file at all\n"),
          std::string("RIFF\x04\0\0\0AVI ", 12),
          std::string("RIFF\xff\xff\xff\xff"
                      "AVI LIST",
                      16)}) {
        WriteFile(path, std::vector<BYTE>(content.begin(), content.end()));
        Collected got;
        ReadGraph r(path, got.Callback());
        EXPECT_FALSE(SUCCEEDED(r.connected)) << content;
        EXPECT_FALSE(Pin(r.splitter.Get(), u"Stream 00"));
    }
}

TEST_F(AviSplitterTest, TruncatedFilesGiveTheFramesBeforeTheCut) {
    std::vector<BYTE> whole = ReadFile(typeOne_);
    std::string path = scratch_.File("cut.avi");
    // Cut inside the headers: refused. Cut in the frames: the index is gone, the frames before
    // the cut are found by walking the chunks.
    for (size_t cut : {size_t(11), size_t(200), size_t(16000)}) {
        WriteFile(path, std::vector<BYTE>(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
        Collected got;
        ReadGraph r(path, got.Callback());
        EXPECT_FALSE(SUCCEEDED(r.connected)) << cut;
    }
    std::string_view text(reinterpret_cast<const char*>(whole.data()), whole.size());
    const size_t firstFrame = text.find("00dc", text.find("movi"));
    size_t cut = firstFrame + 25 * 120008 + 5000;
    WriteFile(path, std::vector<BYTE>(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
    Collected got;
    ReadGraph r(path, got.Callback());
    ASSERT_EQ(r.connected, S_OK);
    EXPECT_EQ(Play(r), EC_COMPLETE);
    ASSERT_EQ(got.frames.size(), 25u);
    for (size_t i = 0; i < 25; ++i) EXPECT_EQ(got.frames[i], frames_[i]);
}

TEST_F(AviSplitterTest, DamagedChunkStopsWithErrorAbort) {
    std::vector<BYTE> file = ReadFile(typeOne_);
    std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    size_t chunk = text.find("00dc", text.find("movi"));
    chunk += 5 * 120008;  // the sixth frame's header
    ASSERT_EQ(text.substr(chunk, 4), "00dc");
    file[chunk + 4] ^= 0x40;  // its size no longer matches the index
    std::string path = scratch_.File("damaged.avi");
    WriteFile(path, file);
    EXPECT_EQ(RefusedOrErrorReported(path), 1);
}

TEST_F(AviSplitterTest, CorruptedBytesAnywhereNeverCrash) {
    std::vector<BYTE> whole = ReadFile(typeTwo_);
    std::string path = scratch_.File("corrupt.avi");
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 12; ++round) {
        std::vector<BYTE> file = whole;
        // Mostly the headers and the indexes: they steer the parser.
        for (int k = 0; k < 40; ++k) {
            size_t at = round % 2 ? next() % 4096 : next() % file.size();
            file[at] = BYTE(next());
        }
        WriteFile(path, file);
        RefusedOrErrorReported(path);
    }
}

}  // namespace
