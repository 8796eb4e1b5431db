#pragma once
// The HID class driver and the device-interface enumeration, as programs of the original
// platform call them: HidD_ (device), HidP_ (report parsing on preparsed data) and the few
// SetupDi functions that list HID interfaces. Names, records and constant values are the
// platform's own. Opening, reading and closing a device interface, which the original platform
// does with its file functions, are in namespace platform::hid at the end.
//
// One device interface stands for one top-level collection of a device: its preparsed data, its
// report lengths and the reports a read delivers are those of that collection.

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/kernel/sync.h"

using BOOLEAN = std::uint8_t;
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using CHAR = char;
using PCHAR = char*;
using PULONG = ULONG*;
using USAGE = USHORT;
using PUSAGE = USAGE*;
using NTSTATUS = LONG;

// ---- Device interface enumeration ----------------------------------------------------------

using HDEVINFO = void*;

inline constexpr DWORD DIGCF_DEFAULT = 0x00000001;
inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
inline constexpr DWORD DIGCF_PROFILE = 0x00000008;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

struct SP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};

// The fixed part is sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) (8 on a 64-bit build); the path
// continues past the end of the record.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};

// A snapshot of the present HID interfaces; INVALID_HANDLE_VALUE on failure. Any class other
// than the HID class gives an empty set.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, std::uint32_t hwndParent,
                              DWORD flags);
// Fails with ERROR_NO_MORE_ITEMS past the end of the set.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* interfaceData);
// Without a buffer it fails with ERROR_INSUFFICIENT_BUFFER and answers the size it needs.
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- HID device functions ------------------------------------------------------------------

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};

struct _HIDP_PREPARSED_DATA;
using PHIDP_PREPARSED_DATA = _HIDP_PREPARSED_DATA*;

// {4D1E55B2-F16F-11CF-88CB-001111000030}
inline constexpr GUID GUID_DEVINTERFACE_HID = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

void HidD_GetHidGuid(GUID* hidGuid);
BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes);
// Allocates the preparsed data of the interface's collection; free it with
// HidD_FreePreparsedData, which refuses a pointer it did not hand out.
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData);
// The buffer is a whole feature report, its first byte the report ID (0 without report IDs).
BOOLEAN HidD_SetFeature(HANDLE device, PVOID buffer, ULONG length);

// ---- HID report parsing --------------------------------------------------------------------

enum HIDP_REPORT_TYPE { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 };

inline constexpr USHORT HIDP_LINK_COLLECTION_ROOT = 0xFFFF;
inline constexpr USHORT HIDP_LINK_COLLECTION_UNSPECIFIED = 0;

