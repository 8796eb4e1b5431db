#include "toolkit/graph/lock.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/thread.h"

namespace {

TEST(Lock, CountsRecursionAndSerialisesThreads) {
    CLock lock;
    EXPECT_EQ(lock.Lock(), 1);
    EXPECT_EQ(lock.Lock(), 1);
    std::atomic<bool> entered{false};
    platform::Thread other([&] {
        CLockHolder hold(lock);
        entered = true;
    });
    EXPECT_EQ(lock.Unlock(), 1);
    Sleep(30);
    EXPECT_FALSE(entered);  // still held once
    EXPECT_EQ(lock.Unlock(), 1);
    other.Join();
    EXPECT_TRUE(entered);
}

TEST(Lock, KeepsACounterConsistentUnderContention) {
    CLock lock;
    long counter = 0;
    {
        platform::Thread a([&] {
            for (int i = 0; i < 20000; ++i) {
                CLockHolder hold(lock);
                ++counter;
            }
        });
        platform::Thread b([&] {
            for (int i = 0; i < 20000; ++i) {
                lock.Lock();
                ++counter;
                lock.Unlock();
            }
        });
    }
    EXPECT_EQ(counter, 40000);
}

}  // namespace
