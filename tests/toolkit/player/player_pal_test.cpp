// The player with a 625-line (PAL) file: its length and positions in its own frames, play at 25
// frames a second to the end, and stills of the whole 720x576 picture.

#include <gtest/gtest.h>

#include <QWidget>
#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/com/com.h"
#include "platform/media/events.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/support/dv_media.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "toolkit/tovik.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velmora::test::ProcessEventsUntil;
namespace dv = velmora::test::dv;

constexpr UINT kPlayEvent = WM_USER + 200;
constexpr int kMadeFrames = 56;  // ffmpeg's DV writer keeps fewer: those with whole sound

class CompletionWindow : public QWidget {
  public:
    int completions = 0;

  protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == kPlayEvent && m->wParam == EC_COMPLETE) ++completions;
        return true;
    }
};

TEST(PalPlayer, PlaysAPalFileInItsOwnFramesAndTime) {
    velmora::test::TempRegistry registry;
    velmora::test::TempDir runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_TRUE(velmora::test::RegisterBridge());
    dv::TempDir dir;
    const auto raw = dir / "pal.dv", avi = dir / "pal.avi";
    ASSERT_TRUE(
        dv::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=720x576:rate=25 -f "
                "lavfi -i sine=frequency=1000:sample_rate=48000 -frames:v " +
                std::to_string(kMadeFrames) + " -target pal-dv -y '" + raw.string() +
                "' 2>/dev/null || test -s '" + raw.string() + "'"));
    const std::int64_t frames = std::int64_t(std::filesystem::file_size(raw) / 144000);
    ASSERT_GE(frames, 40);
    ASSERT_TRUE(dv::Run("ffmpeg -nostdin -v error -f dv -i '" + raw.string() +
                        "' -c:v copy -c:a pcm_s16le -f avi -y '" + avi.string() + "'"));

    CompletionWindow window;
    window.resize(800, 600);
    window.show();
    TovikPlayParams params{};
    params.size = sizeof params;
    params.ownerWindow = platform::HwndFromWidget(&window);
    params.right = 720;
    params.bottom = 576;
    params.windowStyle = WS_CHILD | WS_CLIPSIBLINGS;
    params.windowState = SW_SHOW;
    TovikPlayHandle player = TovikPlay_Open(&params, avi.c_str());
    ASSERT_NE(player, nullptr) << "error " << TovikPlay_GetError(nullptr);
    TovikPlay_SetCallback(player, params.ownerWindow, kPlayEvent, 1);
    std::int64_t length = 0;
    EXPECT_EQ(TovikPlay_GetLength(player, &length), 1);
    EXPECT_EQ(length, frames);

    // A paused frame: its still is the whole PAL picture, which a 720x480 buffer cannot take.
    ASSERT_EQ(TovikPlay_SetCurrentPos(player, 30), 1);
    std::int64_t position = -1;
    TovikPlay_GetCurrentPos(player, &position);
    EXPECT_EQ(position, 30);
    std::vector<BYTE> small(720 * 480 * 3);
    int out = 7;
    EXPECT_EQ(TovikPlay_GetOneShot(player, small.data(), &out), 0);
    const auto bmp = dir / "pal.bmp";
    ASSERT_EQ(TovikPlay_SaveBmp(player, bmp.c_str()), 1);
    dv::Bytes file = dv::ReadFile(bmp);
    ASSERT_EQ(file.size(), 54u + 720 * 576 * 3);
    dv::Bytes frame30 = dv::FfmpegPictures(raw, 720, 576).at(30);
    EXPECT_GE(dv::Psnr(dv::Bytes(file.begin() + 54, file.end()), dv::FlipRows(frame30, 2160)),
              45.0);

    // Play from the start: at 25 frames a second.
    ASSERT_EQ(TovikPlay_SetCurrentPos(player, 0), 1);
    const auto start = Clock::now();
    ASSERT_EQ(TovikPlay_Control(player, ED_MODE_PLAY, 0), 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.completions > 0; }, 20s));
    [[maybe_unused]] const double seconds =
        std::chrono::duration<double>(Clock::now() - start).count();
    TovikPlay_GetCurrentPos(player, &position);
    EXPECT_EQ(position, frames - 1);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
    EXPECT_NEAR(seconds, double(frames) / 25, 0.3);  // not at 30 frames a second
#endif
    EXPECT_EQ(TovikPlay_Close(player), 1);
    CoUninitialize();
}

}  // namespace
