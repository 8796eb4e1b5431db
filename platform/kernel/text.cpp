#include "platform/kernel/text.h"

#include <algorithm>
#include <cstdio>

#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i], advancing i; answers kReplacement for a bad sequence.
char32_t DecodeUtf8(std::string_view text, std::size_t& i, bool& ok) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    char32_t min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        ok = false;
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) {
            ok = false;
            return kReplacement;
        }
        cp = cp << 6 | (byte(i++) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ok = false;
        return kReplacement;
    }
    return cp;
}

void EncodeUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text, bool* valid) {
    std::u16string out;
    out.reserve(text.size());
    bool ok = true;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = DecodeUtf8(text, i, ok);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 | cp >> 10);
            out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    if (valid) *valid = ok;
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text, bool* valid) {
    std::string out;
    out.reserve(text.size());
    bool ok = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            ok = false;
            cp = kReplacement;
        }
        EncodeUtf8(cp, out);
    }
    if (valid) *valid = ok;
    return out;
}

std::size_t WideLength(LPCWSTR text) {
    std::size_t n = 0;
    if (text)
        while (text[n]) ++n;
    return n;
}

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace platform

namespace {

// Copies a converted string (with its terminator when the source had one) into dest.
template <typename Char>
int Deliver(const std::basic_string<Char>& converted, Char* dest, int capacity) {
    int needed = static_cast<int>(converted.size());
    if (capacity == 0) return needed;
    if (!dest || capacity < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(converted.begin(), converted.end(), dest);
    return needed;
}

}  // namespace

int MultiByteToWideChar(UINT, DWORD flags, LPCSTR source, int cbMultiByte, LPWSTR dest,
                        int cchWideChar) {
    if (!source || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t length =
        cbMultiByte == -1 ? std::char_traits<char>::length(source) + 1 : cbMultiByte;
    bool valid = true;
    std::u16string converted = platform::Utf8ToUtf16({source, length}, &valid);
    if (!valid && (flags & MB_ERR_INVALID_CHARS)) {
        SetLastError(1113);  // ERROR_NO_UNICODE_TRANSLATION
        return 0;
    }
    return Deliver(converted, dest, cchWideChar);
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR source, int cchWideChar, LPSTR dest, int cbMultiByte,
                        LPCSTR, BOOL* usedDefaultChar) {
    if (!source || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t length = cchWideChar == -1 ? platform::WideLength(source) + 1 : cchWideChar;
    bool valid = true;
    std::string converted = platform::Utf16ToUtf8({source, length}, &valid);
    if (usedDefaultChar) *usedDefaultChar = valid ? FALSE : TRUE;
    return Deliver(converted, dest, cbMultiByte);
}
