#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/com/com.h"
#include "platform/kernel/thread.h"
#include "tests/support/test_filters.h"

namespace {

using platform::ComPtr;
using namespace velmora::test;

// A graph of test filters: source -> transform -> in-place -> sink, connected without types.
class Graph : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        RegisterTestFilters();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        control = graph.As<IMediaControl>();
        events = graph.As<IMediaEvent>();
        seeking = graph.As<IMediaSeeking>();
    }
    void TearDown() override {
        control.Reset();
        events.Reset();
        seeking.Reset();
        sinkObject = nullptr;
        graph.Reset();
        CoUninitialize();
    }

    ComPtr<IBaseFilter> Add(REFCLSID clsid, const char16_t* name) {
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.PutVoid()),
                  S_OK);
        EXPECT_TRUE(SUCCEEDED(graph->AddFilter(filter.Get(), name)));
        return filter;
    }
    static ComPtr<IPin> Pin(IBaseFilter* filter, const char16_t* name) {
        ComPtr<IPin> pin;
        filter->FindPin(name, pin.Put());
        return pin;
    }
    void Chain(IBaseFilter* from, const char16_t* out, IBaseFilter* to, const char16_t* in) {
        ASSERT_EQ(graph->ConnectDirect(Pin(from, out).Get(), Pin(to, in).Get(), nullptr), S_OK);
    }
    // source -> transform -> in-place -> sink
    void BuildChain(int frames = 300) {
        source = Add(CLSID_TestFrameSource, u"Source");
        auto transform = Add(CLSID_TestTransform, u"Transform");
        auto inPlace = Add(CLSID_TestInPlace, u"InPlace");
        sink = Add(CLSID_TestSink, u"Sink");
        static_cast<TestFrameSource*>(source.Get())->Stream()->SetFrameCount(frames);
        sinkObject = static_cast<TestSink*>(sink.Get());
        Chain(source.Get(), u"Output", transform.Get(), u"XForm In");
        Chain(transform.Get(), u"XForm Out", inPlace.Get(), u"XForm In");
        Chain(inPlace.Get(), u"XForm Out", sink.Get(), u"In");
    }
    HRESULT SeekFrames(LONGLONG start, LONGLONG stop) {
        return seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                     AM_SEEKING_AbsolutePositioning);
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IBaseFilter> source, sink;
    TestSink* sinkObject = nullptr;
};

TEST_F(Graph, RunsToCompletionAndPresentsEveryFrameInOrder) {
    BuildChain(8);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(sinkObject->Frames(), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    // The queue holds one EC_COMPLETE for the whole graph.
    LONG_PTR p1, p2;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    EXPECT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(events->WaitForCompletion(0, &code), VFW_E_WRONG_STATE);
}

TEST_F(Graph, SeekingToOneFrameDeliversExactlyThatFrameEveryTime) {
    BuildChain(300);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG duration = 0;
    ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 300);
    std::mt19937 random(7);
    for (int i = 0; i < 1000; ++i) {
        LONGLONG n = random() % 300;
        ASSERT_EQ(SeekFrames(n, n), S_OK);
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK) << "run " << i;
        ASSERT_EQ(control->Stop(), S_OK);
        ASSERT_EQ(sinkObject->Frames(), std::vector<std::uint32_t>{static_cast<std::uint32_t>(n)})
            << "run " << i;
        sinkObject->Clear();
        LONG_PTR p1, p2;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        }
    }
}

