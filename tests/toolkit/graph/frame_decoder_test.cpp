// The frame decoder and stills against the registered bridge module and the DV filters:
// the missing-bridge message, decoding as ffmpeg does, stills from an owner's grabber and the
// stills that must not become files.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/com/com.h"
#include "platform/filters/dv_types.h"
#include "platform/kernel/debug_output.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "toolkit/graph/frame_decoder.h"
#include "toolkit/graph/message_box.h"
#include "toolkit/graph/still.h"

namespace {

using platform::ComPtr;
using tovik::CFrameDecoder;
namespace dv = velmora::test::dv;

constexpr double kMinPsnr = 45.0;

using velmora::test::RegisterBridge;

CMediaType DvType() {
    CMediaType type;
    platform::filters::MakeDvVideoType(&type, platform::dv::System::Ntsc525);
    return type;
}

// Stands in for an owner's stream: a second bridge feeding one DV frame over and over
// through a buffering Sample Grabber into a Null Renderer, as a capture graph would.
class OwnerStream {
  public:
    OwnerStream(const dv::Bytes& frame, const CMediaType& type) : frame_(frame) {
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         graph_.PutVoid());
        ComPtr<IBaseFilter> source = Create(CLSID_TovikSourceBridge, u"Source");
        ComPtr<IBaseFilter> grabber = Create(CLSID_SampleGrabber, u"Grabber");
        ComPtr<IBaseFilter> renderer = Create(CLSID_NullRenderer, u"Renderer");
        ComPtr<ITovikSourceBridge> bridge = source.As<ITovikSourceBridge>();
        grabber_ = grabber.As<ISampleGrabber>();
        bridge->SetBufferSize(static_cast<LONG>(frame_.size()));
        bridge->SetMediaType(&type);
        bridge->SetRenderProc(&Feed, this);
        grabber_->SetBufferSamples(TRUE);
        connected_ = Connect(source, u"Out", grabber, u"Input") &&
                     Connect(grabber, u"Output", renderer, u"In");
        graph_.As(&control_);
    }
    ~OwnerStream() {
        if (control_) control_->Stop();
    }

    ISampleGrabber* Grabber() const { return grabber_.Get(); }

    // Runs the stream until the grabber holds a frame.
    bool Start() {
        if (!connected_ || FAILED(control_->Run())) return false;
        for (int i = 0; i < 500; ++i) {
            LONG size = 0;
            if (SUCCEEDED(grabber_->GetCurrentBuffer(&size, nullptr)) && size > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

  private:
    static LONG Feed(BYTE* buffer, LONG* size, void* context) {
        const auto& frame = static_cast<OwnerStream*>(context)->frame_;
        *size = std::min<LONG>(*size, static_cast<LONG>(frame.size()));
        std::memcpy(buffer, frame.data(), *size);
        return 1;
    }
    ComPtr<IBaseFilter> Create(REFCLSID clsid, LPCWSTR name) {
        ComPtr<IBaseFilter> filter;
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.PutVoid());
        if (filter) graph_->AddFilter(filter.Get(), name);
        return filter;
    }
    bool Connect(const ComPtr<IBaseFilter>& from, LPCWSTR out, const ComPtr<IBaseFilter>& to,
                 LPCWSTR in) {
        ComPtr<IPin> a, b;
        return from && to && SUCCEEDED(from->FindPin(out, a.Put())) &&
               SUCCEEDED(to->FindPin(in, b.Put())) &&
               SUCCEEDED(graph_->ConnectDirect(a.Get(), b.Get(), nullptr));
    }

    dv::Bytes frame_;
    ComPtr<IGraphBuilder> graph_;
    ComPtr<IMediaControl> control_;
    ComPtr<ISampleGrabber> grabber_;
    bool connected_ = false;
};

class FrameDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        previous_ =
            tovik::SetMessageBoxFunction([this](const std::string& text, tovik::MessageIcon icon) {
                messages_.push_back(text);
                EXPECT_EQ(icon, tovik::MessageIcon::kError);
            });
    }
    void TearDown() override {
        tovik::SetMessageBoxFunction(previous_);
        CoUninitialize();
    }
    // Three frames of ffmpeg's test pattern and ffmpeg's bottom-up pictures of them.
    void MakeTape() {
        const auto path = tape_ / "tape.dv";
        ASSERT_TRUE(dv::MakeNtscDv(path, 3));
        frames_ = dv::SplitFrames(dv::ReadFile(path));
        for (const auto& p : dv::FfmpegPictures(path)) pictures_.push_back(dv::FlipRows(p, 2160));
        ASSERT_EQ(frames_.size(), 3u);
        ASSERT_EQ(pictures_.size(), 3u);
    }

