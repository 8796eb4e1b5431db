// The player: how long TovikPlay_Open and a seek while paused take on a type-2 DV AVI file
// written by ffmpeg and on a type-1 file of our AVI Mux (both paused graphs must settle with a
// frame in each renderer), whether the picture shown after each seek is the frame asked for,
// and the CPU use of playing a file in real time into a video window shown offscreen, with
// sound, as a share of one core.

#include <benchmark/benchmark.h>
#include <time.h>

#include <QImage>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/com/com.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/avi_test_support.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "toolkit/tovik.h"

namespace {

namespace dv = velmora::test::dv;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 600;
constexpr double kSamePicturePsnr = 40.0;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// What every benchmark here needs, set up once on a fresh machine: a temporary registry with
// the bridge registered in it, and the two DV AVI files made from one ffmpeg-made DV tape.
class Setup {
  public:
    static const Setup& Get() {
        static const Setup setup;
        return setup;
    }
    bool Ready() const { return ready_; }
    std::string File(int aviType) const { return aviType == 1 ? type1_ : type2_; }

  private:
    Setup() {
        ::setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
        CoInitialize(nullptr);
        const auto raw = dir_.Path() / "tape.dv";
        type2_ = (dir_.Path() / "type2.avi").string();
        type1_ = (dir_.Path() / "type1.avi").string();
        if (!velmora::test::RegisterBridge() || !dv::MakeNtscDv(raw, kFrames)) return;
        if (!dv::Run("ffmpeg -nostdin -loglevel error -y -f dv -i '" + raw.string() +
                     "' -c:v copy -c:a pcm_s16le -f avi '" + type2_ + "'"))
            return;
        const auto frames = dv::SplitFrames(dv::ReadFile(raw));
        avi_test::WriteAvi(avi_test::FramesOf(frames), type1_);
        ready_ = std::filesystem::exists(type1_);
    }

    velmora::test::TempRegistry registry_;
    velmora::test::TempDir dir_;
    std::string type1_, type2_;
    bool ready_ = false;
};

// The caller's window with the player's video window inside it, 720 x 480 so that the picture
// is shown unscaled.
class Owner {
  public:
    Owner() {
        window_.resize(720, 480);
        window_.show();
        params_.size = sizeof(params_);
        params_.ownerWindow = platform::HwndFromWidget(&window_);
        params_.right = 720;
        params_.bottom = 480;
        params_.windowStyle = WS_CHILD | WS_CLIPSIBLINGS;
        params_.windowState = SW_SHOW;
    }
    TovikPlayHandle Open(const std::string& file) const {
        return TovikPlay_Open(&params_, file.c_str());
    }
    // Lets the GUI thread destroy what a closed player left to it.
    static void Settle() {
        velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    // The picture the video window shows, as 720 x 480 bottom-up BGR like a still.
    std::vector<BYTE> Shown() const {
        auto* video = window_.findChild<QWidget*>();
        if (!video) return {};
        QImage shot = video->grab().toImage().convertToFormat(QImage::Format_BGR888);
        if (shot.width() != 720 || shot.height() != 480) return {};
        std::vector<BYTE> picture(720 * 480 * 3);
        for (int y = 0; y < 480; ++y)
            std::memcpy(&picture[std::size_t(479 - y) * 2160], shot.constScanLine(y), 2160);
        return picture;
    }

  private:
    QWidget window_;
    TovikPlayParams params_{};
};

void Open(benchmark::State& state) {
    const Setup& setup = Setup::Get();
    if (!setup.Ready()) {
        state.SkipWithError("cannot make the DV AVI files");
        return;
    }
    Owner owner;
    const std::string file = setup.File(int(state.range(0)));
    for (auto _ : state) {
        TovikPlayHandle player = owner.Open(file);
        state.PauseTiming();
        if (!player) {
            state.SkipWithError("cannot open the player");
            break;
        }
        TovikPlay_Close(player);
        Owner::Settle();
        state.ResumeTiming();
    }
}
BENCHMARK(Open)
    ->ArgName("avi_type")
    ->Arg(2)
    ->Arg(1)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Seeks while paused to frames spread over the file; after each, the picture on screen must be
// the frame the still grab decodes, which is the frame the seek asked for.
void PausedSeek(benchmark::State& state) {
    const Setup& setup = Setup::Get();
    if (!setup.Ready()) {
        state.SkipWithError("cannot make the DV AVI files");
        return;
    }
    Owner owner;
    TovikPlayHandle player = owner.Open(setup.File(int(state.range(0))));
    if (!player) {
        state.SkipWithError("cannot open the player");
        return;
    }
    std::vector<BYTE> still(720 * 480 * 3);
    std::int64_t target = 0;
    int wrongFrames = 0, wrongPictures = 0;
    for (auto _ : state) {
        target = (target + 137) % kFrames;
        TovikPlay_SetCurrentPos(player, target);
        state.PauseTiming();
        std::int64_t position = -1;
        int out = 0;
        TovikPlay_GetCurrentPos(player, &position);
        wrongFrames += position != target;
        wrongPictures += TovikPlay_GetOneShot(player, still.data(), &out) != 1 ||
                         dv::Psnr(owner.Shown(), still) < kSamePicturePsnr;
        state.ResumeTiming();
    }
    TovikPlay_Close(player);
    Owner::Settle();
    state.counters["wrong_positions"] = wrongFrames;
    state.counters["wrong_pictures"] = wrongPictures;
}
BENCHMARK(PausedSeek)
    ->ArgName("avi_type")
    ->Arg(2)
    ->Arg(1)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void PlaybackCpuShareOfOneCore(benchmark::State& state) {
    const Setup& setup = Setup::Get();
    if (!setup.Ready()) {
        state.SkipWithError("cannot make the DV AVI files");
        return;
    }
    Owner owner;
    TovikPlayHandle player = owner.Open(setup.File(2));
    if (!player) {
        state.SkipWithError("cannot open the player");
        return;
    }
    TovikPlay_SetLoop(player, 1);
    TovikPlay_Control(player, ED_MODE_PLAY, 0);
    double cpuSeconds = 0, wallSeconds = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        double cpu = ProcessCpuSeconds();
        velmora::test::ProcessEventsUntil([] { return false; }, std::chrono::seconds(10));
        cpuSeconds += ProcessCpuSeconds() - cpu;
        wallSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    TovikPlay_Close(player);
    state.counters["cpu_share_of_one_core"] = wallSeconds > 0 ? cpuSeconds / wallSeconds : 0;
}
BENCHMARK(PlaybackCpuShareOfOneCore)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
