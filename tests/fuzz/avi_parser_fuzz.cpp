// A libFuzzer target over the AVI parser: any bytes as a whole file, read through a bounded
// reader as the AVI Splitter reads one. Every index entry it answers must lie inside the file.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/filters/avi_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto read = [&](std::int64_t position, std::uint32_t length, std::uint8_t* buffer) {
        if (position < 0 || std::uint64_t(position) > size || length > size - position)
            return false;
        std::memcpy(buffer, data + position, length);
        return true;
    };
    platform::avi::ParsedFile file;
    if (platform::avi::Parse(read, std::int64_t(size), &file) != 0) return 0;
    for (const auto& stream : file.streams)
        for (const auto& chunk : stream.chunks)
            if (chunk.position < 0 || std::uint64_t(chunk.position) + chunk.size > size)
                std::abort();
    return 0;
}
