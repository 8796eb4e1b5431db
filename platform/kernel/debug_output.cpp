#include "platform/kernel/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/kernel/text.h"

namespace {

void DefaultSink(std::string_view text) {
    static const bool enabled = [] {
        const char* value = std::getenv("VELMORA_DEBUG");
        return value && std::strcmp(value, "1") == 0;
    }();
    if (enabled) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

std::mutex g_sinkLock;
std::shared_ptr<platform::DebugSink> g_sink;

void Emit(std::string_view text) {
    std::shared_ptr<platform::DebugSink> sink;
    {
        std::lock_guard lock(g_sinkLock);
        sink = g_sink;
    }
    // The sink runs outside the lock: it may itself log or replace the sink.
    if (sink)
        (*sink)(text);
    else
        DefaultSink(text);
}

}  // namespace

void OutputDebugStringA(LPCSTR text) {
    if (text) Emit(text);
}

void OutputDebugStringW(LPCWSTR text) {
    if (text) Emit(platform::Utf16ToUtf8({text, platform::WideLength(text)}));
}

namespace platform {

DebugSink SetDebugSink(DebugSink sink) {
    auto next = sink ? std::make_shared<DebugSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(g_sinkLock);
    std::shared_ptr<DebugSink> previous = std::exchange(g_sink, std::move(next));
    return previous ? *previous : DebugSink{};
}

}  // namespace platform
