// The player's graph of system filters on DV AVI files: Async Reader -> AVI Splitter -> DV
// Splitter -> Sample Grabber -> DV Video Decoder -> Video Renderer, and the DV Splitter's audio
// -> Default DirectSound Renderer. Paused, the graph settles with a frame in each renderer, after
// a seek too, holding the frame asked for; and the sound renderer plays DV audio of every rate
// at that rate. The sound goes through ALSA's own file plugin into WAV files, so what the
// device was opened at and what it was given is read back from what ALSA wrote.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/dv/audio.h"
#include "platform/media/interfaces.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/avi_test_support.h"

namespace {

using platform::ComPtr;
using namespace velmora::test::dv;
namespace pdv = platform::dv;
using Pcm = std::vector<std::int16_t>;

constexpr int kFrames = 30;
constexpr LONG kSettleMs = 20000;  // generous: a settled graph answers at once

using filter_test::Make;
using filter_test::Pin;

// The frames with their audio replaced: `rate` Hz, 12-bit at 32 kHz when asked, locked to the
// video; a tone different on each side. `sound` gets the samples as a player reads them back.
std::vector<Bytes> WithAudio(std::vector<Bytes> frames, int rate, bool twelveBit, Pcm* sound) {
    pdv::AudioWriteFormat format;
    format.sampleRate = rate;
    format.quantization = twelveBit ? pdv::Quantization::Nonlinear12 : pdv::Quantization::Linear16;
    std::size_t written = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto pairs =
            std::size_t(pdv::LockedSamplesInFrame(pdv::System::Ntsc525, rate, std::int64_t(i)));
        Pcm pcm = Tones(pairs, rate, 300.0, 700.0, 9000.0, written);
        written += pairs;
        EXPECT_TRUE(
            pdv::WriteAudio(frames[i].data(), frames[i].size(), format, pcm.data(), pairs, pairs));
        for (auto& s : pcm)
            if (twelveBit) s = pdv::Expand12(pdv::Compress12(s));
        sound->insert(sound->end(), pcm.begin(), pcm.end());
    }
    return frames;
}

// A type-1 file as another program may write it: a DVINFO whose first audio source pack is
// left zero, which announces 48 kHz whatever the frames carry.
void ForgetAnnouncedRate(const std::string& avi) {
    Bytes bytes = ReadFile(avi);
    const Bytes strf = {'s', 't', 'r', 'f'};
    auto at = std::search(bytes.begin(), bytes.end(), strf.begin(), strf.end());
    ASSERT_NE(at, bytes.end());
    std::fill_n(at + 8, 4, 0);  // dwDVAAuxSrc
    ASSERT_TRUE(velmora::test::dv::WriteFile(avi, bytes));
}

// A file of the frames: type 2 as ffmpeg writes one (a DV video stream, no DVINFO), or type 1
// as our AVI Mux writes one, with a DVINFO that announces 48 kHz.
std::string MakeAvi(const avi_test::TempDir& dir, const std::string& name,
                    const std::vector<Bytes>& frames, int aviType) {
    const std::string avi = dir.File((name + ".avi").c_str());
    if (aviType == 1) {
        avi_test::WriteAvi(avi_test::FramesOf(frames), avi);
        ForgetAnnouncedRate(avi);
        return avi;
    }
    const std::string raw = dir.File((name + ".dv").c_str());
    Bytes all;
    for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
    EXPECT_TRUE(velmora::test::dv::WriteFile(raw, all));
    EXPECT_TRUE(Run("ffmpeg -nostdin -v error -y -f dv -i '" + raw +
                    "' -map 0:v -c:v copy -f avi '" + avi + "'"));
    return avi;
}

struct Media {
    avi_test::TempDir dir;
    std::vector<Bytes> frames;  // 48 kHz audio, from ffmpeg
    std::string type1, type2;
    Pcm sound32, sound44;
    std::string type2At32, type1At32, type2At44;
};
Media* g_media = nullptr;

// A WAV file as ALSA's file plugin writes it.
struct Wav {
    int rate = 0, channels = 0, bits = 0;
    Pcm samples;
};

