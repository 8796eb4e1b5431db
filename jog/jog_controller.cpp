#include "jog/jog_controller.h"

#include <new>
#include <vector>

#include "jog/controller_identity.h"
#include "platform/kernel/debug_output.h"
#include "platform/user/window.h"

namespace pelko {

namespace {

constexpr char kBanner[] = "Pelko: USB jog/shuttle controller library\n";

bool IsOpen(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Destroys a device-information set when it goes out of scope.
class DeviceSet {
  public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (Valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    bool Valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO Get() const { return set_; }

  private:
    HDEVINFO set_;
};

// The device path of interface number `index`, or nothing past the end of the list.
std::optional<std::string> InterfacePath(const GUID& hidGuid, DWORD index) {
    DeviceSet set(
        SetupDiGetClassDevsA(&hidGuid, nullptr, 0, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.Valid()) return std::nullopt;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &hidGuid, index, &data))
        return std::nullopt;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return std::nullopt;
    std::vector<DWORD> buffer;  // DWORDs keep the record aligned
    try {
        buffer.resize((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, detail, required, nullptr, nullptr))
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer.data()) +
                       offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
}

// The first interface that opens and is a jog controller. An interface that cannot be opened
// (on Linux most hidraw nodes belong to root) is passed over, not taken for the end of the
// list.
std::unique_ptr<OpenController> FindController() {
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    for (DWORD index = 0;; ++index) {
        const auto path = InterfacePath(hidGuid, index);
        if (!path) return nullptr;
        HANDLE read = platform::hid::OpenDevice(path->c_str());
        if (!IsOpen(read)) continue;
        // A failed second open shows only later, when the LEDs cannot be set.
        auto candidate =
            std::make_unique<OpenController>(read, platform::hid::OpenDevice(path->c_str()));
        if (candidate->Check()) return candidate;
    }
}

}  // namespace

OpenController::~OpenController() {
    if (IsOpen(feature_)) platform::hid::CloseDevice(feature_);
    CloseRead();
    if (preparsed_) HidD_FreePreparsedData(preparsed_);
}

void OpenController::CloseRead() {
    if (IsOpen(read_)) platform::hid::CloseDevice(read_);
    read_ = INVALID_HANDLE_VALUE;
}

bool OpenController::Check() {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(read_, &attributes)) return false;  // any vendor and product
    if (!HidD_GetPreparsedData(read_, &preparsed_)) return false;
    if (!IsJogController(preparsed_)) return false;
    HIDP_CAPS caps{};
    HidP_GetCaps(preparsed_, &caps);
    inputLength_ = caps.InputReportByteLength;
    featureLength_ = caps.FeatureReportByteLength;
    return true;
}

bool JogController::Open(std::uint32_t window, std::uint32_t message) {
    OutputDebugStringA(kBanner);
    std::lock_guard lock(mutex_);
    if (device_) return false;
    auto device = FindController();
    if (!device) return false;
    auto reader = std::make_unique<platform::Thread>();
    const bool started = reader->Start([this, read = device->Read(), length = device->InputLength(),
                                        preparsed = device->Preparsed(), window, message] {
        ReadLoop(read, length, preparsed, window, message);
    });
    if (!started) return false;
    device_ = std::move(device);
    reader_ = std::move(reader);
    return true;
}

bool JogController::Close() {
    std::lock_guard lock(mutex_);
    if (!device_) return false;
    device_->CloseRead();  // the reader's read ends at once; no report has to come
    reader_.reset();       // joins
    device_.reset();
    notify_ = 0;
    return true;
}

bool JogController::EnableNotify(std::int32_t flag) {
    std::lock_guard lock(mutex_);
    if (!device_) return false;
    notify_ = flag;
    return true;
}

bool JogController::SetLed(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    if (!device_) return false;
    std::vector<char> report(device_->FeatureLength(), 0);
    if (HidP_SetUsageValue(HidP_Feature, kLedPage, 0, kLedUsage, value, device_->Preparsed(),
                           report.data(), static_cast<ULONG>(report.size())) != HIDP_STATUS_SUCCESS)
        return false;
    return HidD_SetFeature(device_->Feature(), report.data(), static_cast<ULONG>(report.size()));
}

// Runs until a read fails: the handle was closed, or the controller has gone.
void JogController::ReadLoop(HANDLE read, USHORT length, PHIDP_PREPARSED_DATA preparsed,
                             std::uint32_t window, std::uint32_t message) {
    try {
        std::vector<std::uint8_t> report(length);
        DWORD got = 0;
        while (platform::hid::ReadReport(read, report.data(), length, &got)) {
            if (notify_ == 0) continue;  // dropped, and the decoder does not see it
            for (const Notification& n : decoder_.Decode(preparsed, report))
                PostMessage(window, message, n.key, n.press ? 1 : 0);
        }
    } catch (...) {
        // The thread ends quietly, as it does on a failed read.
    }
}

JogController& Controller() {
    static JogController controller;
    return controller;
}

}  // namespace pelko
