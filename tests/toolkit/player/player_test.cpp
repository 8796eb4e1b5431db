// The player family against generated DV AVI files with the video window offscreen: opening,
// stepping, play ranges, looping, rates, commands outside the table, null handles, playback
// timing and stills checked against ffmpeg's decode.

#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>
#include <chrono>
#include <cstring>
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
constexpr int kFrames = 300;
constexpr double kMinPsnr = 45.0;

struct Posted {
    WPARAM code;
    LPARAM param;
    Clock::time_point when;
};

// The caller's window: owns the video window and collects the posted graph events.
class NotifyWindow : public QWidget {
  public:
    std::vector<Posted> events;

    int Completions() const {
        int count = 0;
        for (const auto& e : events) count += e.code == EC_COMPLETE;
        return count;
    }

  protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == kPlayEvent) events.push_back({m->wParam, m->lParam, Clock::now()});
        return true;
    }
};

// One 300-frame DV AVI for the whole suite: NTSC test pattern with a tone in every frame.
class Media {
  public:
    Media() {
        const auto raw = dir_ / "tape.dv";
        if (!dv::MakeNtscDv(raw, kFrames)) return;
        frames_ = dv::SplitFrames(dv::ReadFile(raw));
        avi_ = dir_ / "tape.avi";
        dv::Run("ffmpeg -nostdin -loglevel error -y -f dv -i '" + raw.string() +
                "' -c:v copy -c:a pcm_s16le -f avi '" + avi_.string() + "'");
    }
    const std::filesystem::path& Avi() const { return avi_; }
    // ffmpeg's bottom-up picture of frame n.
    dv::Bytes Picture(int n) const {
        const auto one = dir_ / "one.dv";
        dv::WriteFile(one, frames_.at(n));
        auto pictures = dv::FfmpegPictures(one);
        return pictures.empty() ? dv::Bytes{} : dv::FlipRows(pictures[0], 2160);
    }

  private:
    dv::TempDir dir_;
    std::vector<dv::Bytes> frames_;
    std::filesystem::path avi_;
};

class Player : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { media_ = new Media; }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }

    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(velmora::test::RegisterBridge());
        ASSERT_TRUE(std::filesystem::exists(media_->Avi()));
        window_.resize(800, 600);
        window_.show();
        params_.size = sizeof(TovikPlayParams);
        params_.ownerWindow = platform::HwndFromWidget(&window_);
        params_.right = 720;
        params_.bottom = 480;
        params_.windowStyle = WS_CHILD | WS_CLIPSIBLINGS;
        params_.windowState = SW_SHOW;
    }
    void TearDown() override {
        if (handle_) {
            EXPECT_EQ(TovikPlay_Close(handle_), 1);
        }
        CoUninitialize();
    }

    void Open() {
        handle_ = TovikPlay_Open(&params_, media_->Avi().c_str());
        ASSERT_NE(handle_, nullptr) << "error " << TovikPlay_GetError(nullptr);
        EXPECT_EQ(TovikPlay_SetCallback(handle_, params_.ownerWindow, kPlayEvent, 1), 0);
    }
    std::int64_t Position() {
        std::int64_t position = -1;
        EXPECT_EQ(TovikPlay_GetCurrentPos(handle_, &position), 1);
        return position;
    }
    void Wait(std::chrono::milliseconds time) {
        ProcessEventsUntil([] { return false; }, time);
    }
    // The picture the video window shows (720 x 480, as opened), bottom-up like a still.
    dv::Bytes Shown() {
        auto* video = window_.findChild<QWidget*>();
        if (!video) return {};
        QImage shot = video->grab().toImage().convertToFormat(QImage::Format_BGR888);
        if (shot.width() != 720 || shot.height() != 480) return {};
        dv::Bytes picture(720 * 480 * 3);
        for (int y = 0; y < 480; ++y)
            std::memcpy(&picture[std::size_t(479 - y) * 2160], shot.constScanLine(y), 2160);
        return picture;
    }
    bool WaitForCompletions(int count, std::chrono::milliseconds timeout = 15s) {
        return ProcessEventsUntil([&] { return window_.Completions() >= count; }, timeout);
    }
    // Seconds from now until the next completion is posted; negative when none came.
    double SecondsToCompletion(int command) {
        const int before = window_.Completions();
        const auto start = Clock::now();
        EXPECT_EQ(TovikPlay_Control(handle_, command, 0), 1);
        if (!WaitForCompletions(before + 1, 30s)) return -1;
        return std::chrono::duration<double>(window_.events.back().when - start).count();
    }

    static Media* media_;
    velmora::test::TempRegistry registry_;
    velmora::test::TempDir runtime_;
    velmora::test::TempDir files_;
    NotifyWindow window_;
    TovikPlayParams params_{};
    TovikPlayHandle handle_ = nullptr;
};

