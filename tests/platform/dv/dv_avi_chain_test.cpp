// Any frame of an ffmpeg-made type-2 DV AVI, read through the whole chain: Async Reader -> AVI
// Splitter -> DV Splitter -> DV Video Decoder -> Sample Grabber -> Null Renderer, with the audio
// to a second grabber. The picture and the sound must be ffmpeg's own.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/media/interfaces.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/filter_test_support.h"

namespace {

using platform::ComPtr;
using namespace velmora::test::dv;

using filter_test::Make;
using filter_test::Pin;

// The decoder's first RGB24 offer.
bool FirstRgb24(IPin* out, CMediaType* type) {
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(out->EnumMediaTypes(types.Put()))) return false;
    AM_MEDIA_TYPE* offer = nullptr;
    while (types->Next(1, &offer, nullptr) == S_OK) {
        bool rgb24 =
            offer->cbFormat >= sizeof(VIDEOINFOHEADER) &&
            reinterpret_cast<VIDEOINFOHEADER*>(offer->pbFormat)->bmiHeader.biBitCount == 24;
        if (rgb24) *type = *offer;
        DeleteMediaType(offer);
        if (rgb24) return true;
    }
    return false;
}

TEST(DvAviChain, DecodesAnyFrameAsFfmpegDoes) {
    TempDir dir;
    // DV frames with their sound in the DIF blocks, then the same frames as a type-2 AVI (a
    // video stream and a separate audio stream).
    auto raw = dir / "frames.dv";
    auto avi = dir / "type2.avi";
    ASSERT_TRUE(velmora::test::dv::Run(
        "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=720x480:rate=30000/1001 -f lavfi -i "
        "anoisesrc=sample_rate=48000:seed=5 -t 2 -target ntsc-dv -y '" +
        raw.string() + "'"));
    ASSERT_TRUE(velmora::test::dv::Run("ffmpeg -nostdin -v error -i '" + raw.string() +
                                       "' -c copy -f avi -y '" + avi.string() + "'"));
    // ffmpeg's references: its pictures, and the sound of the DV frames themselves.
    std::vector<Bytes> pictures = FfmpegPictures(raw);
    std::vector<std::int16_t> sound = FfmpegAudio(raw);
    ASSERT_GE(pictures.size(), 50u);

    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    {
        ComPtr<IGraphBuilder> graph;
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         graph.PutVoid());
        auto reader = Make(graph.Get(), CLSID_AsyncReader, u"Async Reader (File)");
        auto splitter = Make(graph.Get(), CLSID_AviSplitter, u"AVI Splitter");
        auto dv = Make(graph.Get(), CLSID_DVSplitter, u"DV Splitter");
        auto decoder = Make(graph.Get(), CLSID_DVVideoCodec, u"DV Video Decoder");
        auto video = Make(graph.Get(), CLSID_SampleGrabber, u"Sample Grabber for Video");
        auto videoEnd = Make(graph.Get(), CLSID_NullRenderer, u"Null Renderer for Video");
        auto audio = Make(graph.Get(), CLSID_SampleGrabber, u"Sample Grabber for Audio");
        auto audioEnd = Make(graph.Get(), CLSID_NullRenderer, u"Null Renderer for Audio");
        const std::string narrow = avi.string();
        std::u16string path(narrow.begin(), narrow.end());
        ASSERT_EQ(reader.As<IFileSourceFilter>()->Load(path.c_str(), nullptr), S_OK);
        auto connect = [&](IBaseFilter* a, const char16_t* out, IBaseFilter* b, const char16_t* in,
                           const AM_MEDIA_TYPE* type = nullptr) {
            return graph->ConnectDirect(Pin(a, out).Get(), Pin(b, in).Get(), type);
        };
        ASSERT_EQ(connect(reader.Get(), u"Output", splitter.Get(), u"input pin"), S_OK);
        ASSERT_EQ(connect(splitter.Get(), u"Stream 00", dv.Get(), u"Input"), S_OK);
        ASSERT_EQ(connect(dv.Get(), u"DVVidOut0", decoder.Get(), u"XForm In"), S_OK);
        CMediaType rgb;
        ASSERT_TRUE(FirstRgb24(Pin(decoder.Get(), u"XForm Out").Get(), &rgb));
        ASSERT_EQ(connect(decoder.Get(), u"XForm Out", video.Get(), u"Input", &rgb), S_OK);
        ASSERT_EQ(connect(video.Get(), u"Output", videoEnd.Get(), u"In", &rgb), S_OK);
        ASSERT_EQ(connect(dv.Get(), u"AudOut00", audio.Get(), u"Input"), S_OK);
        ASSERT_EQ(connect(audio.Get(), u"Output", audioEnd.Get(), u"In"), S_OK);
        for (IBaseFilter* filter : {video.Get(), audio.Get()}) {
            ComPtr<ISampleGrabber> grabber;
            filter->QueryInterface(IID_ISampleGrabber, grabber.PutVoid());
            grabber->SetBufferSamples(TRUE);
            grabber->SetOneShot(TRUE);
        }
        auto seeking = graph.As<IMediaSeeking>();
        ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
        auto control = graph.As<IMediaControl>();
        auto events = graph.As<IMediaEvent>();
        auto videoGrabber = video.As<ISampleGrabber>();
        auto audioGrabber = audio.As<ISampleGrabber>();

        std::size_t audioOffset = 0;  // pairs of sound before frame n, found by searching
        const LONGLONG last = static_cast<LONGLONG>(pictures.size()) - 1;
        for (LONGLONG n : {LONGLONG{0}, LONGLONG{17}, LONGLONG{33}, last, LONGLONG{5}}) {
            SCOPED_TRACE(n);
            ASSERT_EQ(seeking->SetPositions(&n, AM_SEEKING_AbsolutePositioning, &n,
                                            AM_SEEKING_AbsolutePositioning),
                      S_OK);
            ASSERT_EQ(control->Run(), S_OK);
            LONG code = 0;
            ASSERT_EQ(events->WaitForCompletion(10000, &code), S_OK);
            control->Stop();

            Bytes picture(1036800);
            LONG size = static_cast<LONG>(picture.size());
            ASSERT_EQ(
                videoGrabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(picture.data())),
                S_OK);
            EXPECT_GE(Psnr(picture, FlipRows(pictures[n], 720 * 3)), 45.0);

            Bytes pcm(6480);
            size = static_cast<LONG>(pcm.size());
            ASSERT_EQ(audioGrabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(pcm.data())),
                      S_OK);
            ASSERT_GE(size, 1580 * 4);
            // The frame's samples appear in ffmpeg's reading, in one piece.
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(sound.data());
            std::size_t total = sound.size() * 2;
            const void* found = memmem(bytes, total, pcm.data(), static_cast<std::size_t>(size));
            ASSERT_NE(found, nullptr) << "audio of frame " << n << " not in ffmpeg's";
            audioOffset = static_cast<const std::uint8_t*>(found) - bytes;
            EXPECT_EQ(audioOffset % 4, 0u);
            LONG_PTR p1, p2;
            while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            }
        }
    }
    CoUninitialize();
}

}  // namespace
