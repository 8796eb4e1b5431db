#include "platform/kernel/debug_output.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/thread.h"

namespace {

TEST(DebugOutput, TestSinkSeesLinesFromAllThreadsUntilRemoved) {
    std::mutex lock;
    std::vector<std::string> lines;
    platform::SetDebugSink([&](std::string_view text) {
        std::lock_guard guard(lock);
        lines.emplace_back(text);
    });
    OutputDebugStringA("narrow\n");
    OutputDebugStringW(u"ワイド\n");
    OutputDebugStringA(nullptr);
    {
        platform::Thread a([] { OutputDebugStringA("thread\n"); });
        platform::Thread b([] { OutputDebugStringA("thread\n"); });
    }
    platform::SetDebugSink({});
    OutputDebugStringA("after\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "narrow\n");
    EXPECT_EQ(lines[1], "ワイド\n");
    EXPECT_EQ(lines[2], "thread\n");
}

}  // namespace
