#pragma once
// Filter registration: the records a filter module describes itself with, the filter mapper
// that stores them under a filter category of the classes root, and the binary FilterData
// value that holds merit, pins and media types.
//
// Layout written by RegisterFilter:
//   CLSID\{category}\Instance\{instance}   FriendlyName (REG_SZ), CLSID (REG_SZ, braced),
//                                          FilterData (REG_BINARY, see EncodeFilterData)
// where {instance} is the instance name given, else the filter's braced class identifier, and
// the category is CLSID_LegacyAmFilterCategory when none is given.

#include <optional>
#include <string>
#include <vector>

#include "platform/media/interfaces.h"

// {B79BB0B0-33C1-11D1-ABE1-00A0C905F375}
inline constexpr IID IID_IFilterMapper2 = {
    0xB79BB0B0, 0x33C1, 0x11D1, {0xAB, 0xE1, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75}};

inline constexpr DWORD MERIT_PREFERRED = 0x800000;
inline constexpr DWORD MERIT_NORMAL = 0x600000;
inline constexpr DWORD MERIT_UNLIKELY = 0x400000;
inline constexpr DWORD MERIT_DO_NOT_USE = 0x200000;
inline constexpr DWORD MERIT_SW_COMPRESSOR = 0x100000;
inline constexpr DWORD MERIT_HW_COMPRESSOR = 0x100050;

struct REGPINTYPES {
    const CLSID* clsMajorType;  // null: any
    const CLSID* clsMinorType;  // null: any
};

struct REGFILTERPINS {
    LPCWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;  // zero instances allowed
    BOOL bMany;  // many instances allowed
    const CLSID* clsConnectsToFilter;
    LPCWSTR strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
};

struct REGPINMEDIUM {
    CLSID clsMedium;
    DWORD dw1;
    DWORD dw2;
};

// Version 1 of the record (pins as REGFILTERPINS) is the one this mapper stores.
struct REGFILTER2 {
    DWORD dwVersion;
    DWORD dwMerit;
    ULONG cPins;
    const REGFILTERPINS* rgPins;
};

struct IFilterMapper2 : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID category, DWORD merit,
                                                     LPCWSTR description) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* category, LPCWSTR instance,
                                                       REFCLSID filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID filter, LPCWSTR name,
                                                     IMoniker** moniker, const CLSID* category,
                                                     LPCWSTR instance, const REGFILTER2* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    EnumMatchingFilters(IEnumMoniker** filters, DWORD flags, BOOL exactMatch, DWORD merit,
                        BOOL inputNeeded, DWORD inputTypes, const GUID* inputTypeList,
                        const REGPINMEDIUM* inputMedium, const CLSID* inputCategory, BOOL render,
                        BOOL outputNeeded, DWORD outputTypes, const GUID* outputTypeList,
                        const REGPINMEDIUM* outputMedium, const CLSID* outputCategory) = 0;

  protected:
    ~IFilterMapper2() = default;
};
VELMORA_DECLARE_IID(IFilterMapper2, IID_IFilterMapper2)

namespace platform::media {

// A decoded FilterData value.
struct RegisteredPin {
    std::u16string name;
    bool rendered = false, output = false, zero = false, many = false;
    CLSID connectsToFilter = GUID_NULL;
    std::u16string connectsToPin;
    std::vector<std::pair<GUID, GUID>> mediaTypes;  // major, minor; GUID_NULL for any
};

struct RegisteredFilterData {
    DWORD merit = 0;
    std::vector<RegisteredPin> pins;
};

// FilterData, little-endian: u32 format version (1), u32 merit, u32 pin count; then per pin:
// u32 flags (1 rendered, 2 output, 4 zero, 8 many), 16-byte connects-to filter, u32 name
// length in UTF-16 units and the units, u32 connects-to pin length and units, u32 media type
// count and per type 16-byte major and 16-byte minor type. GUIDs as Data1 (u32), Data2 (u16),
// Data3 (u16), Data4 (8 bytes).
std::vector<BYTE> EncodeFilterData(const REGFILTER2& data);
// Nullopt when the bytes are not a complete value of that form.
std::optional<RegisteredFilterData> DecodeFilterData(const BYTE* data, std::size_t size);

// The key of one registered filter, relative to the classes root.
std::u16string FilterInstanceKey(const CLSID* category, LPCWSTR instance, REFCLSID filter);

}  // namespace platform::media