TEST_F(Graph, PausedGraphHoldsTheNewFrameAfterASeek) {
    BuildChain(300);
    seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    control->Pause();
    OAFilterState state;
    ASSERT_EQ(control->GetState(5000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    ASSERT_EQ(SeekFrames(120, 130), S_OK);
    ASSERT_EQ(control->GetState(5000, &state), S_OK);  // ready again with the new frame
    EXPECT_TRUE(sinkObject->Frames().empty());
    ASSERT_EQ(control->Run(), S_OK);
    LONG code;
    ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    auto frames = sinkObject->Frames();
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames.front(), 120u);
    EXPECT_EQ(frames.back(), 129u);
}

TEST_F(Graph, SeekWhileRunningRestartsTheStreamAtTheNewPosition) {
    BuildChain(3000);
    seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    ASSERT_EQ(control->Run(), S_OK);
    Sleep(100);
    ASSERT_EQ(SeekFrames(2000, 2005), S_OK);
    LONG code;
    ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    auto frames = sinkObject->Frames();
    ASSERT_GE(frames.size(), 5u);
    EXPECT_EQ(std::vector<std::uint32_t>(frames.end() - 5, frames.end()),
              (std::vector<std::uint32_t>{2000, 2001, 2002, 2003, 2004}));
    LONGLONG position = 0;
    seeking->GetCurrentPosition(&position);
    EXPECT_EQ(position, 2004);
}

TEST_F(Graph, NegativeRatePlaysBackwards) {
    BuildChain(100);
    seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    ASSERT_EQ(SeekFrames(5, 100), S_OK);
    ASSERT_EQ(seeking->SetRate(-4.0), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    LONG code;
    ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(sinkObject->Frames(), (std::vector<std::uint32_t>{5, 4, 3, 2, 1, 0}));
    double rate = 0;
    seeking->GetRate(&rate);
    EXPECT_EQ(rate, -4.0);
}

TEST_F(Graph, StopReturnsWhileTheStreamIsBlockedInAPausedRenderer) {
    BuildChain(300);
    for (int i = 0; i < 50; ++i) {
        control->Pause();
        OAFilterState state;
        ASSERT_EQ(control->GetState(5000, &state), S_OK);  // source thread now blocked
        ASSERT_EQ(control->Stop(), S_OK);
    }
}

TEST_F(Graph, StateChangesInAnyOrderNeverDeadlock) {
    BuildChain(100000);
    std::mt19937 random(11);
    for (int i = 0; i < 300; ++i) {
        switch (random() % 3) {
            case 0:
                ASSERT_TRUE(SUCCEEDED(control->Run()));
                break;
            case 1:
                ASSERT_TRUE(SUCCEEDED(control->Pause()));
                break;
            case 2:
                ASSERT_TRUE(SUCCEEDED(control->Stop()));
                break;
        }
        if (random() % 4 == 0) Sleep(random() % 5);
    }
    control->Stop();
}

TEST_F(Graph, OnlyConnectedRenderersCountTowardsCompletion) {
    BuildChain(3);
    Add(CLSID_TestSink, u"Idle sink");
    ASSERT_EQ(control->Run(), S_OK);
    LONG code;
    EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
}

TEST_F(Graph, EventHandleIsSetExactlyWhileEventsAreQueued) {
    auto sinkIface = graph.As<IMediaEventSink>();
    OAEVENT raw = 0;
    ASSERT_EQ(events->GetEventHandle(&raw), S_OK);
    auto handle = reinterpret_cast<HANDLE>(raw);
    LONG code;
    LONG_PTR p1, p2;
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
    sinkIface->Notify(EC_USER + 1, 11, 12);
    sinkIface->Notify(EC_USER + 2, 21, 22);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_USER + 1);
    EXPECT_EQ(p1, 11);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_USER + 2);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);

    // A waiting reader wakes when an event arrives from another thread.
    platform::Thread notifier([&] {
        Sleep(30);
        sinkIface->Notify(EC_DEVICE_LOST, 0, 0);
    });
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 5000), S_OK);
    EXPECT_EQ(code, EC_DEVICE_LOST);
}

TEST_F(Graph, RepaintIsHandledByTheGraphUnlessCancelled) {
    auto sinkIface = graph.As<IMediaEventSink>();
    LONG code;
    LONG_PTR p1, p2;
    sinkIface->Notify(EC_REPAINT, 0, 0);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    ASSERT_EQ(events->CancelDefaultHandling(EC_REPAINT), S_OK);
    sinkIface->Notify(EC_REPAINT, 0, 0);
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_REPAINT);
    ASSERT_EQ(events->RestoreDefaultHandling(EC_REPAINT), S_OK);
    sinkIface->Notify(EC_REPAINT, 0, 0);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
}

TEST_F(Graph, NamesAreUniqueAndFiltersAreFoundByThem) {
    auto first = Add(CLSID_TestSink, u"Sink");
    ComPtr<IBaseFilter> second;
    CoCreateInstance(CLSID_TestSink, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     second.PutVoid());
    EXPECT_EQ(graph->AddFilter(second.Get(), u"Sink"), VFW_S_DUPLICATE_NAME);
    ComPtr<IBaseFilter> found;
    ASSERT_EQ(graph->FindFilterByName(u"Sink", found.Put()), S_OK);
    EXPECT_EQ(found, first);
    ASSERT_EQ(graph->FindFilterByName(u"Sink 0001", found.Put()), S_OK);
    EXPECT_EQ(found, second);
    EXPECT_EQ(graph->FindFilterByName(u"sink", found.Put()), VFW_E_NOT_FOUND);

    ComPtr<IEnumFilters> all;
    ASSERT_EQ(graph->EnumFilters(all.Put()), S_OK);
    IBaseFilter* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(3, listed, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) listed[i]->Release();

    EXPECT_EQ(graph->RemoveFilter(second.Get()), S_OK);
    EXPECT_EQ(graph->RemoveFilter(second.Get()), VFW_E_NOT_FOUND);
    FILTER_INFO info{};
    second->QueryFilterInfo(&info);
    EXPECT_EQ(info.pGraph, nullptr);
}

