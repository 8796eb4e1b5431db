#include "platform/com/registry_value.h"

#include <cstring>

#include "platform/com/registry.h"

namespace platform::registry {

namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view WithoutLineEnd(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
}

// A decimal number of 1 to 10 digits that fits 32 bits.
std::optional<DWORD> ParseNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<DWORD>(number);
}

std::optional<std::string> ParseHex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high << 4 | low);
    }
    return bytes;
}

}  // namespace

std::string EncodeValue(const StoredValue& value) {
    switch (value.type) {
        case REG_SZ:
            return "REG_SZ\n" + value.bytes;
        case REG_DWORD: {
            std::uint32_t number = 0;
            std::memcpy(&number, value.bytes.data(), std::min<std::size_t>(4, value.bytes.size()));
            return "REG_DWORD\n" + std::to_string(number);
        }
        default: {
            std::string text = "REG_BINARY " + std::to_string(value.type) + "\n";
            for (unsigned char c : value.bytes) {
                text += kHex[c >> 4];
                text += kHex[c & 15];
            }
            return text;
        }
    }
}

std::optional<StoredValue> DecodeValue(std::string_view text) {
    const std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos) return std::nullopt;
    const std::string_view header = text.substr(0, eol);
    const std::string_view body = text.substr(eol + 1);
    StoredValue value;
    constexpr std::string_view kBinary = "REG_BINARY ";
    if (header == "REG_SZ") {
        value.type = REG_SZ;
        value.bytes.assign(body);
    } else if (header == "REG_DWORD") {
        const auto number = ParseNumber(WithoutLineEnd(body));
        if (!number) return std::nullopt;
        value.type = REG_DWORD;
        value.bytes.assign(reinterpret_cast<const char*>(&*number), 4);
    } else if (header.substr(0, kBinary.size()) == kBinary) {
        const auto type = ParseNumber(header.substr(kBinary.size()));
        // Strings and numbers are never written as hex: such a file was not written here.
        if (!type || *type == REG_SZ || *type == REG_DWORD) return std::nullopt;
        auto bytes = ParseHex(WithoutLineEnd(body));
        if (!bytes) return std::nullopt;
        value.type = *type;
        value.bytes = std::move(*bytes);
    } else {
        return std::nullopt;
    }
    return value;
}

}  // namespace platform::registry
