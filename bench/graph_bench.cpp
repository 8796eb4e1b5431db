// What one frame access through a graph costs: seek to a frame with stop = start, run to
// completion, stop, in a four-filter graph (source -> transform -> in-place -> sink).

#include <benchmark/benchmark.h>

#include "platform/com/com.h"
#include "tests/support/test_filters.h"

namespace {

using platform::ComPtr;
using namespace velmora::test;

ComPtr<IPin> Pin(IBaseFilter* filter, const char16_t* name) {
    ComPtr<IPin> pin;
    filter->FindPin(name, pin.Put());
    return pin;
}

void SeekRunCompleteStop(benchmark::State& state) {
    CoInitialize(nullptr);
    RegisterTestFilters();
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     graph.PutVoid());
    const CLSID* classes[] = {&CLSID_TestFrameSource, &CLSID_TestTransform, &CLSID_TestInPlace,
                              &CLSID_TestSink};
    const char16_t* names[] = {u"Source", u"Transform", u"InPlace", u"Sink"};
    ComPtr<IBaseFilter> filters[4];
    for (int i = 0; i < 4; ++i) {
        CoCreateInstance(*classes[i], nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         filters[i].PutVoid());
        graph->AddFilter(filters[i].Get(), names[i]);
    }
    graph->ConnectDirect(Pin(filters[0].Get(), u"Output").Get(),
                         Pin(filters[1].Get(), u"XForm In").Get(), nullptr);
    graph->ConnectDirect(Pin(filters[1].Get(), u"XForm Out").Get(),
                         Pin(filters[2].Get(), u"XForm In").Get(), nullptr);
    graph->ConnectDirect(Pin(filters[2].Get(), u"XForm Out").Get(),
                         Pin(filters[3].Get(), u"In").Get(), nullptr);
    auto control = graph.As<IMediaControl>();
    auto events = graph.As<IMediaEvent>();
    auto seeking = graph.As<IMediaSeeking>();
    seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    auto* sink = static_cast<TestSink*>(filters[3].Get());

    LONGLONG frame = 0;
    for (auto _ : state) {
        LONGLONG start = frame, stop = frame;
        seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning);
        control->Run();
        LONG code = 0;
        events->WaitForCompletion(INFINITE, &code);
        control->Stop();
        LONG_PTR p1, p2;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        }
        frame = (frame + 37) % 300;
    }
    if (sink->Frames().size() != static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("a run delivered other than one frame");
    sink->Clear();
    graph.Reset();
    CoUninitialize();
}
BENCHMARK(SeekRunCompleteStop)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