TEST_F(Graph, ConnectionsAreCheckedAndOnlyWhileStopped) {
    source = Add(CLSID_TestFrameSource, u"Source");
    sink = Add(CLSID_TestSink, u"Sink");
    ComPtr<IBaseFilter> outside;
    CoCreateInstance(CLSID_TestSink, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     outside.PutVoid());
    auto out = Pin(source.Get(), u"Output");
    auto in = Pin(sink.Get(), u"In");
    EXPECT_EQ(graph->ConnectDirect(nullptr, in.Get(), nullptr), E_POINTER);
    EXPECT_EQ(graph->ConnectDirect(in.Get(), out.Get(), nullptr), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(graph->ConnectDirect(out.Get(), Pin(outside.Get(), u"In").Get(), nullptr),
              VFW_E_NOT_IN_GRAPH);
    CMediaType audio(&MEDIATYPE_Audio);
    audio.SetFormatType(&FORMAT_WaveFormatEx);
    EXPECT_TRUE(FAILED(graph->ConnectDirect(out.Get(), in.Get(), &audio)));
    ASSERT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK);
    EXPECT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), VFW_E_ALREADY_CONNECTED);

    AM_MEDIA_TYPE type{};
    ASSERT_EQ(in->ConnectionMediaType(&type), S_OK);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_TestFrames);
    FreeMediaType(type);

    control->Pause();
    EXPECT_EQ(graph->Disconnect(in.Get()), VFW_E_NOT_STOPPED);
    control->Stop();
    EXPECT_EQ(graph->Disconnect(in.Get()), S_OK);
    EXPECT_EQ(graph->Disconnect(out.Get()), S_OK);
    EXPECT_EQ(graph->Disconnect(out.Get()), S_FALSE);
}

TEST(GraphLifetime, ReleasingAConnectedGraphFreesEveryObject) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    RegisterTestFilters();
    long before = CUnknown::ObjectCount();
    {
        ComPtr<IGraphBuilder> graph;
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         graph.PutVoid());
        ComPtr<IBaseFilter> source, sink;
        CoCreateInstance(CLSID_TestFrameSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         source.PutVoid());
        CoCreateInstance(CLSID_TestSink, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         sink.PutVoid());
        graph->AddFilter(source.Get(), u"Source");
        graph->AddFilter(sink.Get(), u"Sink");
        ComPtr<IPin> out, in;
        source->FindPin(u"Output", out.Put());
        sink->FindPin(u"In", in.Put());
        ASSERT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK);
        graph.As<IMediaControl>()->Run();
        Sleep(20);
    }
    EXPECT_EQ(CUnknown::ObjectCount(), before);
    CoUninitialize();
}

}  // namespace

namespace {

TEST_F(Graph, AnAbortIsNotOverwrittenByALaterCompletion) {
    BuildChain(3);
    ASSERT_EQ(control->Run(), S_OK);
    graph.As<IMediaEventSink>()->Notify(EC_ERRORABORT, E_FAIL, 0);
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    Sleep(200);  // the renderer completes meanwhile
    ASSERT_EQ(events->WaitForCompletion(0, &code), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
}

}  // namespace

namespace {

// A source with two output pins, each streaming numbered samples on its own thread.
class TwoStreamSource final : public CSource {
  public:
    TwoStreamSource() : CSource("two streams", nullptr, GUID_NULL) {
        HRESULT hr = S_OK;
        new CountStream(this, &hr, u"Output 0");
        new CountStream(this, &hr, u"Output 1");
    }
    CSourceStream* Stream(int i) { return m_paStreams[i].get(); }

  private:
    class CountStream final : public CSourceStream {
      public:
        CountStream(CSource* filter, HRESULT* hr, LPCWSTR name)
            : CSourceStream("count", hr, filter, name) {}
        HRESULT GetMediaType(CMediaType* type) override {
            *type = CMediaType(&MEDIATYPE_Video);
            type->SetSubtype(&MEDIASUBTYPE_TestFrames);
            type->SetFormatType(&FORMAT_None);
            return S_OK;
        }
        using CSourceStream::GetMediaType;
        HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
            request->cBuffers = 1;
            request->cbBuffer = 4;
            ALLOCATOR_PROPERTIES actual{};
            return allocator->SetProperties(request, &actual);
        }
        HRESULT FillBuffer(IMediaSample* sample) override {
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::memcpy(data, &next_, 4);
            ++next_;
            sample->SetActualDataLength(4);
            return S_OK;
        }