inline constexpr NTSTATUS HidpStatus(std::uint32_t value) {
    return static_cast<NTSTATUS>(value);
}
inline constexpr NTSTATUS HIDP_STATUS_SUCCESS = HidpStatus(0x00110000);
inline constexpr NTSTATUS HIDP_STATUS_NULL = HidpStatus(0x80110001);
inline constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = HidpStatus(0xC0110001);
inline constexpr NTSTATUS HIDP_STATUS_INVALID_REPORT_TYPE = HidpStatus(0xC0110002);
inline constexpr NTSTATUS HIDP_STATUS_INVALID_REPORT_LENGTH = HidpStatus(0xC0110003);
inline constexpr NTSTATUS HIDP_STATUS_USAGE_NOT_FOUND = HidpStatus(0xC0110004);
inline constexpr NTSTATUS HIDP_STATUS_VALUE_OUT_OF_RANGE = HidpStatus(0xC0110005);
inline constexpr NTSTATUS HIDP_STATUS_BAD_LOG_PHY_VALUES = HidpStatus(0xC0110006);
inline constexpr NTSTATUS HIDP_STATUS_BUFFER_TOO_SMALL = HidpStatus(0xC0110007);
inline constexpr NTSTATUS HIDP_STATUS_INTERNAL_ERROR = HidpStatus(0xC0110008);
inline constexpr NTSTATUS HIDP_STATUS_I8042_TRANS_UNKNOWN = HidpStatus(0xC0110009);
inline constexpr NTSTATUS HIDP_STATUS_INCOMPATIBLE_REPORT_ID = HidpStatus(0xC011000A);
inline constexpr NTSTATUS HIDP_STATUS_NOT_VALUE_ARRAY = HidpStatus(0xC011000B);
inline constexpr NTSTATUS HIDP_STATUS_IS_VALUE_ARRAY = HidpStatus(0xC011000C);
inline constexpr NTSTATUS HIDP_STATUS_DATA_INDEX_NOT_FOUND = HidpStatus(0xC011000D);
inline constexpr NTSTATUS HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE = HidpStatus(0xC011000E);
inline constexpr NTSTATUS HIDP_STATUS_BUTTON_NOT_PRESSED = HidpStatus(0xC011000F);
inline constexpr NTSTATUS HIDP_STATUS_REPORT_DOES_NOT_EXIST = HidpStatus(0xC0110010);
inline constexpr NTSTATUS HIDP_STATUS_NOT_IMPLEMENTED = HidpStatus(0xC0110020);

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
static_assert(sizeof(HIDP_CAPS) == 64);

struct USAGE_AND_PAGE {
    USAGE Usage;
    USAGE UsagePage;
};

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, HIDP_CAPS* capabilities);
// The most usages HidP_GetUsages(Ex) can answer for one report of the type, on one usage page
// (0: all pages). 0 for bad arguments.
ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE reportType, USAGE usagePage,
                              PHIDP_PREPARSED_DATA preparsedData);
// The buttons that are down in the report, in capability order. The report's length must be the
// collection's report byte length of the type; its first byte selects the report.
NTSTATUS HidP_GetUsagesEx(HIDP_REPORT_TYPE reportType, USHORT linkCollection,
                          USAGE_AND_PAGE* buttonList, ULONG* usageLength,
                          PHIDP_PREPARSED_DATA preparsedData, PCHAR report, ULONG reportLength);
// Usages in the previous list and not in the current one go to breakUsages, the reverse to
// makeUsages; both are packed from the start and filled up with 0. Zero entries are empty slots.
NTSTATUS HidP_UsageListDifference(PUSAGE previousUsageList, PUSAGE currentUsageList,
                                  PUSAGE breakUsageList, PUSAGE makeUsageList,
                                  ULONG usageListLength);
// Writes the value into the report field of the usage. A report ID byte of 0 is set to the
// field's report ID; a different non-zero one gives HIDP_STATUS_INCOMPATIBLE_REPORT_ID.
NTSTATUS HidP_SetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG usageValue, PHIDP_PREPARSED_DATA preparsedData,
                            PCHAR report, ULONG reportLength);
// Reads the unsigned value of the usage's field in the report.
NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG* usageValue, PHIDP_PREPARSED_DATA preparsedData,
                            PCHAR report, ULONG reportLength);

// ---- Opening, reading and closing a device interface ---------------------------------------

namespace platform::hid {

// Opens the interface by the path that SetupDiGetDeviceInterfaceDetailA gave; every open is
// independent. INVALID_HANDLE_VALUE on failure (last error ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ...).
HANDLE OpenDevice(LPCSTR path);
// Blocks until the next input report of the interface's collection arrives and copies it,
// report ID byte first and padded with zeros to the input report length, which the buffer
// must hold. FALSE when the handle is closed (ERROR_OPERATION_ABORTED), the device has gone
// (ERROR_DEVICE_NOT_CONNECTED) or the arguments are bad.
BOOL ReadReport(HANDLE device, void* buffer, DWORD length, DWORD* bytesRead);
// Ends reads that are waiting on the handle, from any thread, and frees the handle.
BOOL CloseDevice(HANDLE device);

}  // namespace platform::hid