Wav ReadWav(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    Wav wav;
    if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0) return wav;
    auto u16 = [&](std::size_t at) { return int(bytes[at] | bytes[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(u16(at)) | std::uint32_t(u16(at + 2)) << 16;
    };
    wav.channels = u16(22);
    wav.rate = int(u32(24));
    wav.bits = u16(34);
    const std::size_t length = std::min<std::size_t>(u32(40), bytes.size() - 44);
    wav.samples.resize(length / 2);
    std::memcpy(wav.samples.data(), bytes.data() + 44, wav.samples.size() * 2);
    return wav;
}

class PlaybackGraph : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_media = new Media;
        Media& m = *g_media;
        const std::string raw = m.dir.File("tape.dv");
        ASSERT_TRUE(MakeNtscDv(raw, kFrames));
        m.frames = SplitFrames(ReadFile(raw));
        ASSERT_EQ(m.frames.size(), std::size_t(kFrames));
        m.type2 = MakeAvi(m.dir, "type2", m.frames, 2);
        m.type1 = MakeAvi(m.dir, "type1", m.frames, 1);
        const auto at32 = WithAudio(m.frames, 32000, true, &m.sound32);
        m.type2At32 = MakeAvi(m.dir, "type2-32k", at32, 2);
        m.type1At32 = MakeAvi(m.dir, "type1-32k", at32, 1);
        m.type2At44 = MakeAvi(m.dir, "type2-44k", WithAudio(m.frames, 44100, false, &m.sound44), 2);
    }
    static void TearDownTestSuite() {
        delete g_media;
        g_media = nullptr;
    }

    // ALSA's default device writes WAV files named after their rate into this test's folder.
    void SetUp() override {
        ASSERT_FALSE(HasFatalFailure());
        const std::string config = sound_.File("asound.conf");
        std::ofstream(config) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n"
                              << "  file \"" << sound_.File("out-%r.wav") << "\"\n"
                              << "  format \"wav\"\n}\n";
        ::setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override {
        ReleaseGraph();
        CoUninitialize();
        ::unsetenv("ALSA_CONFIG_PATH");
    }

    // The player's filters, named and connected as the player connects them.
    void Build(const std::string& file) {
        ReleaseGraph();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        auto reader = Make(graph.Get(), CLSID_AsyncReader, u"Async Reader (File)");
        auto avi = Make(graph.Get(), CLSID_AviSplitter, u"AVI Splitter");
        auto dv = Make(graph.Get(), CLSID_DVSplitter, u"DV Splitter");
        auto grab = Make(graph.Get(), CLSID_SampleGrabber, u"Sample Grabber for Image");
        auto decoder = Make(graph.Get(), CLSID_DVVideoCodec, u"DV Video Decoder");
        auto video = Make(graph.Get(), CLSID_VideoRenderer, u"Video Renderer");
        auto sound = Make(graph.Get(), CLSID_DSoundRender, u"Default DirectSound Renderer");
        const std::u16string path(file.begin(), file.end());
        ASSERT_EQ(reader.As<IFileSourceFilter>()->Load(path.c_str(), nullptr), S_OK);
        auto connect = [&](IBaseFilter* a, const char16_t* out, IBaseFilter* b,
                           const char16_t* in) {
            return graph->ConnectDirect(Pin(a, out).Get(), Pin(b, in).Get(), nullptr);
        };
        ASSERT_EQ(connect(reader.Get(), u"Output", avi.Get(), u"input pin"), S_OK);
        ASSERT_EQ(connect(avi.Get(), u"Stream 00", dv.Get(), u"Input"), S_OK);
        ASSERT_EQ(connect(dv.Get(), u"DVVidOut0", grab.Get(), u"Input"), S_OK);
        ASSERT_EQ(connect(grab.Get(), u"Output", decoder.Get(), u"XForm In"), S_OK);
        ASSERT_EQ(connect(decoder.Get(), u"XForm Out", video.Get(), u"Input"), S_OK);
        ASSERT_EQ(connect(dv.Get(), u"AudOut00", sound.Get(), u"Audio Input pin (rendered)"), S_OK);
        grabber = grab.As<ISampleGrabber>();
        ASSERT_EQ(grabber->SetBufferSamples(TRUE), S_OK);
        control = graph.As<IMediaControl>();
        events = graph.As<IMediaEvent>();
        seeking = graph.As<IMediaSeeking>();
        ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    }
    void ReleaseGraph() {
        if (control) control->Stop();
        grabber.Reset();
        control.Reset();
        events.Reset();
        seeking.Reset();
        graph.Reset();
    }
    HRESULT Seek(LONGLONG first, LONGLONG stop) {
        return seeking->SetPositions(&first, AM_SEEKING_AbsolutePositioning, &stop,
                                     AM_SEEKING_AbsolutePositioning);
    }
    // The DV frame the grabber let through last.
    Bytes Grabbed() {
        Bytes frame(120000);
        LONG size = LONG(frame.size());
        if (grabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(frame.data())) != S_OK)
            return {};
        frame.resize(std::size_t(size));
        return frame;
    }
    // Plays the whole file and stops, which closes the sound device and completes its file.
    void PlayToTheEnd(const std::string& file) {
        Build(file);
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(30000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(control->Stop(), S_OK);
    }
    // The sound files ALSA wrote, by name.
    std::vector<std::string> SoundFiles() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(sound_.File("")))
            if (entry.path().extension() == ".wav") names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    void ExpectPlayedAt(int rate, const Pcm& sound) {
        const std::string name = "out-" + std::to_string(rate) + ".wav";
        EXPECT_EQ(SoundFiles(), std::vector<std::string>{name});
        const Wav wav = ReadWav(sound_.File(name.c_str()));
        EXPECT_EQ(wav.rate, rate);
        EXPECT_EQ(wav.channels, 2);
        EXPECT_EQ(wav.bits, 16);
        // The device took the file's samples, all of them, at the file's rate: they last as long
        // as its frames do (30 frames at 30000/1001 a second).
        EXPECT_TRUE(wav.samples == sound) << wav.samples.size() << " samples, not " << sound.size();
        const double seconds = double(wav.samples.size() / 2) / wav.rate;
        EXPECT_NEAR(seconds, kFrames * 1001.0 / 30000.0, 0.001);
    }

    avi_test::TempDir sound_;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<ISampleGrabber> grabber;
};

