#include "platform/com/guid.h"

#include <cstdio>

#include "platform/com/hresult.h"
#include "platform/kernel/text.h"

namespace platform {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads exactly `digits` hex digits from text at pos.
std::optional<std::uint64_t> ReadHex(std::string_view text, std::size_t pos, int digits) {
    if (pos + digits > text.size()) return std::nullopt;
    std::uint64_t value = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexValue(text[pos + i]);
        if (v < 0) return std::nullopt;
        value = value << 4 | static_cast<std::uint64_t>(v);
    }
    return value;
}

}  // namespace

std::optional<GUID> ParseGuid(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
        return std::nullopt;
    GUID g{};
    auto d1 = ReadHex(text, 0, 8);
    auto d2 = ReadHex(text, 9, 4);
    auto d3 = ReadHex(text, 14, 4);
    if (!d1 || !d2 || !d3) return std::nullopt;
    g.Data1 = static_cast<std::uint32_t>(*d1);
    g.Data2 = static_cast<std::uint16_t>(*d2);
    g.Data3 = static_cast<std::uint16_t>(*d3);
    static constexpr std::size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        auto b = ReadHex(text, kByteAt[i], 2);
        if (!b) return std::nullopt;
        g.Data4[i] = static_cast<std::uint8_t>(*b);
    }
    return g;
}

std::string FormatGuid(const GUID& g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace platform

int StringFromGUID2(REFGUID guid, LPWSTR buffer, int capacity) {
    if (!buffer || capacity < 39) return 0;
    std::u16string wide = platform::Utf8ToUtf16(platform::FormatGuid(guid));
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = 0;
    return static_cast<int>(wide.size()) + 1;
}

HRESULT CLSIDFromString(LPCWSTR text, CLSID* clsid) {
    if (!text || !clsid) return E_INVALIDARG;
    auto parsed = platform::ParseGuid(platform::Utf16ToUtf8(text));
    if (!parsed) return MakeHresult(0x800401F3);  // CO_E_CLASSSTRING
    *clsid = *parsed;
    return S_OK;
}

HRESULT IIDFromString(LPCWSTR text, IID* iid) {
    if (!text || !iid) return E_INVALIDARG;
    auto parsed = platform::ParseGuid(platform::Utf16ToUtf8(text));
    if (!parsed) return E_INVALIDARG;
    *iid = *parsed;
    return S_OK;
}
