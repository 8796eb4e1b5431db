// DV decoding to RGB24 through the DV Video Decoder filter on one thread (source -> decoder ->
// sink, frames untimed so nothing waits for the clock), side by side with the ffmpeg command
// line decoding the same file to bgr24 with one thread. Both report frames per second.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "platform/com/com.h"
#include "platform/dv/dvinfo.h"
#include "platform/filters/dv_types.h"
#include "tests/platform/dv/dv_test_filters.h"
#include "tests/support/test_filters.h"

namespace {

using platform::ComPtr;
using namespace velmora::test::dv;

constexpr int kFrames = 600;

struct Media {
    TempDir dir;
    std::filesystem::path file = dir / "bench.dv";
    std::vector<Bytes> frames;
    bool ok = false;
    Media() {
        ok = MakeNtscDv(file, kFrames);
        if (ok) frames = SplitFrames(ReadFile(file));
    }
};

Media& TheMedia() {
    static Media media;
    return media;
}

ComPtr<IPin> Pin(IBaseFilter* filter, const char16_t* name) {
    ComPtr<IPin> pin;
    filter->FindPin(name, pin.Put());
    return pin;
}

void DecoderFilterToRgb24(benchmark::State& state) {
    Media& media = TheMedia();
    if (!media.ok) {
        state.SkipWithError("ffmpeg could not make the test file");
        return;
    }
    CoInitialize(nullptr);
    velmora::test::RegisterTestFilters();
    {
        ComPtr<IGraphBuilder> graph;
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         graph.PutVoid());
        DVINFO info{};
        platform::dv::BuildDvInfo(media.frames[0].data(), media.frames[0].size(), &info);
        CMediaType type;
        platform::filters::MakeInterleavedType(&type, platform::dv::System::Ntsc525, info);
        auto source = BufferSource::Create(type, media.frames, 0);
        ComPtr<IBaseFilter> decoder, sink;
        CoCreateInstance(CLSID_DVVideoCodec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         decoder.PutVoid());
        CoCreateInstance(velmora::test::CLSID_TestSink, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IBaseFilter, sink.PutVoid());
        graph->AddFilter(source.Get(), u"Source");
        graph->AddFilter(decoder.Get(), u"DV Video Decoder");
        graph->AddFilter(sink.Get(), u"Sink");
        graph->ConnectDirect(Pin(source.Get(), u"Output").Get(),
                             Pin(decoder.Get(), u"XForm In").Get(), nullptr);
        graph->ConnectDirect(Pin(decoder.Get(), u"XForm Out").Get(), Pin(sink.Get(), u"In").Get(),
                             nullptr);  // the first offer: RGB24
        auto control = graph.As<IMediaControl>();
        auto events = graph.As<IMediaEvent>();
        for (auto _ : state) {
            control->Run();
            LONG code = 0;
            events->WaitForCompletion(INFINITE, &code);
            control->Stop();
            LONG_PTR p1, p2;
            while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            }
        }
        auto* counted = static_cast<velmora::test::TestSink*>(sink.Get());
        if (counted->Frames().size() != static_cast<std::size_t>(state.iterations()) * kFrames)
            state.SkipWithError("frames were lost");
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
    CoUninitialize();
}
BENCHMARK(DecoderFilterToRgb24)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void FfmpegCommandLineToBgr24(benchmark::State& state) {
    Media& media = TheMedia();
    if (!media.ok) {
        state.SkipWithError("ffmpeg could not make the test file");
        return;
    }
    const std::string command = "ffmpeg -nostdin -loglevel error -threads 1 -i '" +
                                media.file.string() + "' -f rawvideo -pix_fmt bgr24 -y /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}
BENCHMARK(FfmpegCommandLineToBgr24)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
