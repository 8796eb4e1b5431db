// Device interfaces: enumeration, the device-information sets, opening, reading, closing and
// the HidD_ functions that work on an open interface.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/hid/backend.h"
#include "platform/hid/preparsed.h"

namespace platform::hid {

namespace {

constexpr char kCollectionTag[] = "&col";

std::mutex g_backendLock;
std::shared_ptr<Backend> g_backend;

std::shared_ptr<Backend> CurrentBackend() {
    std::lock_guard lock(g_backendLock);
    if (!g_backend) g_backend = MakeHidrawBackend();
    return g_backend;
}

bool UsesReportIds(const std::vector<TopLevelCollection>& tops) {
    for (const auto& top : tops)
        for (const auto& ids : top.reportIds)
            if (std::ranges::any_of(ids, [](std::uint8_t id) { return id != 0; })) return true;
    return false;
}

// A node with several top-level collections gives one interface per collection, named like
// the original platform names them: the node path with "&colNN" (from 01).
std::string InterfacePath(const std::string& node, std::size_t index, std::size_t count) {
    if (count == 1) return node;
    const std::string number = std::to_string(index + 1);
    return node + kCollectionTag + (number.size() < 2 ? "0" + number : number);
}

struct ParsedPath {
    std::string node;
    std::size_t collection = 0;
    bool explicitCollection = false;
};

ParsedPath SplitPath(const std::string& path) {
    const std::size_t at = path.rfind(kCollectionTag);
    if (at == std::string::npos) return {path, 0, false};
    const std::string digits = path.substr(at + std::strlen(kCollectionTag));
    if (digits.size() != 2 || !std::isdigit(static_cast<unsigned char>(digits[0])) ||
        !std::isdigit(static_cast<unsigned char>(digits[1])))
        return {path, 0, false};
    const std::size_t number = std::stoul(digits);
    if (number == 0) return {path, 0, false};
    return {path.substr(0, at), number - 1, true};
}

std::vector<std::string> InterfacePaths() {
    std::vector<std::string> paths;
    for (const DeviceNode& node : CurrentBackend()->Nodes()) {
        auto tops = ParseReportDescriptor(node.descriptor);
        if (!tops) continue;  // a device whose descriptor does not parse has no interface
        for (std::size_t i = 0; i < tops->size(); ++i)
            paths.push_back(InterfacePath(node.path, i, tops->size()));
    }
    return paths;
}

// One open interface: a node opened through the backend, seen through one collection.
class InterfaceDevice {
  public:
    InterfaceDevice(std::unique_ptr<RawDevice> raw, TopLevelCollection top, bool usesIds)
        : raw_(std::move(raw)), top_(std::move(top)), usesReportIds_(usesIds) {}

    RawDevice& Raw() { return *raw_; }
    const TopLevelCollection& Collection() const { return top_; }
    BOOL Read(std::uint8_t* buffer, DWORD length, DWORD* bytesRead);

  private:
    bool Belongs(const std::vector<std::uint8_t>& report) const {
        const auto& ids = top_.reportIds[0];
        return !report.empty() && std::ranges::find(ids, report[0]) != ids.end();
    }

