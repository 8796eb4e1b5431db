// The C interface's message windows: posts from any thread reach the procedure on the thread
// that dispatches, in order, and the descriptor tells when they wait.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/capi/velmora_platform.h"
#include "platform/user/window.h"

namespace {

struct Received {
    VelmoraWindow window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    std::thread::id thread;
};

void Record(VelmoraWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam, void* user) {
    static_cast<std::vector<Received>*>(user)->push_back(
        {window, message, wParam, lParam, std::this_thread::get_id()});
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

class MessageWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = VelmoraWindow_CreateMessageWindow(&Record, &received);
        ASSERT_NE(window, 0u);
    }
    void TearDown() override { VelmoraWindow_Destroy(window); }

    std::vector<Received> received;
    VelmoraWindow window = 0;
};

TEST_F(MessageWindowTest, PostsFromAnotherThreadArriveInOrderOnTheDispatchingThread) {
    const int fd = VelmoraWindow_GetFd(window);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd, 0));
    EXPECT_EQ(IsWindow(window), TRUE);

    std::thread poster([w = window] {
        for (int i = 0; i < 100; ++i) PostMessageW(w, WM_USER + 1, WPARAM(i), LPARAM(-i));
    });
    poster.join();
    ASSERT_TRUE(Readable(fd, 10000));
    EXPECT_EQ(VelmoraWindow_Dispatch(window), 100);
    ASSERT_EQ(received.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(received[i].window, window);
        EXPECT_EQ(received[i].message, WM_USER + 1);
        EXPECT_EQ(received[i].wParam, uintptr_t(i));
        EXPECT_EQ(received[i].lParam, intptr_t(-i));
        EXPECT_EQ(received[i].thread, std::this_thread::get_id());
    }
    EXPECT_FALSE(Readable(fd, 0));
    EXPECT_EQ(VelmoraWindow_Dispatch(window), 0);
}

TEST_F(MessageWindowTest, SendFromAnotherThreadWaitsForTheDispatch) {
    std::atomic<bool> returned{false};
    std::thread sender([&, w = window] {
        SendMessageW(w, WM_USER + 2, 7, 8);
        returned = true;
    });
    ASSERT_TRUE(Readable(VelmoraWindow_GetFd(window), 10000));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(VelmoraWindow_Dispatch(window), 1);
    sender.join();
    EXPECT_TRUE(returned.load());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].wParam, 7u);

    // On its own thread a sent message runs at once.
    SendMessageW(window, WM_USER + 3, 1, 2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].message, WM_USER + 3);
}

TEST_F(MessageWindowTest, AnEndedWindowRefusesPostsAndReleasesAWaitingSender) {
    std::thread sender([w = window] { SendMessageW(w, WM_USER + 4, 0, 0); });
    ASSERT_TRUE(Readable(VelmoraWindow_GetFd(window), 10000));
    VelmoraWindow_Destroy(window);
    sender.join();  // answered 0 by the window's end, not left waiting
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(PostMessageW(window, WM_USER, 0, 0), FALSE);
    EXPECT_EQ(IsWindow(window), FALSE);
    EXPECT_EQ(VelmoraWindow_GetFd(window), -1);
    EXPECT_EQ(VelmoraWindow_Dispatch(window), -1);
}

TEST(MessageWindowArguments, RefusesWhatCannotWork) {
    EXPECT_EQ(VelmoraWindow_CreateMessageWindow(nullptr, nullptr), 0u);
    EXPECT_EQ(VelmoraWindow_GetFd(0), -1);
    EXPECT_EQ(VelmoraWindow_Dispatch(0x7fffffff), -1);
    VelmoraWindow_Destroy(0x7fffffff);  // nothing happens
    EXPECT_EQ(VelmoraWindow_FromNative(0), 0u);
}

TEST(PlatformInitialize, CountsPerThreadLikeTheObjectRuntime) {
    std::thread fresh([] {
        EXPECT_EQ(VelmoraPlatform_Initialize(), 0);
        EXPECT_EQ(VelmoraPlatform_Initialize(), 1);
        VelmoraPlatform_Uninitialize();
        VelmoraPlatform_Uninitialize();
        EXPECT_EQ(VelmoraPlatform_Initialize(), 0);
        VelmoraPlatform_Uninitialize();
    });
    fresh.join();
}

}  // namespace
