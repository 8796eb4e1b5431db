// The four DV filters in graphs, fed ffmpeg-made DV and checked against ffmpeg's own decoding.

#include <gtest/gtest.h>

#include <random>

#include "platform/com/com.h"
#include "platform/dv/audio.h"
#include "platform/dv/dvinfo.h"
#include "platform/filters/dv_codec_filters.h"
#include "platform/filters/dv_muxer.h"
#include "platform/filters/dv_types.h"
#include "tests/platform/dv/dv_test_filters.h"

namespace {

using platform::ComPtr;
using namespace velmora::test::dv;
namespace dv = platform::dv;
namespace pf = platform::filters;

constexpr int kFrames = 10;
constexpr std::size_t kPicture = 720 * 480 * 3;

class DvGraph : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        ASSERT_TRUE(MakeNtscDv(*dir / "tone.dv", kFrames));
        frames = new std::vector<Bytes>(SplitFrames(ReadFile(*dir / "tone.dv")));
        pictures = new std::vector<Bytes>(FfmpegPictures(*dir / "tone.dv"));
        audio = new std::vector<std::int16_t>(FfmpegAudio(*dir / "tone.dv"));
        ASSERT_EQ(pictures->size(), static_cast<std::size_t>(kFrames));
    }
    static void TearDownTestSuite() {
        delete frames;
        delete pictures;
        delete audio;
        delete dir;
    }
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        control = graph.As<IMediaControl>();
        events = graph.As<IMediaEvent>();
    }
    void TearDown() override {
        control.Reset();
        events.Reset();
        graph.Reset();
        CoUninitialize();
    }

    ComPtr<IBaseFilter> Add(ComPtr<IBaseFilter> filter, const char16_t* name) {
        EXPECT_TRUE(SUCCEEDED(graph->AddFilter(filter.Get(), name)));
        return filter;
    }
    ComPtr<IBaseFilter> Create(REFCLSID clsid, const char16_t* name) {
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.PutVoid()),
                  S_OK);
        return Add(filter, name);
    }
    static ComPtr<IPin> Pin(IBaseFilter* filter, const char16_t* name) {
        ComPtr<IPin> pin;
        EXPECT_EQ(filter->FindPin(name, pin.Put()), S_OK) << "no pin";
        return pin;
    }
    HRESULT Connect(IBaseFilter* from, const char16_t* out, IBaseFilter* to, const char16_t* in,
                    const AM_MEDIA_TYPE* type = nullptr) {
        return graph->ConnectDirect(Pin(from, out).Get(), Pin(to, in).Get(), type);
    }
    void RunToEnd() {
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(30000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(control->Stop(), S_OK);
    }
    static CMediaType InterleavedType() {
        DVINFO info{};
        EXPECT_TRUE(dv::BuildDvInfo((*frames)[0].data(), (*frames)[0].size(), &info));
        CMediaType type;
        pf::MakeInterleavedType(&type, dv::System::Ntsc525, info);
        return type;
    }
    // The first type "XForm Out" offers with 24 bits per pixel, as the toolkit picks it.
    static CMediaType First24BitType(IBaseFilter* decoder) {
        ComPtr<IEnumMediaTypes> types;
        EXPECT_EQ(Pin(decoder, u"XForm Out")->EnumMediaTypes(types.Put()), S_OK);
        AM_MEDIA_TYPE* type = nullptr;
        CMediaType found;
        while (types->Next(1, &type, nullptr) == S_OK) {
            CMediaType offered(*type);
            DeleteMediaType(type);
            const VIDEOINFOHEADER* vih = pf::VideoInfoOf(offered);
            if (vih && vih->bmiHeader.biBitCount == 24) return offered;
        }
        return found;
    }
    static std::vector<std::int16_t> Concat(const std::vector<Received>& samples) {
        std::vector<std::int16_t> pcm;
        for (const Received& r : samples) {
            const auto* p = reinterpret_cast<const std::int16_t*>(r.data.data());
            pcm.insert(pcm.end(), p, p + r.data.size() / 2);
        }
        return pcm;
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    static TempDir* dir;
    static std::vector<Bytes>* frames;
    static std::vector<Bytes>* pictures;
    static std::vector<std::int16_t>* audio;
};

TempDir* DvGraph::dir = nullptr;
std::vector<Bytes>* DvGraph::frames = nullptr;
std::vector<Bytes>* DvGraph::pictures = nullptr;
std::vector<std::int16_t>* DvGraph::audio = nullptr;

TEST_F(DvGraph, DecoderOffersRgb24FirstAndHonoursTheDisplaySize) {
    auto source = Add(BufferSource::Create(InterleavedType(), {}, 0), u"Source");
    auto decoder = Create(CLSID_DVVideoCodec, u"DV Video Decoder");
    ComPtr<IIPDVDec> display;
    ASSERT_EQ(decoder->QueryInterface(IID_IIPDVDec, display.PutVoid()), S_OK);
    EXPECT_EQ(display->put_IPDisplay(999), E_INVALIDARG);
    EXPECT_EQ(display->put_IPDisplay(DVRESOLUTION_HALF), S_OK);
    int value = 0;
    EXPECT_EQ(display->get_IPDisplay(&value), S_OK);
    EXPECT_EQ(value, DVRESOLUTION_HALF);
    ASSERT_EQ(Connect(source.Get(), u"Output", decoder.Get(), u"XForm In"), S_OK);

    auto offered = [&] {
        std::vector<CMediaType> list;
        ComPtr<IEnumMediaTypes> types;
        Pin(decoder.Get(), u"XForm Out")->EnumMediaTypes(types.Put());
        AM_MEDIA_TYPE* type = nullptr;
        while (types->Next(1, &type, nullptr) == S_OK) {
            list.emplace_back(*type);
            DeleteMediaType(type);
        }
        return list;
    };
    auto half = offered();
    ASSERT_EQ(half.size(), 3u);
    EXPECT_EQ(pf::VideoInfoOf(half[0])->bmiHeader.biWidth, 360);
    EXPECT_EQ(pf::VideoInfoOf(half[0])->bmiHeader.biHeight, 240);

    display->put_IPDisplay(DVRESOLUTION_FULL);
    auto full = offered();
    ASSERT_EQ(full.size(), 3u);
    EXPECT_EQ(full[0].subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(full[1].subtype, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(full[2].subtype, MEDIASUBTYPE_YUY2);
    const VIDEOINFOHEADER* vih = pf::VideoInfoOf(full[0]);
    ASSERT_NE(vih, nullptr);
    EXPECT_EQ(vih->bmiHeader.biBitCount, 24);
    EXPECT_EQ(vih->bmiHeader.biWidth, 720);
    EXPECT_EQ(vih->bmiHeader.biHeight, 480);  // positive: rows bottom-up
    EXPECT_EQ(vih->bmiHeader.biSizeImage, 1036800u);
    EXPECT_EQ(full[0].lSampleSize, 1036800u);
}

// Interleaved DV -> DV Splitter -> DV Video Decoder -> sink, and the splitter's audio -> sink,
// the audio pin connected with the toolkit's own 48 kHz PCM type.
TEST_F(DvGraph, SplitterAndDecoderMatchFfmpegPictureAndAudio) {
    auto source = Add(BufferSource::Create(InterleavedType(), *frames, pf::kFrameTime525), u"Src");
    auto splitter = Create(CLSID_DVSplitter, u"DV Splitter");
    auto decoder = Create(CLSID_DVVideoCodec, u"DV Video Decoder");
    CollectSink *pictureSink = nullptr, *audioSink = nullptr;
    auto sinkV = Add(CollectSink::Create(&pictureSink), u"Video");
    auto sinkA = Add(CollectSink::Create(&audioSink), u"Audio");
    ASSERT_EQ(Connect(source.Get(), u"Output", splitter.Get(), u"Input"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"DVVidOut0", decoder.Get(), u"XForm In"), S_OK);
    const CMediaType rgb = First24BitType(decoder.Get());
    ASSERT_EQ(Connect(decoder.Get(), u"XForm Out", sinkV.Get(), u"In", &rgb), S_OK);
    CMediaType pcm;
    pf::MakePcmType(&pcm, 48000);
    ASSERT_EQ(Connect(splitter.Get(), u"AudOut00", sinkA.Get(), u"In", &pcm), S_OK);
    RunToEnd();

    const auto shown = pictureSink->Samples();
    ASSERT_EQ(shown.size(), static_cast<std::size_t>(kFrames));
    for (int n = 0; n < kFrames; ++n) {
        ASSERT_EQ(shown[n].data.size(), kPicture);
        const double psnr = Psnr(FlipRows((*pictures)[n], 720 * 3), shown[n].data);
        EXPECT_GE(psnr, 45.0) << "frame " << n;
        RecordProperty("psnr" + std::to_string(n), std::to_string(psnr));
        EXPECT_EQ(shown[n].start, n * pf::kFrameTime525);
    }
    const auto sound = audioSink->Samples();
    ASSERT_EQ(sound.size(), static_cast<std::size_t>(kFrames));
    EXPECT_TRUE(Concat(sound) == *audio);
    LONGLONG position = 0;
    for (int n = 0; n < kFrames; ++n) {
        EXPECT_EQ(sound[n].data.size(), n % 5 == 0 ? 6400u : 6408u);
        EXPECT_EQ(sound[n].start, n * pf::kFrameTime525);
        EXPECT_EQ(sound[n].end, (n + 1) * pf::kFrameTime525);
        EXPECT_EQ(sound[n].mediaStart, position);
        position = sound[n].mediaEnd;
        EXPECT_EQ(sound[n].newRate, 0);
    }
    EXPECT_EQ(pictureSink->EndOfStreams(), 1);
    EXPECT_EQ(audioSink->EndOfStreams(), 1);
}

TEST_F(DvGraph, SplitterPassesWholeFramesAndKeepsFeedingAudioWhenVideoRefuses) {
    auto source = Add(BufferSource::Create(InterleavedType(), *frames, pf::kFrameTime525), u"Src");
    auto splitter = Create(CLSID_DVSplitter, u"DV Splitter");
    CollectSink *videoSink = nullptr, *audioSink = nullptr;
    auto sinkV = Add(CollectSink::Create(&videoSink), u"Video");
    auto sinkA = Add(CollectSink::Create(&audioSink), u"Audio");
    ASSERT_EQ(Connect(source.Get(), u"Output", splitter.Get(), u"Input"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"DVVidOut0", sinkV.Get(), u"In"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"AudOut00", sinkA.Get(), u"In"), S_OK);
    CMediaType videoType;
    ASSERT_EQ(Pin(splitter.Get(), u"DVVidOut0")->ConnectionMediaType(&videoType), S_OK);
    EXPECT_EQ(videoType.majortype, MEDIATYPE_Video);
    EXPECT_EQ(videoType.subtype, MEDIASUBTYPE_dvsd);
    EXPECT_EQ(videoType.formattype, FORMAT_VideoInfo);
    videoSink->RefuseAfter(1);  // as a one-shot grabber does
    for (int run = 0; run < 2; ++run) {
        RunToEnd();
        const auto video = videoSink->Samples();
        ASSERT_EQ(video.size(), static_cast<std::size_t>(run + 1));
        EXPECT_TRUE(video.back().data == (*frames)[0]);
        EXPECT_EQ(audioSink->Samples().size(), static_cast<std::size_t>(kFrames * (run + 1)));
        videoSink->RefuseAfter(2);
    }
}

// RGB24 pictures and PCM in uneven pieces -> DV Video Encoder + DV Muxer -> raw DV that ffmpeg
// reads: pictures within 35 dB, audio identical.
TEST_F(DvGraph, EncoderAndMuxerMakeDvThatFfmpegDecodes) {
    std::vector<Bytes> rgb;
    for (const Bytes& p : *pictures) rgb.push_back(FlipRows(p, 720 * 3));
    const std::size_t pairs = 8008 * kFrames / 5;
    const auto tones = Tones(pairs, 48000, 523.0, 659.0, 20000.0);
    std::vector<Bytes> pieces;
    for (std::size_t at = 0; at < tones.size();) {
        const std::size_t n = std::min<std::size_t>(2 * 1234, tones.size() - at);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(tones.data() + at);
        pieces.emplace_back(bytes, bytes + 2 * n);
        at += n;
    }
    CMediaType rgbType, pcmType;
    pf::MakePictureType(&rgbType, MEDIASUBTYPE_RGB24, 720, 480, 24, BI_RGB, pf::kFrameTime525);
    pf::MakePcmType(&pcmType, 48000);
    auto video = Add(BufferSource::Create(rgbType, rgb, pf::kFrameTime525), u"Video");
    auto sound = Add(BufferSource::Create(pcmType, pieces, 0), u"Audio");
    auto encoder = Create(CLSID_DVVideoEnc, u"DV Video Encoder");
    auto muxer = Create(CLSID_DVMux, u"DV Muxer");
    CollectSink* sink = nullptr;
    auto out = Add(CollectSink::Create(&sink), u"Out");
    ASSERT_EQ(Connect(video.Get(), u"Output", encoder.Get(), u"XForm In"), S_OK);
    ASSERT_EQ(Connect(encoder.Get(), u"XForm Out", muxer.Get(), u"Stream 0"), S_OK);
    ASSERT_EQ(Connect(sound.Get(), u"Output", muxer.Get(), u"Stream 1"), S_OK);
    ASSERT_EQ(Connect(muxer.Get(), u"Output", out.Get(), u"In"), S_OK);
    CMediaType muxed;
    ASSERT_EQ(Pin(muxer.Get(), u"Output")->ConnectionMediaType(&muxed), S_OK);
    EXPECT_EQ(muxed.majortype, MEDIATYPE_Interleaved);
    EXPECT_EQ(muxed.formattype, FORMAT_DvInfo);
    RunToEnd();

    Bytes file;
    const auto written = sink->Samples();
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kFrames));
    for (const Received& r : written) {
        ASSERT_EQ(r.data.size(), 120000u);
        file.insert(file.end(), r.data.begin(), r.data.end());
    }
    DVINFO fromFrame{};
    ASSERT_TRUE(dv::BuildDvInfo(written[0].data.data(), 120000, &fromFrame));
    EXPECT_EQ(std::memcmp(&fromFrame, muxed.pbFormat, 16), 0);  // the type's audio packs
    ASSERT_TRUE(WriteFile(*dir / "muxed.dv", file));
    const auto decoded = FfmpegPictures(*dir / "muxed.dv");
    ASSERT_EQ(decoded.size(), static_cast<std::size_t>(kFrames));
    for (int n = 0; n < kFrames; ++n) {
        const double psnr = Psnr(decoded[n], (*pictures)[n]);
        EXPECT_GE(psnr, 35.0) << "frame " << n;
        RecordProperty("psnr" + std::to_string(n), std::to_string(psnr));
    }
    EXPECT_TRUE(FfmpegAudio(*dir / "muxed.dv") == tones);
    auto* mux = static_cast<pf::DvMuxer*>(muxer.Get());
    EXPECT_EQ(mux->MissingAudioSamples(), 0);
    EXPECT_EQ(mux->SurplusAudioSamples(), 0);
}

// DV frames with audio too short, then too long for them: every frame is written, the gap is
// DV's "no sample" code (ffmpeg reads silence) and both are counted.
TEST_F(DvGraph, MuxerCountsShortAndLongAudioInsteadOfHidingIt) {
    const std::size_t pairs = 8008 * kFrames / 5;
    CMediaType dvType, pcmType;
    pf::MakeDvVideoType(&dvType, dv::System::Ntsc525);
    pf::MakePcmType(&pcmType, 48000);
    for (const std::size_t given : {pairs - 5000, pairs + 3000}) {
        const auto tones = Tones(given, 48000, 300.0, 400.0);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(tones.data());
        auto video = Add(BufferSource::Create(dvType, *frames, pf::kFrameTime525), u"V");
        auto sound = Add(BufferSource::Create(pcmType, {Bytes(bytes, bytes + 4 * given)}, 0), u"A");
        auto muxer = Create(CLSID_DVMux, u"DV Muxer");
        CollectSink* sink = nullptr;
        auto out = Add(CollectSink::Create(&sink), u"Out");
        ASSERT_EQ(Connect(video.Get(), u"Output", muxer.Get(), u"Stream 0"), S_OK);
        ASSERT_EQ(Connect(sound.Get(), u"Output", muxer.Get(), u"Stream 1"), S_OK);
        ASSERT_EQ(Connect(muxer.Get(), u"Output", out.Get(), u"In"), S_OK);
        RunToEnd();
        auto* mux = static_cast<pf::DvMuxer*>(muxer.Get());
        EXPECT_EQ(mux->FramesWritten(), kFrames);
        EXPECT_EQ(mux->MissingAudioSamples(), given < pairs ? 5000 : 0);
        EXPECT_EQ(mux->SurplusAudioSamples(), given > pairs ? 3000 : 0);
        std::vector<dv::AudioFormat> unused;
        std::vector<std::int16_t> back;
        for (const Received& r : sink->Samples()) {
            std::vector<std::int16_t> pcm(2 * 1620);
            const auto n =
                dv::ExtractAudio(r.data.data(), r.data.size(), pcm.data(), 1620, nullptr);
            back.insert(back.end(), pcm.begin(), pcm.begin() + 2 * n);
        }
        ASSERT_EQ(back.size(), 2 * pairs);
        const std::size_t real = std::min(given, pairs);
        EXPECT_TRUE(std::equal(back.begin(), back.begin() + 2 * real, tones.begin()));
        EXPECT_TRUE(
            std::all_of(back.begin() + 2 * real, back.end(), [](auto s) { return s == 0; }));
        for (auto* f : {video.Get(), sound.Get(), muxer.Get(), out.Get()}) graph->RemoveFilter(f);
    }
}

// 32 kHz 12-bit audio written by the muxer comes out of the splitter, connected with the 48 kHz
// type, as 32 kHz samples whose first sample says so.
TEST_F(DvGraph, TwelveBitAudioFromTheMuxerComesBackThroughTheSplitter) {
    const std::size_t pairs = 16016 * kFrames / 15;
    const auto tones = Tones(pairs, 32000, 250.0, 2000.0, 25000.0);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(tones.data());
    CMediaType dvType, pcmType, pcm48;
    pf::MakeDvVideoType(&dvType, dv::System::Ntsc525);
    pf::MakePcmType(&pcmType, 32000);
    pf::MakePcmType(&pcm48, 48000);
    auto video = Add(BufferSource::Create(dvType, *frames, pf::kFrameTime525), u"V");
    auto sound = Add(BufferSource::Create(pcmType, {Bytes(bytes, bytes + 4 * pairs)}, 0), u"A");
    auto muxer = Create(CLSID_DVMux, u"DV Muxer");
    static_cast<pf::DvMuxer*>(muxer.Get())->SetTwelveBitAudio(true);
    auto splitter = Create(CLSID_DVSplitter, u"DV Splitter");
    CollectSink* sink = nullptr;
    auto out = Add(CollectSink::Create(&sink), u"Out");
    ASSERT_EQ(Connect(video.Get(), u"Output", muxer.Get(), u"Stream 0"), S_OK);
    ASSERT_EQ(Connect(sound.Get(), u"Output", muxer.Get(), u"Stream 1"), S_OK);
    ASSERT_EQ(Connect(muxer.Get(), u"Output", splitter.Get(), u"Input"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"AudOut00", out.Get(), u"In", &pcm48), S_OK);
    RunToEnd();
    const auto samples = sink->Samples();
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(samples[0].newRate, 32000);
    EXPECT_EQ(samples[1].newRate, 0);
    const auto back = Concat(samples);
    ASSERT_EQ(back.size(), tones.size());
    for (std::size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], dv::Expand12(dv::Compress12(tones[i]))) << i;
}