    std::unique_ptr<RawDevice> raw_;
    const TopLevelCollection top_;
    const bool usesReportIds_;
};

BOOL InterfaceDevice::Read(std::uint8_t* buffer, DWORD length, DWORD* bytesRead) {
    const DWORD reportLength = top_.reportLength[0];
    if (reportLength == 0 || length < reportLength) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::vector<std::uint8_t> report;
    for (;;) {
        switch (raw_->Read(report)) {
            case ReadStatus::Cancelled:
                SetLastError(ERROR_OPERATION_ABORTED);
                return FALSE;
            case ReadStatus::Gone:
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return FALSE;
            case ReadStatus::Report:
                break;
        }
        if (!usesReportIds_) report.insert(report.begin(), 0);
        if (Belongs(report)) break;  // reports of other collections are not this interface's
    }
    const std::size_t copied = std::min<std::size_t>(report.size(), reportLength);
    std::memcpy(buffer, report.data(), copied);
    std::memset(buffer + copied, 0, reportLength - copied);
    if (bytesRead) *bytesRead = reportLength;
    return TRUE;
}

// Handles are numbers from a table, so a stale or bogus one is refused, never dereferenced.
template <typename T>
class HandleTable {
  public:
    explicit HandleTable(std::uintptr_t first) : next_(first) {}
    void* Insert(std::shared_ptr<T> object) {
        std::lock_guard lock(mutex_);
        const std::uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<void*>(value);
    }
    std::shared_ptr<T> Find(void* handle) {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> Remove(void* handle) {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == objects_.end()) return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

  private:
    std::mutex mutex_;
    std::uintptr_t next_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<T>> objects_;
};

using InterfaceSet = std::vector<std::string>;

HandleTable<InterfaceSet>& Sets() {
    static auto* table = new HandleTable<InterfaceSet>(0x51000);  // lives as long as the process
    return *table;
}

HandleTable<InterfaceDevice>& Devices() {
    static auto* table = new HandleTable<InterfaceDevice>(0x52000);  // lives as long as the process
    return *table;
}

std::shared_ptr<InterfaceDevice> FindDevice(HANDLE handle) {
    auto device = Devices().Find(handle);
    if (!device) SetLastError(ERROR_INVALID_HANDLE);
    return device;
}

}  // namespace

std::shared_ptr<Backend> SetBackend(std::shared_ptr<Backend> backend) {
    std::lock_guard lock(g_backendLock);
    return std::exchange(g_backend, std::move(backend));
}

HANDLE OpenDevice(LPCSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const ParsedPath parsed = SplitPath(path);
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::unique_ptr<RawDevice> raw = CurrentBackend()->Open(parsed.node, &error);
    if (!raw) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto tops = ParseReportDescriptor(raw->ReportDescriptor());
    const bool known = tops && parsed.collection < tops->size() &&
                       (parsed.explicitCollection == (tops->size() > 1));
    if (!known) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool usesIds = UsesReportIds(*tops);
    return Devices().Insert(std::make_shared<InterfaceDevice>(
        std::move(raw), std::move((*tops)[parsed.collection]), usesIds));
}

BOOL ReadReport(HANDLE device, void* buffer, DWORD length, DWORD* bytesRead) {
    if (bytesRead) *bytesRead = 0;
    auto open = FindDevice(device);
    if (!open) return FALSE;
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return open->Read(static_cast<std::uint8_t*>(buffer), length, bytesRead);
}

BOOL CloseDevice(HANDLE device) {
    auto open = Devices().Remove(device);
    if (!open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A reader still inside ReadReport holds its own reference and comes back cancelled.
    open->Raw().Cancel();
    return TRUE;
}

}  // namespace platform::hid

using platform::hid::FindDevice;
using platform::hid::Sets;

void HidD_GetHidGuid(GUID* hidGuid) {
    if (hidGuid) *hidGuid = GUID_DEVINTERFACE_HID;
}

BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
    auto open = FindDevice(device);
    if (!open || !attributes) return FALSE;
    auto read = open->Raw().Attributes();
    if (!read) return FALSE;
    *attributes = *read;
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    auto open = FindDevice(device);
    if (!open || !preparsedData) return FALSE;
    *preparsedData = platform::hid::NewPreparsedData(open->Collection());
    return TRUE;
}

BOOLEAN HidD_SetFeature(HANDLE device, PVOID buffer, ULONG length) {
    auto open = FindDevice(device);
    if (!open) return FALSE;
    if (!buffer || length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!open->Raw().SetFeature({static_cast<const std::uint8_t*>(buffer), length})) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, std::uint32_t, DWORD flags) {
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<std::vector<std::string>>();
    const bool hid = (flags & DIGCF_ALLCLASSES) || *classGuid == GUID_DEVINTERFACE_HID;
    if (hid && (flags & DIGCF_DEVICEINTERFACE)) *set = platform::hid::InterfacePaths();
    return Sets().Insert(std::move(set));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* interfaceData) {
    auto paths = Sets().Find(set);
    if (!paths) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!interfaceClassGuid || !interfaceData ||
        interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (*interfaceClassGuid != GUID_DEVINTERFACE_HID || memberIndex >= paths->size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    interfaceData->InterfaceClassGuid = GUID_DEVINTERFACE_HID;
    interfaceData->Flags = 0x1;  // SPINT_ACTIVE
    interfaceData->Reserved = memberIndex;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA*) {
    auto paths = Sets().Find(set);
    if (!paths) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved >= paths->size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string& path = (*paths)[interfaceData->Reserved];
    const std::size_t needed =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (requiredSize) *requiredSize = static_cast<DWORD>(needed);
    if (!detail) {
        SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The path runs on past the record's one-character array, into the caller's buffer.
    char* out =
        reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    std::memcpy(out, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!Sets().Remove(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