Media* Player::media_ = nullptr;

TEST_F(Player, OpensPausedAtFrameZeroWithTheWholeFileAsRange) {
    Open();
    EXPECT_EQ(TovikPlay_GetError(handle_), 0);
    EXPECT_EQ(TovikPlay_GetError(nullptr), 0);
    EXPECT_EQ(Position(), 0);
    std::int64_t length = 0;
    EXPECT_EQ(TovikPlay_GetLength(handle_, &length), 1);
    EXPECT_EQ(length, kFrames);
    // The video window lives inside the caller's window.
    EXPECT_FALSE(window_.findChildren<QWidget*>().isEmpty());

    // Stays paused on frame 0: nothing moves and nothing completes.
    Wait(500ms);
    EXPECT_EQ(Position(), 0);
    std::vector<BYTE> picture(720 * 480 * 3);
    int out = -1;
    EXPECT_EQ(TovikPlay_GetOneShot(handle_, picture.data(), &out), 1);
    EXPECT_EQ(out, 0);
    EXPECT_GE(dv::Psnr(picture, media_->Picture(0)), kMinPsnr);
    // The range is 0 to n-1: play from near the end stops at the last frame, stop goes to 0.
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, kFrames - 10), 1);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY, 0), 1);
    ASSERT_TRUE(WaitForCompletions(1));
    EXPECT_EQ(Position(), kFrames - 1);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STOP, 0), 1);
    EXPECT_EQ(Position(), 0);

    EXPECT_EQ(TovikPlay_Close(handle_), 1);
    handle_ = nullptr;
    Wait(200ms);
    EXPECT_TRUE(window_.findChildren<QWidget*>().isEmpty());
}

TEST_F(Player, WindowAndSideEntriesAnswerAsDocumented) {
    Open();
    EXPECT_EQ(TovikPlay_Create(7), nullptr);
    EXPECT_EQ(TovikPlay_Destroy(handle_), 0);
    EXPECT_EQ(TovikPlay_EnableAudioMonitor(handle_, 0), 0);
    EXPECT_EQ(TovikPlay_ShowWindow(handle_, SW_HIDE), 1);
    EXPECT_EQ(TovikPlay_ShowWindow(handle_, SW_SHOW), 1);
    TovikRect rect{10, 20, 370, 260};
    EXPECT_EQ(TovikPlay_SetWindowRect(handle_, &rect), 1);
    EXPECT_EQ(TovikPlay_SetWindowStyle(handle_, 0, WS_CHILD), 1);
    EXPECT_EQ(TovikPlay_SetWindowStyle(handle_, 1, 0), 1);
    EXPECT_EQ(TovikPlay_SetWindowStyle(handle_, 5, 0), 1);

    // Flags 0 keep the window set at open; the completion still arrives there.
    EXPECT_EQ(TovikPlay_SetCallback(handle_, 0, kPlayEvent + 1, 0), 0);
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, kFrames - 5), 1);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY, 0), 1);
    EXPECT_TRUE(WaitForCompletions(1));
}

TEST_F(Player, StepsBothWaysAndIgnoresUnknownCommands) {
    Open();
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, 40), 1);
    EXPECT_EQ(Position(), 40);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STEP_FWD, 0), 1);
    EXPECT_EQ(Position(), 41);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STEP_FWD, 0), 1);
    EXPECT_EQ(Position(), 42);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STEP_REV, 0), 1);
    EXPECT_EQ(Position(), 41);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STEP_REV, 0), 1);
    EXPECT_EQ(Position(), 40);

    for (int command : {0, ED_MODE_FF, ED_MODE_SHUTTLE, ED_MODE_PLAY_SLOWEST_FWD, -1})
        EXPECT_EQ(TovikPlay_Control(handle_, command, 99), 1) << command;
    Wait(500ms);
    EXPECT_EQ(Position(), 40);
    EXPECT_EQ(window_.Completions(), 0);
}

