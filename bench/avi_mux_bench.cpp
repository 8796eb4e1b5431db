// AVI Mux + File Writer throughput: a DV stream from memory written as a type-1 AVI file to the
// temporary directory, end of stream included (indexes and headers). Reported as frames a second
// and as a multiple of real time (29.97 frames a second); the aim is to be bound by the disk.

#include <benchmark/benchmark.h>

#include "tests/platform/filters/avi_test_support.h"

namespace {

using namespace avi_test;

void AviMuxToFileWriter(benchmark::State& state) {
    CoInitialize(nullptr);
    TempDir dir;
    const auto clip = MakeDvFrames(dir, 60);
    if (clip.size() != 60) {
        state.SkipWithError("ffmpeg made no DV clip");
        return;
    }
    const std::int64_t frames = state.range(0);
    auto source = [&](std::int64_t i, BYTE* out) {
        if (i >= frames) return false;
        std::memcpy(out, clip[size_t(i % 60)].data(), kDvFrameSize);
        return true;
    };
    std::string path = dir.File("bench.avi");
    for (auto _ : state) {
        WriteGraph w(source, path);
        if (w.g.RunToCompletion(600000) != EC_COMPLETE) state.SkipWithError("no completion");
        w.g.control->Stop();
    }
    double total = double(frames) * double(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
    state.counters["x realtime"] = benchmark::Counter(total / 29.97, benchmark::Counter::kIsRate);
    state.counters["MB/s"] = benchmark::Counter(total * 120008 / 1e6, benchmark::Counter::kIsRate);
}
// 60 s of DV (216 MB) per run.
BENCHMARK(AviMuxToFileWriter)->Arg(1800)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
