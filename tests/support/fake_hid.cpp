#include "tests/support/fake_hid.h"

#include <sstream>

namespace velmora::test {

namespace {

class FakeOpen : public platform::hid::RawDevice {
  public:
    explicit FakeOpen(std::shared_ptr<FakeHidDevice> device) : device_(std::move(device)) {}
    std::optional<HIDD_ATTRIBUTES> Attributes() override {
        if (!device_->Present()) return std::nullopt;
        return device_->Attributes();
    }
    Bytes ReportDescriptor() override { return device_->Descriptor(); }
    platform::hid::ReadStatus Read(Bytes& report) override {
        return device_->Read(report, cancelled_);
    }
    void Cancel() override { device_->Cancel(cancelled_); }
    bool SetFeature(std::span<const std::uint8_t> report) override {
        return device_->SetFeature(report);
    }

  private:
    std::shared_ptr<FakeHidDevice> device_;
    bool cancelled_ = false;  // guarded by the device's lock
};

}  // namespace

FakeHidDevice::FakeHidDevice(std::string path, Bytes descriptor, USHORT vendor, USHORT product)
    : path_(std::move(path)),
      descriptor_(std::move(descriptor)),
      attributes_{sizeof(HIDD_ATTRIBUTES), vendor, product, 0x0100} {}

void FakeHidDevice::Send(Bytes report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
    changed_.notify_all();
}

bool FakeHidDevice::WaitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return reports_.empty() && waiting_ > 0; });
}

std::vector<Bytes> FakeHidDevice::FeatureReports() const {
    std::lock_guard lock(mutex_);
    return features_;
}

int FakeHidDevice::Opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

void FakeHidDevice::RefuseOpens(bool refuse) {
    std::lock_guard lock(mutex_);
    refuseOpens_ = refuse;
}

void FakeHidDevice::RefuseFeatures(bool refuse) {
    std::lock_guard lock(mutex_);
    refuseFeatures_ = refuse;
}

void FakeHidDevice::Unplug() {
    std::lock_guard lock(mutex_);
    present_ = false;
    changed_.notify_all();
}

bool FakeHidDevice::Present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

platform::hid::ReadStatus FakeHidDevice::Read(Bytes& report, const bool& cancelled) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return cancelled || !present_ || !reports_.empty(); });
    --waiting_;
    if (cancelled) return platform::hid::ReadStatus::Cancelled;
    if (!present_) return platform::hid::ReadStatus::Gone;
    report = std::move(reports_.front());
    reports_.pop_front();
    return platform::hid::ReadStatus::Report;
}

void FakeHidDevice::Cancel(bool& cancelled) {
    std::lock_guard lock(mutex_);
    cancelled = true;
    changed_.notify_all();
}

bool FakeHidDevice::SetFeature(std::span<const std::uint8_t> report) {
    std::lock_guard lock(mutex_);
    if (!present_ || refuseFeatures_) return false;
    features_.emplace_back(report.begin(), report.end());
    return true;
}

bool FakeHidDevice::CountOpen() {
    std::lock_guard lock(mutex_);
    if (!present_ || refuseOpens_) return false;
    ++opens_;
    return true;
}

std::shared_ptr<FakeHidDevice> FakeHidBackend::Add(const std::string& path, Bytes descriptor,
                                                   USHORT vendor, USHORT product) {
    auto device = std::make_shared<FakeHidDevice>(path, std::move(descriptor), vendor, product);
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
    return device;
}

std::vector<platform::hid::DeviceNode> FakeHidBackend::Nodes() {
    std::lock_guard lock(mutex_);
    std::vector<platform::hid::DeviceNode> nodes;
    for (const auto& device : devices_)
        if (device->Present()) nodes.push_back({device->Path(), device->Descriptor()});
    return nodes;
}

std::unique_ptr<platform::hid::RawDevice> FakeHidBackend::Open(const std::string& path,
                                                               DWORD* error) {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        if (device->Path() != path || !device->Present()) continue;
        if (!device->CountOpen()) {
            *error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        return std::make_unique<FakeOpen>(device);
    }
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

ScopedFakeHid::ScopedFakeHid()
    : backend_(std::make_shared<FakeHidBackend>()),
      previous_(platform::hid::SetBackend(backend_)) {}

ScopedFakeHid::~ScopedFakeHid() {
    platform::hid::SetBackend(previous_);
}

Bytes FromHex(const std::string& text) {
    std::istringstream in(text);
    Bytes bytes;
    std::string token;
    while (in >> token) bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    return bytes;
}

Bytes JogControllerDescriptor() {
    return FromHex(
        "05 0C 09 01 A1 01"                        // Consumer Control, application
        " 85 01 05 09 19 01 29 0E 15 00 25 01"     // report 1: buttons 1-14
        " 75 01 95 0E 81 02 75 02 95 01 81 03"     // 14 bits, then 2 bits of padding
        " 85 02 05 01 09 37 15 81 25 7F"           // report 2: dial, -127..127
        " 75 08 95 01 81 06"                       // one signed byte, relative
        " 85 03 06 00 FF 0A 00 02 15 00 26 FF 00"  // report 3: vendor LED usage 0x0200
        " 75 08 95 01 B1 02 C0");
}

Bytes KeyboardDescriptor() {
    return FromHex(
        "05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02"
        " 75 08 95 01 81 03 19 00 29 65 15 00 25 65 75 08 95 06 81 00"
        " 05 08 19 01 29 05 75 01 95 05 91 02 75 03 95 01 91 03 C0");
}

}  // namespace velmora::test
