#include "platform/kernel/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/kernel/thread.h"

namespace {

using platform::Event;
using platform::Thread;

// Polls a counter for a while; used to show that something did NOT happen.
bool StaysAt(const std::atomic<int>& counter, int value, int milliseconds = 100) {
    for (int i = 0; i < milliseconds / 10; ++i) {
        if (counter.load() != value) return false;
        Sleep(10);
    }
    return counter.load() == value;
}

bool Reaches(const std::atomic<int>& counter, int value) {
    for (int i = 0; i < 500 && counter.load() != value; ++i) Sleep(10);
    return counter.load() == value;
}

TEST(Wait, WaitAllWakesOnlyWhenEveryEventIsSet) {
    Event manual(true), autoA(false), autoB(false);
    HANDLE handles[] = {manual.Handle(), autoA.Handle(), autoB.Handle()};
    std::atomic<int> woken{0};
    DWORD result = WAIT_FAILED;
    Thread waiter([&] {
        result = WaitForMultipleObjects(3, handles, TRUE, INFINITE);
        ++woken;
    });
    manual.Set();
    autoA.Set();
    EXPECT_TRUE(StaysAt(woken, 0));
    autoB.Set();
    ASSERT_TRUE(Reaches(woken, 1));
    waiter.Join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    // The wait consumed the auto-reset events together and left the manual one set.
    EXPECT_EQ(WaitForSingleObject(autoA.Handle(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(autoB.Handle(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual.Handle(), 0), WAIT_OBJECT_0);
}

TEST(Wait, WaitAllDoesNotConsumeSomeEventsWhenOthersAreUnset) {
    Event a(false), b(false);
    HANDLE handles[] = {a.Handle(), b.Handle()};
    a.Set();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a.Handle(), 0), WAIT_OBJECT_0);
}

TEST(Wait, AutoResetEventReleasesExactlyOneWaiter) {
    Event event(false);
    std::atomic<int> woken{0};
    std::vector<std::unique_ptr<Thread>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::make_unique<Thread>([&] {
            if (WaitForSingleObject(event.Handle(), INFINITE) == WAIT_OBJECT_0) ++woken;
        }));
    }
    Sleep(50);  // let them all block
    event.Set();
    ASSERT_TRUE(Reaches(woken, 1));
    EXPECT_TRUE(StaysAt(woken, 1));
    for (int i = 2; i <= 4; ++i) {
        event.Set();
        ASSERT_TRUE(Reaches(woken, i));
    }
    for (auto& w : waiters) w->Join();
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 0), WAIT_TIMEOUT);
}

TEST(Wait, WaitAnyAnswersTheFirstSignalledIndexAndTimesOut) {
    Event a(true), b(false), c(true);
    HANDLE handles[] = {a.Handle(), b.Handle(), c.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 30), WAIT_TIMEOUT);
    b.Set();
    c.Set();
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    c.Reset();
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Wait, BadHandlesFailWithoutHarm) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CloseHandle(event), TRUE);
    EXPECT_EQ(CloseHandle(event), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SetEvent(event), FALSE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0xDEADBEEF), 0), WAIT_FAILED);
    Event one(true);
    HANDLE twice[] = {one.Handle(), one.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"named"), nullptr);
}

TEST(Wait, ClosingAHandleWhileAnotherThreadWaitsOnADuplicate) {
    Event event(true);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(event.Handle(), &copy));
    std::atomic<int> woken{0};
    Thread waiter([&] {
        if (WaitForSingleObject(copy, INFINITE) == WAIT_OBJECT_0) ++woken;
    });
    Sleep(20);
    event.Set();
    ASSERT_TRUE(Reaches(woken, 1));
    waiter.Join();
    EXPECT_TRUE(CloseHandle(copy));
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    std::atomic<int> entered{0};
    Thread other([&] {
        EnterCriticalSection(&section);
        ++entered;
        LeaveCriticalSection(&section);
    });
    LeaveCriticalSection(&section);
    EXPECT_TRUE(StaysAt(entered, 0, 50));
    LeaveCriticalSection(&section);
    EXPECT_TRUE(Reaches(entered, 1));
    other.Join();
    DeleteCriticalSection(&section);
}

TEST(Thread, JoinWaitsForTheBodyAndRefusesASecondStart) {
    Event release(true);
    Thread thread([&] { release.Wait(); });
    EXPECT_FALSE(thread.Start([] {}));
    EXPECT_FALSE(thread.Join(20));
    EXPECT_EQ(WaitForSingleObject(thread.FinishedHandle(), 0), WAIT_TIMEOUT);
    release.Set();
    EXPECT_TRUE(thread.Join(INFINITE));
    EXPECT_FALSE(thread.Joinable());
    EXPECT_TRUE(thread.Start([] {}));
    EXPECT_TRUE(thread.Join());
}

}  // namespace
