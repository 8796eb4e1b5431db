// The per-frame tape analysis, on frames of the virtual deck's sample tapes: it runs for every
// frame recorded and must stay far below a frame period (20 us a frame at most).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/dv/frame_analysis.h"
#include "vdeck/tape_faults.h"
#include "vdeck/tape_maker.h"

namespace {

namespace dv = platform::dv;
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> Frames(dv::System system, int sampleRate) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("velmora-frame-analysis-bench-" + std::to_string(::getpid()) + ".dv");
    std::string error;
    std::vector<Bytes> frames;
    if (!vdeck::MakeSampleTape(path.string(), 1, sampleRate, &error, system)) return frames;
    const std::size_t size = system == dv::System::Pal625 ? dv::kFrameSize625 : dv::kFrameSize525;
    std::ifstream in(path, std::ios::binary);
    Bytes frame(size);
    while (in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(size)))
        frames.push_back(frame);
    std::filesystem::remove(path);
    return frames;
}

void Analyse(benchmark::State& state, dv::System system, int sampleRate, bool damaged) {
    auto frames = Frames(system, sampleRate);
    if (frames.empty()) {
        state.SkipWithError("no sample tape");
        return;
    }
    if (damaged)
        for (auto& f : frames) {
            vdeck::SetVideoStatus(f.data(), f.size(), 0xA, 200);
            vdeck::MarkAudioErrors(f.data(), f.size(), 20);
        }
    dv::FrameEventTracker tracker;
    std::int64_t n = 0;
    for (auto _ : state) {
        const Bytes& frame = frames[n % frames.size()];
        const auto analysis = dv::AnalyseFrame(frame.data(), frame.size());
        benchmark::DoNotOptimize(tracker.Feed(n, analysis));
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(Analyse, ntsc_48k, dv::System::Ntsc525, 48000, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Analyse, pal_32k, dv::System::Pal625, 32000, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Analyse, ntsc_damaged, dv::System::Ntsc525, 48000, true)
    ->Unit(benchmark::kMicrosecond);

void Json(benchmark::State& state) {
    auto frames = Frames(dv::System::Ntsc525, 48000);
    if (frames.empty()) {
        state.SkipWithError("no sample tape");
        return;
    }
    const auto analysis = dv::AnalyseFrame(frames[3].data(), frames[3].size());
    for (auto _ : state) benchmark::DoNotOptimize(dv::FrameJson(3, analysis, {}));
}
BENCHMARK(Json)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
