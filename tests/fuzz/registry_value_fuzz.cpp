// libFuzzer target over the registry's value files: any bytes as the text of a value file.
// What decodes must encode to a file that decodes to the same value.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/com/registry_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace registry = platform::registry;
    const auto value =
        registry::DecodeValue(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    const auto again = registry::DecodeValue(registry::EncodeValue(*value));
    if (!again || again->type != value->type || again->bytes != value->bytes) __builtin_trap();
    return 0;
}
