#pragma once
// Globally unique identifiers: the record, comparison, and the braced text form
// "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}".

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/types.h"

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr CLSID CLSID_NULL = GUID_NULL;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

namespace platform {

// Parses the braced form (the braces may be left out); hex digits in either case.
std::optional<GUID> ParseGuid(std::string_view text);

// Formats the braced form in upper case, 38 characters.
std::string FormatGuid(const GUID& guid);

struct GuidHash {
    std::size_t operator()(const GUID& g) const noexcept {
        std::uint64_t halves[2];
        std::memcpy(halves, &g, sizeof halves);
        return std::hash<std::uint64_t>{}(halves[0] * 31 + halves[1]);
    }
};

}  // namespace platform

// The platform's text conversions of identifiers. StringFromGUID2 answers the number of
// characters written including the terminator, or 0 when the buffer is too small.
int StringFromGUID2(REFGUID guid, LPWSTR buffer, int capacity);
HRESULT CLSIDFromString(LPCWSTR text, CLSID* clsid);
HRESULT IIDFromString(LPCWSTR text, IID* iid);
