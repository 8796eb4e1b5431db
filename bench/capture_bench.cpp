// CPU cost of a running capture graph (preview decoded and rendered offscreen, plus recording)
// per second of DV, with a virtual deck streaming faster than real time.

#include <benchmark/benchmark.h>
#include <time.h>

#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/com/com.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "toolkit/tovik.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace {

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// A virtual deck playing a test-pattern tape, and a capture object previewing it in a window.
class DeckWithCapture {
  public:
    DeckWithCapture(const std::filesystem::path& dir, int seconds, double rate, QWidget* window) {
        std::string error;
        auto tapePath = dir / "tape.dv";
        vdeck::MakeSampleTape(tapePath.string(), seconds, 48000, &error);
        auto deck =
            std::make_shared<vdeck::Deck>(vdeck::Tape::Open(tapePath.string(), &error), "Bench");
        server_ = std::make_unique<vdeck::DeckServer>(
            deck, vdeck::DeckServer::DefaultSocketPath("Bench"), rate);
        server_->Start(&error);
        const HWND hwnd = platform::HwndFromWidget(window);
        TovikOpenParams params{28, 0, hwnd, 0, 0, hwnd, 0};
        capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
        if (capture) Tovik_Control(capture, ED_MODE_PLAY, 0);
    }
    ~DeckWithCapture() {
        if (capture) Tovik_Close(capture);
    }
    DeckWithCapture(const DeckWithCapture&) = delete;
    DeckWithCapture& operator=(const DeckWithCapture&) = delete;

    TovikCaptureHandle capture = nullptr;

  private:
    std::unique_ptr<vdeck::DeckServer> server_;
};

void CaptureCpuPerDvSecond(benchmark::State& state) {
    velmora::test::TempDir dir;
    velmora::test::TempRegistry registry;
    ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    velmora::test::RegisterBridge();
    CoInitialize(nullptr);
    {
        QWidget window;
        window.resize(720, 560);
        DeckWithCapture bench(dir.Path(), 60, static_cast<double>(state.range(0)), &window);
        if (!bench.capture) {
            state.SkipWithError("cannot open the capture object");
            return;
        }
        Tovik_ShowPreviewWindow(bench.capture, 5);
        auto recording = dir.Path() / "bench.avi";
        Tovik_StartRec(bench.capture, recording.c_str(), 1);
        double dvSeconds = 0, cpuSeconds = 0;
        for (auto _ : state) {
            TovikProgress before{}, after{};
            Tovik_GetRecStatus(bench.capture, &before);
            double cpu = ProcessCpuSeconds();
            velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::seconds(5));
            cpuSeconds += ProcessCpuSeconds() - cpu;
            Tovik_GetRecStatus(bench.capture, &after);
            dvSeconds += (after.position - before.position) / 1e7;
        }
        Tovik_StopRec(bench.capture);
        state.counters["dv_seconds"] = dvSeconds;
        state.counters["cpu_per_dv_second"] = dvSeconds > 0 ? cpuSeconds / dvSeconds : 0;
    }
    CoUninitialize();
}
BENCHMARK(CaptureCpuPerDvSecond)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond);

// Latency of one still saved as a BMP file from a running capture object.
void SaveBmpLatency(benchmark::State& state) {
    velmora::test::TempDir dir;
    velmora::test::TempRegistry registry;
    ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    velmora::test::RegisterBridge();
    CoInitialize(nullptr);
    {
        QWidget window;
        DeckWithCapture bench(dir.Path(), 10, 1.0, &window);
        if (!bench.capture) {
            state.SkipWithError("cannot open the capture object");
            return;
        }
        velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(500));
        auto path = dir.Path() / "still.bmp";
        for (auto _ : state) {
            if (!Tovik_SaveBmp(bench.capture, path.c_str())) state.SkipWithError("no still");
        }
    }
    CoUninitialize();
}
BENCHMARK(SaveBmpLatency)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace
