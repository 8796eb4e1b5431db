// The file reader: random access to single frames, and the cost of the sample index that the
// first audio request late in a file has to fill.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "platform/com/com.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/avi_test_support.h"
#include "toolkit/file/file_reader.h"
#include "toolkit/tovik.h"

namespace {

namespace dv = velmora::test::dv;

constexpr int kMadeFrames = 300;           // encoded by ffmpeg
constexpr int kFileFrames = 3000;          // the made frames over and over
constexpr double kOneHourFrames = 107892;  // NTSC frames in an hour

// A type-1 DV AVI file of kFileFrames frames made once from ffmpeg-made ones.
const std::string& BenchFile() {
    static avi_test::TempDir dir;
    static const std::string path = [] {
        CoInitialize(nullptr);
        const std::string raw = dir.File("bench.dv"), avi = dir.File("bench.avi");
        dv::MakeNtscDv(raw, kMadeFrames);
        const auto frames = dv::SplitFrames(dv::ReadFile(raw));
        avi_test::WriteAvi(
            [&frames](std::int64_t i, BYTE* out) {
                if (i >= kFileFrames || frames.empty()) return false;
                const auto& frame = frames[std::size_t(i) % frames.size()];
                std::memcpy(out, frame.data(), frame.size());
                return true;
            },
            avi);
        return avi;
    }();
    return path;
}

void GetFrameRandomAccess(benchmark::State& state) {
    TovikFileHandle file = TovikFile_Open(BenchFile().c_str(), TOVIK_FILE_FRAMES);
    if (!file) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<std::uint8_t> picture(tovik::kPictureBytes), audio(tovik::kFrameAudioBytes);
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> pick(0, TovikFile_GetLength(file) - 1);
    for (auto _ : state) {
        int bytes = 0;
        TovikFile_GetFrame(file, pick(random), picture.data(), audio.data(), &bytes);
        benchmark::DoNotOptimize(bytes);
    }
    TovikFile_Close(file);
}
BENCHMARK(GetFrameRandomAccess)->Unit(benchmark::kMillisecond);

// The first request for a sample in the last frame fills the whole index; the figure for a
// one-hour file scales the per-frame cost to 107892 frames.
void FirstLateAudioRequest(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(4 * 100);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TovikFileHandle file = TovikFile_Open(BenchFile().c_str(), TOVIK_FILE_AUDIO);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        TovikFile_GetAudio(file, (kFileFrames - 1) * 1600, 100, buffer.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        TovikFile_Close(file);
        state.ResumeTiming();
    }
    const double perFrame = seconds / double(state.iterations()) / kFileFrames;
    state.counters["ms_per_frame"] = perFrame * 1e3;
    state.counters["one_hour_s"] = perFrame * kOneHourFrames;
}
BENCHMARK(FirstLateAudioRequest)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