// The video renderer holds its first frame while paused; the sound renderer must still get the
// audio of that frame, or the pause never completes.
TEST_F(PlaybackGraph, PauseCompletesWithTheFrameAskedForAfterEverySeek) {
    for (const std::string& file : {g_media->type2, g_media->type1}) {
        SCOPED_TRACE(file);
        Build(file);
        ASSERT_TRUE(SUCCEEDED(control->Pause()));
        OAFilterState state = State_Stopped;
        ASSERT_EQ(control->GetState(kSettleMs, &state), S_OK);
        EXPECT_EQ(state, State_Paused);
        EXPECT_TRUE(Grabbed() == g_media->frames[0]);
        for (LONGLONG n : {17, 3, 29, 0, 12}) {
            SCOPED_TRACE(n);
            ASSERT_EQ(Seek(n, kFrames), S_OK);
            ASSERT_EQ(control->GetState(kSettleMs, &state), S_OK);
            EXPECT_EQ(state, State_Paused);
            // The splitter reads ahead of what is shown; the position is the frame on show.
            LONGLONG position = -1;
            EXPECT_EQ(seeking->GetCurrentPosition(&position), S_OK);
            EXPECT_EQ(position, n);
            EXPECT_TRUE(Grabbed() == g_media->frames[std::size_t(n)]);
        }
        // Running from there plays on to the end.
        ASSERT_EQ(Seek(kFrames - 4, kFrames), S_OK);
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(10000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        LONGLONG position = -1;
        seeking->GetCurrentPosition(&position);
        EXPECT_EQ(position, kFrames - 1);
        ASSERT_EQ(control->Stop(), S_OK);
    }
}

TEST_F(PlaybackGraph, PlaysThirtyTwoKilohertzTwelveBitAudioAtItsRate) {
    PlayToTheEnd(g_media->type2At32);
    ExpectPlayedAt(32000, g_media->sound32);
}

// The type-1 file's DVINFO announces 48 kHz, so the audio pin connects at 48 kHz.
TEST_F(PlaybackGraph, PlaysThirtyTwoKilohertzAudioOfATypeOneFileAtItsRate) {
    PlayToTheEnd(g_media->type1At32);
    ExpectPlayedAt(32000, g_media->sound32);
}

TEST_F(PlaybackGraph, PlaysFortyFourKilohertzAudioAtItsRate) {
    PlayToTheEnd(g_media->type2At44);
    ExpectPlayedAt(44100, g_media->sound44);
}

}  // namespace
