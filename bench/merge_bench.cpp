// Merging captures of a long tape: speed (tape seconds read per second, over all captures)
// and the process's peak memory. Two captures of a generated tape, each with damaged blocks
// and dropped frames of its own. The default tape is a minute long; --tape-minutes=60 makes
// an hour-long one (about 13 GB a capture; the files are removed afterwards).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/merge/pass_merger.h"
#include "platform/dv/dif.h"
#include "vdeck/deck.h"
#include "vdeck/tape_faults.h"
#include "vdeck/tape_maker.h"

namespace {

namespace dv = platform::dv;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

double g_tapeMinutes = 1;

struct Captures {
    fs::path dir;
    std::vector<std::string> paths;
    std::int64_t frames = 0;
};

// A capture of a tape of `frames` frames: the sample tape's pictures over and over with a
// running time code and recording time; `parity` picks the damaged sequences and the frames
// lost.
bool WriteCapture(const fs::path& path, const std::vector<Bytes>& pictures, std::int64_t frames,
                  int parity) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Bytes frame;
    for (std::int64_t n = 0; n < frames; ++n) {
        if (n % 997 == 200 + parity * 300) continue;  // a frame lost on the link
        frame = pictures[static_cast<std::size_t>(n) % pictures.size()];
        const std::int64_t second = n * 1001 / 30000;
        vdeck::SetTimecode(frame.data(), frame.size(), vdeck::DropFrameTimecode(n), true);
        vdeck::SetRecordingDate(frame.data(), frame.size(), 2026, 12, 8,
                                12 + static_cast<int>(second / 3600),
                                static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
        if (n % 5 == parity)
            vdeck::SetVideoStatus(frame.data(), frame.size(), 0xF, 30,
                                  parity ? vdeck::Sequences::Odd : vdeck::Sequences::Even);
        if (n % 11 == parity) vdeck::MarkAudioErrors(frame.data(), frame.size(), 2);
        out.write(reinterpret_cast<const char*>(frame.data()),
                  static_cast<std::streamsize>(frame.size()));
    }
    return static_cast<bool>(out);
}

bool MakeCaptures(Captures* captures) {
    captures->dir =
        fs::temp_directory_path() / ("velmora-merge-bench-" + std::to_string(::getpid()));
    fs::create_directories(captures->dir);
    const fs::path sample = captures->dir / "sample.dv";
    std::string error;
    if (!vdeck::MakeSampleTape(sample.string(), 2, 48000, &error)) return false;
    std::vector<Bytes> pictures;
    std::ifstream in(sample, std::ios::binary);
    Bytes frame(dv::kFrameSize525);
    while (
        in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size())))
        pictures.push_back(frame);
    if (pictures.empty()) return false;
    captures->frames = static_cast<std::int64_t>(g_tapeMinutes * 60 * 30000 / 1001);
    for (int parity = 0; parity < 2; ++parity) {
        const fs::path path = captures->dir / ("capture" + std::to_string(parity) + ".dv");
        if (!WriteCapture(path, pictures, captures->frames, parity)) return false;
        captures->paths.push_back(path.string());
    }
    return true;
}

void BM_MergeTwoCaptures(benchmark::State& state) {
    Captures captures;
    if (!MakeCaptures(&captures)) {
        fs::remove_all(captures.dir);
        state.SkipWithError("cannot make the captures");
        return;
    }
    velmora::merge::MergeOptions options;
    options.output = (captures.dir / "merged.avi").string();
    options.passes = captures.paths;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = velmora::merge::MergePasses(options);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            break;
        }
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double tapeSeconds = static_cast<double>(captures.frames) * 1001 / 30000;
    const double runs = static_cast<double>(state.iterations());
    state.counters["tape_s"] = tapeSeconds;
    state.counters["realtime_x_per_capture"] = runs > 0 ? tapeSeconds * runs / seconds : 0;
    state.counters["realtime_x_all_captures"] =
        runs > 0 ? tapeSeconds * runs * static_cast<double>(captures.paths.size()) / seconds : 0;
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024;
    fs::remove_all(captures.dir);
}
BENCHMARK(BM_MergeTwoCaptures)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--tape-minutes=", 15) == 0)
            g_tapeMinutes = std::atof(argv[i] + 15);
        else
            rest.push_back(argv[i]);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
