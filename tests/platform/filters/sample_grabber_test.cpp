#include <cstring>

#include "tests/platform/filters/filter_test_support.h"

namespace filter_test {
namespace {

struct GrabberGraph {
    explicit GrabberGraph(SourceSpec spec, bool connectOutput = true) {
        source = g.Add(TestSource::Create(std::move(spec)), u"Source");
        grabberFilter = g.Add(Create(CLSID_SampleGrabber), u"Grabber");
        grabber = grabberFilter.As<ISampleGrabber>();
        EXPECT_EQ(g.Connect(source.Get(), u"Out", grabberFilter.Get(), u"Input"), S_OK);
        if (!connectOutput) return;
        renderer = g.Add(Create(CLSID_NullRenderer), u"Null");
        EXPECT_EQ(g.Connect(grabberFilter.Get(), u"Output", renderer.Get(), u"In"), S_OK);
    }
    Graph g;
    ComPtr<IBaseFilter> source, grabberFilter, renderer;
    ComPtr<ISampleGrabber> grabber;
};

TEST(SampleGrabber, OneShotEndsTheStreamAfterTheFirstSampleAndKeepsIt) {
    GrabberGraph graph(Samples(5, 64));
    auto recorder = Recorder::Create();
    ASSERT_EQ(graph.grabber->SetOneShot(TRUE), S_OK);
    ASSERT_EQ(graph.grabber->SetBufferSamples(TRUE), S_OK);
    ASSERT_EQ(graph.grabber->SetCallback(recorder.Get(), 0), S_OK);

    EXPECT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    EXPECT_EQ(recorder->Count(), 1u);

    LONG size = 0;
    ASSERT_EQ(graph.grabber->GetCurrentBuffer(&size, nullptr), S_OK);
    ASSERT_EQ(size, 64);

    // Too small: fails, copies nothing and leaves the size as given.
    std::vector<BYTE> small(64, 0xEE);
    LONG smallSize = 63;
    EXPECT_EQ(graph.grabber->GetCurrentBuffer(&smallSize, reinterpret_cast<LONG*>(small.data())),
              E_OUTOFMEMORY);
    EXPECT_EQ(smallSize, 63);
    EXPECT_EQ(small, std::vector<BYTE>(64, 0xEE));

    std::vector<BYTE> bytes(80, 0);
    LONG bigSize = 80;
    ASSERT_EQ(graph.grabber->GetCurrentBuffer(&bigSize, reinterpret_cast<LONG*>(bytes.data())),
              S_OK);
    EXPECT_EQ(bigSize, 64);
    bytes.resize(64);
    EXPECT_EQ(bytes, Pattern(0, 64));

    // A new run (stop -> pause) grabs again.
    ASSERT_EQ(graph.g.control->Stop(), S_OK);
    EXPECT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    EXPECT_EQ(recorder->Count(), 2u);
}

TEST(SampleGrabber, WithItsOutputFreeTheStreamEndsAtTheGrabber) {
    GrabberGraph graph(Samples(4, 32), false);
    auto recorder = Recorder::Create();
    ASSERT_EQ(graph.grabber->SetBufferSamples(TRUE), S_OK);
    ASSERT_EQ(graph.grabber->SetCallback(recorder.Get(), 1), S_OK);

    EXPECT_EQ(graph.g.RunToCompletion(), EC_COMPLETE);
    ASSERT_EQ(recorder->Count(), 4u);
    EXPECT_EQ(recorder->samples[3], Pattern(3, 32));
    std::vector<BYTE> last(32);
    LONG size = 32;
    ASSERT_EQ(graph.grabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(last.data())), S_OK);
    EXPECT_EQ(last, Pattern(3, 32));
}

TEST(SampleGrabber, BufferAndTypeQueriesAnswerThePlatformCodes) {
    CoInitialize(nullptr);
    auto filter = Create(CLSID_SampleGrabber);
    auto grabber = filter.As<ISampleGrabber>();
    ASSERT_TRUE(grabber);
    LONG size = 0;
    EXPECT_EQ(grabber->GetCurrentBuffer(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(grabber->GetCurrentBuffer(&size, nullptr), E_INVALIDARG);  // not buffering
    grabber->SetBufferSamples(TRUE);
    EXPECT_EQ(grabber->GetCurrentBuffer(&size, nullptr), VFW_E_WRONG_STATE);  // nothing yet
    AM_MEDIA_TYPE type{};
    EXPECT_EQ(grabber->GetConnectedMediaType(&type), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(grabber->SetMediaType(nullptr), E_POINTER);
    EXPECT_EQ(grabber->SetCallback(nullptr, 2), E_INVALIDARG);
    ComPtr<IMediaSample> sample;
    EXPECT_EQ(grabber->GetCurrentSample(sample.Put()), E_NOTIMPL);
    EXPECT_FALSE(sample);
}

TEST(SampleGrabber, SetMediaTypeRestrictsTheInputWithWildcards) {
    {
        GrabberGraph unrestricted({});
        AM_MEDIA_TYPE type{};
        ASSERT_EQ(unrestricted.grabber->GetConnectedMediaType(&type), S_OK);
        EXPECT_EQ(type.majortype, MEDIATYPE_Video);
        EXPECT_EQ(type.subtype, MEDIASUBTYPE_RGB24);
        FreeMediaType(type);
    }
    Graph g;
    auto source = g.Add(TestSource::Create({}), u"Source");
    auto filter = g.Add(Create(CLSID_SampleGrabber), u"Grabber");
    auto grabber = filter.As<ISampleGrabber>();
    CMediaType wanted(&MEDIATYPE_Video);
    wanted.SetSubtype(&MEDIASUBTYPE_YUY2);
    ASSERT_EQ(grabber->SetMediaType(&wanted), S_OK);
    EXPECT_TRUE(FAILED(g.Connect(source.Get(), u"Out", filter.Get(), u"Input")));

    wanted.SetSubtype(&GUID_NULL);  // any video
    ASSERT_EQ(grabber->SetMediaType(&wanted), S_OK);
    EXPECT_EQ(g.Connect(source.Get(), u"Out", filter.Get(), u"Input"), S_OK);
}

}  // namespace
}  // namespace filter_test