TEST_F(Player, PlaysARangeFromTheMiddleAndStopsAtItsEnd) {
    Open();
    EXPECT_EQ(TovikPlay_SetPlayRange(handle_, 100, 199), 1);
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, 150), 1);
    EXPECT_EQ(Position(), 150);
    double seconds = SecondsToCompletion(ED_MODE_PLAY);
    // 50 frames from 150 to 199 at 29.97 frames a second.
    EXPECT_GT(seconds, 1.2);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(Position(), 199);
    // Without looping nothing restarts and one completion is all.
    Wait(1s);
    EXPECT_EQ(window_.Completions(), 1);
    EXPECT_EQ(Position(), 199);

    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STOP, 0), 1);
    EXPECT_EQ(Position(), 100);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_FREEZE, 0), 1);
    EXPECT_EQ(Position(), 100);
}

TEST_F(Player, LoopsTheRangeWithOneCompletionPerPass) {
    Open();
    EXPECT_EQ(TovikPlay_SetLoop(handle_, 1), 1);
    EXPECT_EQ(TovikPlay_SetPlayRange(handle_, 100, 129), 1);
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, 100), 1);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY, 0), 1);
    ASSERT_TRUE(WaitForCompletions(3, 10s));
    // A pass is 30 frames, about one second.
    for (int i = 1; i < 3; ++i) {
        double gap =
            std::chrono::duration<double>(window_.events[i].when - window_.events[i - 1].when)
                .count();
        EXPECT_GT(gap, 0.7) << i;
        EXPECT_LT(gap, 1.5) << i;
    }
    std::int64_t position = Position();
    EXPECT_GE(position, 100);
    EXPECT_LE(position, 129);

    // With no notify window nothing is posted, but the restarts go on.
    EXPECT_EQ(TovikPlay_SetCallback(handle_, 0, kPlayEvent, 1), 0);
    Wait(200ms);
    const std::size_t posted = window_.events.size();
    std::vector<std::int64_t> seen;
    for (int i = 0; i < 25; ++i) {
        Wait(100ms);
        seen.push_back(Position());
    }
    EXPECT_EQ(window_.events.size(), posted);
    for (auto p : seen) {
        EXPECT_GE(p, 100);
        EXPECT_LE(p, 129);
    }
    EXPECT_NE(std::min_element(seen.begin(), seen.end()) - seen.begin(),
              std::max_element(seen.begin(), seen.end()) - seen.begin());

    // Looping off: the pass under way ends and stays at the last frame.
    EXPECT_EQ(TovikPlay_SetCallback(handle_, params_.ownerWindow, kPlayEvent, 1), 0);
    EXPECT_EQ(TovikPlay_SetLoop(handle_, 0), 1);
    const int before = window_.Completions();
    ASSERT_TRUE(WaitForCompletions(before + 1, 3s));
    Wait(1500ms);
    EXPECT_EQ(window_.Completions(), before + 1);
    EXPECT_EQ(Position(), 129);
}

TEST_F(Player, FastPlayBothWaysAndBackToNormalSpeed) {
    Open();
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY_FASTEST_FWD, 0), 1);
    Wait(1s);
    std::int64_t fast = Position();
    EXPECT_GT(fast, 45);  // about 60 frames a second
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY, 0), 1);
    std::int64_t from = Position();
    Wait(1s);
    std::int64_t normal = Position() - from;
    EXPECT_GT(normal, 20);  // about 30 frames a second
    EXPECT_LT(normal, 40);

    // Reverse play shows frames backwards.
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, 250), 1);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_PLAY_FASTEST_REV, 0), 1);
    Wait(1s);
    std::int64_t back = Position();
    EXPECT_LT(back, 220);
    EXPECT_GT(back, 150);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_FREEZE, 0), 1);
    Wait(300ms);
    back = Position();
    Wait(300ms);
    EXPECT_EQ(Position(), back);
}

TEST_F(Player, PlaysTheFileInItsOwnTimeAndTwiceAsFast) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "timing is not meaningful under a sanitizer";
#endif
    Open();
    // 300 frames at 30000/1001 frames a second: 10.01 s.
    double normal = SecondsToCompletion(ED_MODE_PLAY);
    EXPECT_GE(normal, 9.8);
    EXPECT_LE(normal, 10.2);
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STOP, 0), 1);
    double fast = SecondsToCompletion(ED_MODE_PLAY_FASTEST_FWD);
    EXPECT_GE(fast, 4.5);
    EXPECT_LE(fast, 5.5);
}

