#include "platform/user/window.h"

#include <gtest/gtest.h>

#include <QThread>
#include <QWidget>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/kernel/thread.h"
#include "tests/support/qt_main.h"

namespace {

using velmora::test::ProcessEventsUntil;

constexpr UINT WM_TEST = WM_USER + 7;

// Records the messages it receives; answers lParam * 2 to WM_TEST.
class RecordingWidget : public QWidget {
public:
    struct Received {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool onOwnThread;
    };
    std::vector<Received> received;

protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        received.push_back({m->message, m->wParam, m->lParam, QThread::currentThread() == thread()});
        if (m->message == WM_TEST) m->result = m->lParam * 2;
        m->accept();
        return true;
    }
};

TEST(Window, HandlesAreStableAndDroppedWithTheWidget) {
    auto widget = std::make_unique<QWidget>();
    HWND hwnd = platform::HwndFromWidget(widget.get());
    EXPECT_NE(hwnd, 0u);
    EXPECT_EQ(platform::HwndFromWidget(widget.get()), hwnd);
    EXPECT_EQ(platform::WidgetFromHwnd(hwnd), widget.get());
    EXPECT_TRUE(IsWindow(hwnd));
    widget.reset();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(platform::WidgetFromHwnd(hwnd), nullptr);
    EXPECT_EQ(PostMessage(hwnd, WM_TEST, 0, 0), FALSE);
    EXPECT_EQ(SendMessage(hwnd, WM_TEST, 0, 1), 0);
    EXPECT_EQ(PostMessage(0xFFFFFFF0u, WM_TEST, 0, 0), FALSE);
    EXPECT_EQ(platform::HwndFromWidget(nullptr), 0u);
}

TEST(Window, PostedMessagesFromManyThreadsArriveInOrderPerThread) {
    RecordingWidget widget;
    HWND hwnd = platform::HwndFromWidget(&widget);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10000;
    std::atomic<int> refused{0};
    {
        std::vector<std::unique_ptr<platform::Thread>> senders;
        for (int t = 0; t < kThreads; ++t) {
            senders.push_back(std::make_unique<platform::Thread>([&, t] {
                for (int i = 0; i < kPerThread; ++i)
                    if (!PostMessage(hwnd, WM_TEST, t, i)) ++refused;
            }));
        }
    }
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return widget.received.size() == kThreads * kPerThread; }));
    std::vector<LPARAM> next(kThreads, 0);
    for (const auto& r : widget.received) {
        ASSERT_LT(r.wParam, static_cast<WPARAM>(kThreads));
        ASSERT_EQ(r.lParam, next[r.wParam]) << "thread " << r.wParam;
        ++next[r.wParam];
        ASSERT_TRUE(r.onOwnThread);
    }
}

TEST(Window, MessagesPostedToAWidgetDestroyedBeforeDeliveryAreDropped) {
    auto widget = std::make_unique<RecordingWidget>();
    HWND hwnd = platform::HwndFromWidget(widget.get());
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    platform::Thread sender([&] {
        while (!stop)
            if (PostMessage(hwnd, WM_TEST, 0, 0)) ++accepted;
    });
    ProcessEventsUntil([&] { return accepted > 100; });
    widget.reset();
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    stop = true;
    sender.Join();
    EXPECT_EQ(PostMessage(hwnd, WM_TEST, 0, 0), FALSE);
}

TEST(Window, SendMessageRunsOnTheWindowsThreadAndAnswersItsResult) {
    RecordingWidget widget;
    HWND hwnd = platform::HwndFromWidget(&widget);
    EXPECT_EQ(SendMessage(hwnd, WM_TEST, 0, 21), 42);

    std::atomic<LRESULT> answer{-1};
    platform::Thread worker([&] { answer = SendMessage(hwnd, WM_TEST, 1, 50); });
    ASSERT_TRUE(ProcessEventsUntil([&] { return answer.load() != -1; }));
    EXPECT_EQ(answer.load(), 100);
    ASSERT_EQ(widget.received.size(), 2u);
    EXPECT_TRUE(widget.received[1].onOwnThread);
}

// Calls handed to the windows' thread run there, in order with the messages posted before them;
// a waiting caller returns once its call has run, and the windows' thread can let calls through
// while it waits itself.
TEST(Window, CallsRunOnTheWindowsThreadInOrderWithMessages) {
    RecordingWidget widget;
    HWND hwnd = platform::HwndFromWidget(&widget);
    std::vector<int> order;  // the windows' thread's alone
    bool ranHere = false;
    EXPECT_TRUE(platform::RunOnWindowThread([&] { ranHere = true; }, true));  // at once here
    EXPECT_TRUE(ranHere);

    std::atomic<bool> returned{false};
    platform::Thread worker([&] {
        PostMessage(hwnd, WM_TEST, 0, 1);
        platform::RunOnWindowThread(
            [&] { order.push_back(static_cast<int>(widget.received.size())); }, false);
        platform::RunOnWindowThread(
            [&] {
                EXPECT_EQ(QThread::currentThread(), widget.thread());
                order.push_back(-1);
            },
            true);
        returned = true;
    });
    // The windows' thread waits for the worker and delivers what it queued meanwhile.
    while (!worker.Join(10)) platform::DispatchQueuedMessages();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(order, (std::vector<int>{1, -1}));  // after the message that came before them
    ASSERT_EQ(widget.received.size(), 1u);
    EXPECT_TRUE(widget.received[0].onOwnThread);
}

TEST(Window, TimersDeliverTheirIdentifierUntilKilled) {
    RecordingWidget widget;
    HWND hwnd = platform::HwndFromWidget(&widget);
    EXPECT_EQ(SetTimer(hwnd, 11, 10, nullptr), 11u);
    ASSERT_TRUE(ProcessEventsUntil([&] { return widget.received.size() >= 3; }));
    for (const auto& r : widget.received) {
        EXPECT_EQ(r.message, WM_TIMER);
        EXPECT_EQ(r.wParam, 11u);
    }
    EXPECT_EQ(KillTimer(hwnd, 11), TRUE);
    EXPECT_EQ(KillTimer(hwnd, 11), FALSE);
    std::size_t count = widget.received.size();
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(60));
    EXPECT_EQ(widget.received.size(), count);
    EXPECT_EQ(SetTimer(0xFFFFFFF0u, 1, 10, nullptr), 0u);
}

}  // namespace
