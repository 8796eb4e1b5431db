// Render mode tells the caller's window about the graph's events: each one posted with the
// caller's message number, the event code as wParam and 0 as lParam, completion only once both
// procedures have ended their streams; with a notify mode other than 1 nothing is posted.

#include <gtest/gtest.h>

#include <QWidget>
#include <atomic>
#include <cstring>
#include <tuple>
#include <vector>

#include "platform/com/com.h"
#include "platform/media/events.h"
#include "platform/user/window.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/support/dv_media.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "toolkit/file/file_reader.h"
#include "toolkit/tovik.h"

namespace {

using namespace std::chrono_literals;
using velmora::test::ProcessEventsUntil;

constexpr UINT kFileEvent = WM_USER + 321;
// The video stream ends well before the audio stream, so that completion has to wait for both.
constexpr int kVideoFrames = 10;
constexpr int kAudioFrames = 30;

struct Streams {
    std::atomic<int> video{0}, audio{0};
    std::atomic<bool> videoEnded{false}, audioEnded{false};
};

int VideoProc(std::uint8_t* buffer, std::int32_t* size, void* user) {
    auto* s = static_cast<Streams*>(user);
    if (s->video++ >= kVideoFrames) {
        s->videoEnded = true;
        return 0;
    }
    std::memset(buffer, 0x80, tovik::kPictureBytes);
    *size = std::int32_t(tovik::kPictureBytes);
    return 1;
}

int AudioProc(std::uint8_t* buffer, std::int32_t* size, void* user) {
    auto* s = static_cast<Streams*>(user);
    if (s->audio++ >= kAudioFrames) {
        s->audioEnded = true;
        return 0;
    }
    std::memset(buffer, 0, 1600 * 4);
    *size = 1600 * 4;
    return 1;
}

// Collects every window message posted to it, and whether both streams had ended when
// completion arrived.
class NotifyWindow : public QWidget {
  public:
    explicit NotifyWindow(const Streams* streams) : streams_(streams) {}
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Message> messages;
    int completions = 0;
    bool bothEndedAtCompletion = false;

  protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        messages.push_back({m->message, m->wParam, m->lParam});
        if (m->message == kFileEvent && m->wParam == WPARAM(EC_COMPLETE)) {
            ++completions;
            bothEndedAtCompletion = streams_->videoEnded && streams_->audioEnded;
        }
        return true;
    }

  private:
    const Streams* streams_;
};

class FileNotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(velmora::test::RegisterBridge());
        file_ = TovikFile_Open((dir_ / "notify.avi").c_str(), TOVIK_FILE_RENDER);
        ASSERT_NE(file_, nullptr);
        ASSERT_EQ(TovikFile_SetRenderProc(file_, &VideoProc, &streams_, &AudioProc, &streams_), 1);
    }
    void TearDown() override {
        if (file_) TovikFile_Close(file_);
        CoUninitialize();
    }

    velmora::test::TempRegistry registry_;
    velmora::test::dv::TempDir dir_;
    Streams streams_;
    NotifyWindow window_{&streams_};
    TovikFileHandle file_ = nullptr;
};

TEST_F(FileNotifyTest, ModeOnePostsTheGraphEventsAndCompletionAfterBothStreamsEnd) {
    ASSERT_EQ(TovikFile_StartRendering(file_, 1, platform::HwndFromWidget(&window_), kFileEvent),
              1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window_.completions > 0; }, 60s));
    EXPECT_TRUE(window_.bothEndedAtCompletion);
    EXPECT_EQ(streams_.video, kVideoFrames + 1);
    EXPECT_EQ(streams_.audio, kAudioFrames + 1);
    // A little longer, for anything posted after completion.
    ProcessEventsUntil([] { return false; }, 500ms);
    EXPECT_EQ(window_.completions, 1);
    for (const auto& m : window_.messages) {
        EXPECT_EQ(m.message, kFileEvent);
        EXPECT_EQ(m.lParam, 0);
    }
    EXPECT_EQ(TovikFile_Close(file_), 1);
    file_ = nullptr;
}

TEST_F(FileNotifyTest, OtherModesPostNothingNotEvenCompletion) {
    ASSERT_EQ(TovikFile_StartRendering(file_, 2, platform::HwndFromWidget(&window_), kFileEvent),
              1);
    platform::ComPtr<IMediaEvent> events;
    ASSERT_TRUE(SUCCEEDED(file_->Graph()->QueryInterface(IID_IMediaEvent, events.PutVoid())));
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(60000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    // The graph event thread takes each event at once; give its posts time to arrive.
    ProcessEventsUntil([] { return false; }, 500ms);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_EQ(TovikFile_Close(file_), 1);
    file_ = nullptr;
}

}  // namespace