// Open and a seek while paused come back once the window shows the frame asked for.
TEST_F(Player, ShowsTheFrameAskedForWhilePaused) {
    Open();
    EXPECT_GE(dv::Psnr(Shown(), media_->Picture(0)), kMinPsnr);
    for (int n : {123, 37, 250}) {
        EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, n), 1);
        const dv::Bytes shown = Shown();
        EXPECT_GE(dv::Psnr(shown, media_->Picture(n)), kMinPsnr) << n;
        EXPECT_LT(dv::Psnr(shown, media_->Picture(n - 3)), kMinPsnr) << n;
    }
    // A step does not wait for its frame, which shows soon after.
    EXPECT_EQ(TovikPlay_Control(handle_, ED_MODE_STEP_FWD, 0), 1);
    const dv::Bytes next = media_->Picture(251);
    EXPECT_TRUE(ProcessEventsUntil([&] { return dv::Psnr(Shown(), next) >= kMinPsnr; }));
}

TEST_F(Player, StillsOfAPausedFrameMatchFfmpeg) {
    Open();
    EXPECT_EQ(TovikPlay_SetCurrentPos(handle_, 123), 1);
    Wait(300ms);
    std::vector<BYTE> picture(720 * 480 * 3);
    int out = -1;
    EXPECT_EQ(TovikPlay_GetOneShot(handle_, picture.data(), &out), 1);
    EXPECT_EQ(out, 0);
    const dv::Bytes reference = media_->Picture(123);
    ASSERT_EQ(reference.size(), picture.size());
    EXPECT_GE(dv::Psnr(picture, reference), kMinPsnr);
    EXPECT_LT(dv::Psnr(picture, media_->Picture(120)), kMinPsnr);  // it is not a near frame

    const auto bmp = files_.Path() / "still.bmp";
    EXPECT_EQ(TovikPlay_SaveBmp(handle_, bmp.c_str()), 1);
    auto file = dv::ReadFile(bmp);
    ASSERT_EQ(file.size(), 1036854u);
    EXPECT_GE(dv::Psnr(dv::Bytes(file.begin() + 54, file.end()), reference), kMinPsnr);

    const auto nowhere = files_.Path() / "missing" / "still.bmp";
    EXPECT_EQ(TovikPlay_SaveBmp(handle_, nowhere.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

TEST_F(Player, NullHandlesAndFailedOpens) {
    std::int64_t value = 0;
    TovikRect rect{};
    EXPECT_EQ(TovikPlay_Control(nullptr, ED_MODE_PLAY, 0), -1);
    EXPECT_EQ(TovikPlay_ShowWindow(nullptr, SW_SHOW), -1);
    EXPECT_EQ(TovikPlay_SetWindowRect(nullptr, &rect), -1);
    EXPECT_EQ(TovikPlay_EnableAudioMonitor(nullptr, 1), -1);
    EXPECT_EQ(TovikPlay_GetCurrentPos(nullptr, &value), -1);
    EXPECT_EQ(TovikPlay_SetCurrentPos(nullptr, 0), -1);
    EXPECT_EQ(TovikPlay_SetPlayRange(nullptr, 0, 1), -1);
    EXPECT_EQ(TovikPlay_GetLength(nullptr, &value), -1);
    EXPECT_EQ(TovikPlay_SetCallback(nullptr, 1, kPlayEvent, 1), -1);
    EXPECT_EQ(TovikPlay_SetLoop(nullptr, 1), -1);
    EXPECT_EQ(TovikPlay_SetWindowStyle(nullptr, 0, 0), -1);
    EXPECT_EQ(TovikPlay_GetOneShot(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(TovikPlay_Close(nullptr), 0);
    EXPECT_EQ(TovikPlay_SaveBmp(nullptr, "x.bmp"), 0);
    EXPECT_EQ(TovikPlay_Destroy(nullptr), 0);

    // Failed opens leave their cause and nothing in the caller's window.
    params_.size = 44;
    EXPECT_EQ(TovikPlay_Open(&params_, media_->Avi().c_str()), nullptr);
    EXPECT_EQ(TovikPlay_GetError(nullptr), 2);
    params_.size = sizeof(TovikPlayParams);
    EXPECT_EQ(TovikPlay_Open(&params_, (files_.Path() / "none.avi").c_str()), nullptr);
    EXPECT_EQ(TovikPlay_GetError(nullptr), 0);
    const auto text = files_.Path() / "text.avi";
    dv::WriteFile(text, dv::Bytes(4096, 'x'));
    EXPECT_EQ(TovikPlay_Open(&params_, text.c_str()), nullptr);
    EXPECT_TRUE(window_.findChildren<QWidget*>().isEmpty());
    // A good open after them works.
    Open();
    EXPECT_EQ(TovikPlay_GetError(nullptr), 0);
}

}  // namespace