    velmora::test::TempRegistry registry_;
    velmora::test::TempDir files_;
    dv::TempDir tape_;
    std::vector<std::string> messages_;
    tovik::MessageBoxFunction previous_;
    std::vector<dv::Bytes> frames_, pictures_;
};

TEST_F(FrameDecoderTest, WithoutTheBridgeBuildShowsTheMessageOnceAndStillsFail) {
    CFrameDecoder decoder;
    EXPECT_EQ(decoder.Build(), 0);
    EXPECT_EQ(messages_, std::vector<std::string>{tovik::kBridgeNotFoundMessage});
    EXPECT_EQ(decoder.Teardown(), 0);

    MakeTape();
    ASSERT_TRUE(RegisterBridge());  // the owner's own stream still needs a source
    OwnerStream owner(frames_[0], DvType());
    ASSERT_TRUE(owner.Start());
    const auto path = files_.Path() / "still.bmp";
    EXPECT_EQ(tovik::SaveStillBmp(owner.Grabber(), decoder, path.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(FrameDecoderTest, DecodesFramesInARowAsFfmpegDoes) {
    MakeTape();
    ASSERT_TRUE(RegisterBridge());
    CFrameDecoder decoder;
    ASSERT_EQ(decoder.Build(), 1);
    EXPECT_EQ(decoder.Build(), 0);  // already built
    EXPECT_TRUE(messages_.empty());
    const CMediaType type = DvType();
    for (int i : {0, 2, 1}) {
        dv::Bytes picture(tovik::kPictureBytes, 0x55);
        std::int32_t out = -7;
        ASSERT_EQ(
            decoder.Decode(&type, frames_[i].data(), picture.data(), &out), 1)
            << i;
        EXPECT_EQ(out, 0) << i;
        EXPECT_GE(dv::Psnr(picture, pictures_[i]), kMinPsnr) << i;
    }
    EXPECT_EQ(decoder.Teardown(), 1);
    EXPECT_EQ(decoder.Teardown(), 0);
}

TEST_F(FrameDecoderTest, StillsFromAnOwnersGrabberBecomeWholeBmpFiles) {
    MakeTape();
    ASSERT_TRUE(RegisterBridge());
    CFrameDecoder decoder;
    ASSERT_EQ(decoder.Build(), 1);

    // Before the owner's stream carried a frame: no still, no file.
    OwnerStream idle(frames_[1], DvType());
    dv::Bytes picture(tovik::kPictureBytes, 0);
    std::int32_t out = 0;
    EXPECT_EQ(tovik::GrabOneShot(idle.Grabber(), decoder, picture.data(), &out), 0);
    EXPECT_EQ(out, -1);
    const auto early = files_.Path() / "early.bmp";
    EXPECT_EQ(tovik::SaveStillBmp(idle.Grabber(), decoder, early.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(early));

    OwnerStream owner(frames_[1], DvType());
    ASSERT_TRUE(owner.Start());
    for (const char* name : {"a.bmp", "b.bmp"}) {
        const auto path = files_.Path() / name;
        ASSERT_EQ(tovik::SaveStillBmp(owner.Grabber(), decoder, path.c_str()), 1) << name;
        const dv::Bytes file = dv::ReadFile(path);
        ASSERT_EQ(file.size(), tovik::kBmpFileBytes) << name;
        const auto header = tovik::BmpHeader();
        EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin())) << name;
        const dv::Bytes pixels(file.begin() + 54, file.end());
        EXPECT_GE(dv::Psnr(pixels, pictures_[1]), kMinPsnr) << name;
    }
}

TEST_F(FrameDecoderTest, AStillThatProducesNoPictureIsNeverSaved) {
    ASSERT_TRUE(RegisterBridge());
    CFrameDecoder decoder;
    ASSERT_EQ(decoder.Build(), 1);
    // The owner's stream carries something the DV decoder refuses.
    CMediaType notDv(&MEDIATYPE_Video);
    notDv.SetSubtype(&MEDIASUBTYPE_RGB24);
    notDv.SetFormatType(&FORMAT_None);
    OwnerStream owner(dv::Bytes(1000, 7), notDv);
    ASSERT_TRUE(owner.Start());
    dv::Bytes picture(tovik::kPictureBytes, 0x33);
    std::int32_t out = 0;
    EXPECT_EQ(tovik::GrabOneShot(owner.Grabber(), decoder, picture.data(), &out), 1);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 0x33), tovik::kPictureBytes);
    const auto path = files_.Path() / "none.bmp";
    EXPECT_EQ(tovik::SaveStillBmp(owner.Grabber(), decoder, path.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Counts the bridge's fills (one debug line each) while it lives.
class FillCounter {
  public:
    FillCounter() {
        previous_ = platform::SetDebugSink([this](std::string_view line) {
            if (line.find("FullBuffer") != std::string_view::npos) ++fills_;
        });
    }
    ~FillCounter() { platform::SetDebugSink(previous_); }
    int Fills() const { return fills_; }

  private:
    std::atomic<int> fills_{0};
    platform::DebugSink previous_;
};

// A DV frame that the decoder passes over ends the still as soon as it has been passed over:
// the bridge is asked once more for the end of the stream, not kept spinning until a time-out.
TEST_F(FrameDecoderTest, AFrameThatDoesNotDecodeEndsTheStillAtOnce) {
    MakeTape();
    ASSERT_TRUE(RegisterBridge());
    CFrameDecoder decoder;
    ASSERT_EQ(decoder.Build(), 1);
    const CMediaType type = DvType();
    dv::Bytes broken = frames_[0];
    broken[3] |= 0x80;  // says 625 lines in a 525-line frame's size: nothing to decode
    dv::Bytes picture(tovik::kPictureBytes, 0x44);
    std::int32_t out = 7;
    {
        FillCounter counter;
        ASSERT_EQ(decoder.Decode(&type, broken.data(), picture.data(), &out),
                  1);
        EXPECT_EQ(counter.Fills(), 2) << "the frame and the end of the stream";
    }
    EXPECT_EQ(out, 7);
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 0x44), tovik::kPictureBytes);
    // A frame that decodes is kept by the one-shot grabber, which ends the stream there.
    FillCounter counter;
    ASSERT_EQ(decoder.Decode(&type, frames_[2].data(), picture.data(), &out),
              1);
    EXPECT_EQ(out, 0);
    EXPECT_GE(dv::Psnr(picture, pictures_[2]), kMinPsnr);
    EXPECT_EQ(counter.Fills(), 1);
}

// A short frame in the owner's grabber is handed to the decoder as the bytes it is, never
// filled up to a whole frame with whatever the still's buffer held before.
TEST_F(FrameDecoderTest, AShortFrameIsDecodedAsItIsAndGivesNoPicture) {
    MakeTape();
    ASSERT_TRUE(RegisterBridge());
    CFrameDecoder decoder;
    ASSERT_EQ(decoder.Build(), 1);
    dv::Bytes picture(tovik::kPictureBytes, 0);
    std::int32_t out = -1;
    {
        OwnerStream whole(frames_[0], DvType());
        ASSERT_TRUE(whole.Start());
        ASSERT_EQ(tovik::GrabOneShot(whole.Grabber(), decoder, picture.data(), &out), 1);
        ASSERT_EQ(out, 0);
    }
    OwnerStream cut(dv::Bytes(frames_[1].begin(), frames_[1].begin() + 60000), DvType());
    ASSERT_TRUE(cut.Start());
    std::fill(picture.begin(), picture.end(), 0x66);
    EXPECT_EQ(tovik::GrabOneShot(cut.Grabber(), decoder, picture.data(), &out), 1);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 0x66), tovik::kPictureBytes);
    const auto path = files_.Path() / "short.bmp";
    EXPECT_EQ(tovik::SaveStillBmp(cut.Grabber(), decoder, path.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
