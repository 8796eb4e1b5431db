// CPU use of the player playing a DV AVI file in real time into a video window shown
// offscreen, with sound, as a share of one core.

#include <benchmark/benchmark.h>
#include <time.h>

#include <QWidget>
#include <chrono>
#include <cstdlib>

#include "platform/com/com.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "toolkit/tovik.h"

namespace {

namespace dv = velmora::test::dv;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// A DV AVI of the given length: test pattern and a tone in every frame.
bool MakeAvi(const std::filesystem::path& dir, int frames) {
    auto raw = dir / "tape.dv";
    return dv::MakeNtscDv(raw, frames) &&
           dv::Run("ffmpeg -nostdin -loglevel error -y -f dv -i '" + raw.string() +
                   "' -c:v copy -c:a pcm_s16le -f avi '" + (dir / "tape.avi").string() + "'");
}

void PlaybackCpuShareOfOneCore(benchmark::State& state) {
    velmora::test::TempDir dir;
    velmora::test::TempRegistry registry;
    ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    velmora::test::RegisterBridge();
    CoInitialize(nullptr);
    if (!MakeAvi(dir.Path(), 600)) {
        state.SkipWithError("cannot make the DV AVI file");
        return;
    }
    QWidget window;
    window.resize(720, 480);
    window.show();
    TovikPlayParams params{};
    params.size = sizeof(params);
    params.ownerWindow = platform::HwndFromWidget(&window);
    params.right = 720;
    params.bottom = 480;
    params.windowState = 5;  // shown
    TovikPlayHandle player = TovikPlay_Open(&params, (dir.Path() / "tape.avi").c_str());
    if (!player) {
        state.SkipWithError("cannot open the player");
        return;
    }
    TovikPlay_SetLoop(player, 1);
    TovikPlay_Control(player, ED_MODE_PLAY, 0);
    double cpuSeconds = 0, wallSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        double cpu = ProcessCpuSeconds();
        velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::seconds(10));
        cpuSeconds += ProcessCpuSeconds() - cpu;
        wallSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    TovikPlay_Close(player);
    state.counters["cpu_share_of_one_core"] = wallSeconds > 0 ? cpuSeconds / wallSeconds : 0;
    CoUninitialize();
}
BENCHMARK(PlaybackCpuShareOfOneCore)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