TEST_F(DvGraph, DamagedTruncatedAndEmptyFramesNeverStopTheChain) {
    std::mt19937 random(7);
    std::vector<Bytes> damaged;
    for (int n = 0; n < 30; ++n) {
        Bytes frame = (*frames)[n % kFrames];
        const int hits = n * 50;
        for (int h = 0; h < hits; ++h)
            frame[random() % frame.size()] = static_cast<std::uint8_t>(random());
        if (n % 7 == 3) frame.resize(random() % frame.size());
        if (n % 11 == 5) frame.clear();
        damaged.push_back(std::move(frame));
    }
    auto source = Add(BufferSource::Create(InterleavedType(), damaged, pf::kFrameTime525), u"Src");
    auto splitter = Create(CLSID_DVSplitter, u"DV Splitter");
    auto decoder = Create(CLSID_DVVideoCodec, u"DV Video Decoder");
    CollectSink *pictureSink = nullptr, *audioSink = nullptr;
    auto sinkV = Add(CollectSink::Create(&pictureSink), u"Video");
    auto sinkA = Add(CollectSink::Create(&audioSink), u"Audio");
    ASSERT_EQ(Connect(source.Get(), u"Output", splitter.Get(), u"Input"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"DVVidOut0", decoder.Get(), u"XForm In"), S_OK);
    ASSERT_EQ(Connect(decoder.Get(), u"XForm Out", sinkV.Get(), u"In"), S_OK);
    ASSERT_EQ(Connect(splitter.Get(), u"AudOut00", sinkA.Get(), u"In"), S_OK);
    RunToEnd();
    const auto* dec = static_cast<pf::DvVideoDecoder*>(decoder.Get());
    EXPECT_EQ(pictureSink->Samples().size() + dec->DroppedFrames(), damaged.size());
    EXPECT_GT(pictureSink->Samples().size(), 10u);
    for (const Received& r : audioSink->Samples()) EXPECT_LE(r.data.size(), 1620u * 4);
}

}  // namespace
