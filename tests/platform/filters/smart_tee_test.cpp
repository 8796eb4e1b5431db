#include "tests/platform/filters/filter_test_support.h"

namespace filter_test {
namespace {

// Source -> Smart Tee, each connected output -> Sample Grabber (recording) -> Null Renderer.
struct TeeGraph {
    TeeGraph(bool capture, bool preview) {
        source = g.Add(TestSource::Create(Samples(4, 48)), u"Source");
        tee = g.Add(Create(CLSID_SmartTee), u"Tee");
        EXPECT_EQ(g.Connect(source.Get(), u"Out", tee.Get(), u"Input"), S_OK);
        if (capture) Branch(u"Capture", captured);
        if (preview) Branch(u"Preview", previewed);
    }
    void Branch(const char16_t* pin, ComPtr<Recorder>& recorder) {
        std::u16string name(pin);
        auto grabber = g.Add(Create(CLSID_SampleGrabber), (name + u" grabber").c_str());
        auto renderer = g.Add(Create(CLSID_NullRenderer), (name + u" renderer").c_str());
        recorder = Recorder::Create();
        grabber.As<ISampleGrabber>()->SetCallback(recorder.Get(), 0);
        EXPECT_EQ(g.Connect(tee.Get(), pin, grabber.Get(), u"Input"), S_OK);
        EXPECT_EQ(g.Connect(grabber.Get(), u"Output", renderer.Get(), u"In"), S_OK);
    }
    Graph g;
    ComPtr<IBaseFilter> source, tee;
    ComPtr<Recorder> captured, previewed;
};

TEST(SmartTee, CaptureGetsTheSamplesAndPreviewUntimedCopies) {
    TeeGraph graph(true, true);
    ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    ASSERT_EQ(graph.captured->Count(), 4u);
    ASSERT_EQ(graph.previewed->Count(), 4u);  // the preview pool always had a buffer free
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(graph.captured->samples[i], Pattern(i, 48));
        EXPECT_TRUE(graph.captured->timed[i]);
        EXPECT_EQ(graph.previewed->samples[i], Pattern(i, 48));
        EXPECT_FALSE(graph.previewed->timed[i]);
    }
}

TEST(SmartTee, AFreeOutputIsSkipped) {
    {
        TeeGraph graph(false, true);
        ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
        EXPECT_EQ(graph.previewed->Count(), 4u);
    }
    {
        TeeGraph graph(true, false);
        ASSERT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
        EXPECT_EQ(graph.captured->Count(), 4u);
    }
    {
        TeeGraph graph(false, false);  // the stream ends at the tee
        EXPECT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    }
}

TEST(SmartTee, OutputsConnectOnlyAfterTheInputWithItsType) {
    Graph g;
    auto tee = g.Add(Create(CLSID_SmartTee), u"Tee");
    auto renderer = g.Add(Create(CLSID_NullRenderer), u"Null");
    EXPECT_TRUE(FAILED(g.Connect(tee.Get(), u"Capture", renderer.Get(), u"In")));
    auto source = g.Add(TestSource::Create({}), u"Source");
    ASSERT_EQ(g.Connect(source.Get(), u"Out", tee.Get(), u"Input"), S_OK);
    ASSERT_EQ(g.Connect(tee.Get(), u"Preview", renderer.Get(), u"In"), S_OK);
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(Pin(tee.Get(), u"Preview")->ConnectionMediaType(&type), S_OK);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_RGB24);
    FreeMediaType(type);
}

TEST(SmartTee, StopWhilePausedWithHeldSamplesReturns) {
    TeeGraph graph(true, true);
    ASSERT_TRUE(SUCCEEDED(graph.g.control->Pause()));
    OAFilterState state;
    // The capture renderer holds the first sample, and with it the thread.
    graph.g.control->GetState(100, &state);
    EXPECT_EQ(graph.g.control->Stop(), S_OK);
    EXPECT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
}

}  // namespace
}  // namespace filter_test
