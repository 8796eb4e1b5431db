// CPU cost of a running capture graph (preview decoded and rendered offscreen, plus recording)
// per second of DV, with a virtual deck streaming faster than real time.

#include <benchmark/benchmark.h>
#include <time.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>

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

void CaptureCpuPerDvSecond(benchmark::State& state) {
    velmora::test::TempDir dir;
    ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    CoInitialize(nullptr);
    std::string error;
    auto tapePath = dir.Path() / "tape.dv";
    vdeck::MakeSampleTape(tapePath.string(), 60, 48000, &error);
    const double rate = static_cast<double>(state.range(0));
    auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(tapePath.string(), &error), "Bench");
    vdeck::DeckServer server(deck, vdeck::DeckServer::DefaultSocketPath("Bench"), rate);
    server.Start(&error);

    QWidget window;
    window.resize(720, 560);
    TovikOpenParams params{28, 0, platform::HwndFromWidget(&window), 0, 0,
                           platform::HwndFromWidget(&window), 0};
    TovikCaptureHandle capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
    if (!capture) {
        state.SkipWithError("cannot open the capture object");
        return;
    }
    Tovik_ShowPreviewWindow(capture, 5);
    Tovik_Control(capture, ED_MODE_PLAY, 0);
    auto recording = dir.Path() / "bench.avi";
    Tovik_StartRec(capture, recording.c_str(), 1);
    double dvSeconds = 0, cpuSeconds = 0;
    for (auto _ : state) {
        TovikProgress before{}, after{};
        Tovik_GetRecStatus(capture, &before);
        double cpu = ProcessCpuSeconds();
        velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::seconds(5));
        cpuSeconds += ProcessCpuSeconds() - cpu;
        Tovik_GetRecStatus(capture, &after);
        dvSeconds += (after.position - before.position) / 1e7;
    }
    Tovik_StopRec(capture);
    Tovik_Close(capture);
    state.counters["dv_seconds"] = dvSeconds;
    state.counters["cpu_per_dv_second"] = dvSeconds > 0 ? cpuSeconds / dvSeconds : 0;
    CoUninitialize();
}
BENCHMARK(CaptureCpuPerDvSecond)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond);

// Latency of one still saved as a BMP file from a running capture object.
void SaveBmpLatency(benchmark::State& state) {
    velmora::test::TempDir dir;
    velmora::test::TempRegistry registry;
    ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    std::system((std::string(TOVIK_REGSVR_PATH) + " " + BRIDGE_MODULE_PATH + " > /dev/null").c_str());
    CoInitialize(nullptr);
    std::string error;
    auto tapePath = dir.Path() / "tape.dv";
    vdeck::MakeSampleTape(tapePath.string(), 10, 48000, &error);
    auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(tapePath.string(), &error), "Bench");
    vdeck::DeckServer server(deck, vdeck::DeckServer::DefaultSocketPath("Bench"), 1.0);
    server.Start(&error);
    QWidget window;
    TovikOpenParams params{28, 0, platform::HwndFromWidget(&window), 0, 0,
                           platform::HwndFromWidget(&window), 0};
    TovikCaptureHandle capture = Tovik_Open(0, TOVIK_OPEN_PREVIEW, &params);
    if (!capture) {
        state.SkipWithError("cannot open the capture object");
        return;
    }
    Tovik_Control(capture, ED_MODE_PLAY, 0);
    velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(500));
    auto path = dir.Path() / "still.bmp";
    for (auto _ : state) {
        if (!Tovik_SaveBmp(capture, path.c_str())) state.SkipWithError("no still");
    }
    Tovik_Close(capture);
    CoUninitialize();
}
BENCHMARK(SaveBmpLatency)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
