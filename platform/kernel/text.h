#pragma once
// Text conversions. The system code page is UTF-8; wide strings are UTF-16.

#include <string>
#include <string_view>

#include "platform/com/types.h"

namespace platform {

// Invalid sequences become U+FFFD; `valid`, when given, tells whether there were none.
std::u16string Utf8ToUtf16(std::string_view text, bool* valid = nullptr);
std::string Utf16ToUtf8(std::u16string_view text, bool* valid = nullptr);

// Length of a zero-terminated wide string.
std::size_t WideLength(LPCWSTR text);

// The text as a JSON string, quotes included: quotes and backslashes escaped, control
// characters as \u00XX, everything else (UTF-8 included) as it is.
std::string JsonQuote(std::string_view text);

}  // namespace platform

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;

// The platform's conversions: cbMultiByte/cchWideChar of -1 means zero-terminated (the
// terminator is converted and counted). A destination size of 0 asks for the size needed.
// A destination too small fails with ERROR_INSUFFICIENT_BUFFER and returns 0: nothing is cut.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int cbMultiByte, LPWSTR dest,
                        int cchWideChar);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int cchWideChar, LPSTR dest,
                        int cbMultiByte, LPCSTR defaultChar, BOOL* usedDefaultChar);