      private:
        std::uint32_t next_ = 0;
    };
};

// A pause that fails half way through a filter is undone for the whole filter: the pin that
// did become active stops its thread and frees its pool, and once threads can be had again
// both pins stream.
TEST_F(Graph, APauseThatFailsHalfWayLeavesNothingRunning) {
    auto* two = new TwoStreamSource;
    ComPtr<IBaseFilter> source(static_cast<IBaseFilter*>(two));  // holds the only reference
    ASSERT_EQ(graph->AddFilter(source.Get(), u"Two"), S_OK);
    ComPtr<IBaseFilter> sinks[2] = {Add(CLSID_TestSink, u"Sink 0"), Add(CLSID_TestSink, u"Sink 1")};
    Chain(source.Get(), u"Output 0", sinks[0].Get(), u"In");
    Chain(source.Get(), u"Output 1", sinks[1].Get(), u"In");

    int starts = 0;
    platform::SetThreadStartFault([&starts] { return ++starts == 2; });  // the second pin's
    const HRESULT refused = control->Run();
    platform::SetThreadStartFault({});
    EXPECT_TRUE(FAILED(refused));
    EXPECT_FALSE(two->Stream(0)->ThreadExists());
    EXPECT_FALSE(two->Stream(1)->ThreadExists());
    FILTER_STATE state = State_Running;
    EXPECT_EQ(source->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    ComPtr<IMemInputPin> input = Pin(sinks[0].Get(), u"In").As<IMemInputPin>();
    ComPtr<IMemAllocator> pool;
    ASSERT_EQ(input->GetAllocator(pool.Put()), S_OK);
    IMediaSample* sample = nullptr;
    EXPECT_EQ(pool->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (auto& sink : sinks) {
        auto* frames = static_cast<TestSink*>(sink.Get());
        for (int i = 0; i < 500 && frames->Frames().empty(); ++i) Sleep(10);
        EXPECT_FALSE(frames->Frames().empty());
    }
    EXPECT_EQ(control->Stop(), S_OK);
}

// The graph pauses its renderers before the source, so the first pin's thread may already be
// blocked delivering to its paused renderer when the second pin fails to start. Undoing the
// pause must let that thread go (downstream is flushed around it) so it can be joined; a
// rollback that only joins it waits forever.
TEST_F(Graph, APauseUndoneHalfWayLetsGoOfAThreadBlockedInAPausedRenderer) {
    auto* two = new TwoStreamSource;
    ComPtr<IBaseFilter> source(static_cast<IBaseFilter*>(two));
    ASSERT_EQ(graph->AddFilter(source.Get(), u"Two"), S_OK);
    ComPtr<IBaseFilter> sinks[2] = {Add(CLSID_TestSink, u"Sink 0"), Add(CLSID_TestSink, u"Sink 1")};
    Chain(source.Get(), u"Output 0", sinks[0].Get(), u"In");
    Chain(source.Get(), u"Output 1", sinks[1].Get(), u"In");

    // The second pin's thread fails to start only once the first pin's sample is held by its
    // paused renderer, so the first thread is surely blocked there.
    int starts = 0;
    HRESULT refused = S_OK;
    platform::Thread runner;
    ASSERT_TRUE(runner.Start([&] {
        platform::SetThreadStartFault([&starts, &sinks] {
            if (++starts != 2) return false;
            FILTER_STATE state = State_Stopped;
            sinks[0]->GetState(10000, &state);  // ready once it holds a sample
            return true;
        });
        refused = control->Run();
    }));
    const bool returned = runner.Join(20000);
    if (!returned) {
        // Frees the blocked thread from outside, so the failure is reported rather than hung.
        ComPtr<IPin> input = Pin(sinks[0].Get(), u"In");
        input->BeginFlush();
        input->EndFlush();
        runner.Join();
    }
    platform::SetThreadStartFault({});
    EXPECT_TRUE(returned) << "the pause was not undone: a pin thread blocked downstream";
    EXPECT_TRUE(FAILED(refused));
    EXPECT_FALSE(two->Stream(0)->ThreadExists());
    EXPECT_FALSE(two->Stream(1)->ThreadExists());

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (auto& sink : sinks) {
        auto* frames = static_cast<TestSink*>(sink.Get());
        for (int i = 0; i < 500 && frames->Frames().empty(); ++i) Sleep(10);
        EXPECT_FALSE(frames->Frames().empty());
    }
    EXPECT_EQ(control->Stop(), S_OK);
}

}  // namespace
