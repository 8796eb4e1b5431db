#pragma once
// Fake HID devices behind the HID layer's backend seam: a device list the test controls,
// scripted input reports, recorded feature reports, refused opens, unplugging.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid/backend.h"

namespace velmora::test {

using Bytes = std::vector<std::uint8_t>;

class FakeHidDevice {
  public:
    FakeHidDevice(std::string path, Bytes descriptor, USHORT vendor, USHORT product);

    const std::string& Path() const { return path_; }
    const Bytes& Descriptor() const { return descriptor_; }
    HIDD_ATTRIBUTES Attributes() const { return attributes_; }

    // A report as the device sends it (report ID first only when the device uses IDs).
    void Send(Bytes report);
    // Waits until every report sent was taken and a reader waits for the next one: the reader
    // has dealt with all of them.
    bool WaitUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<Bytes> FeatureReports() const;
    int Opens() const;

    void RefuseOpens(bool refuse);
    void RefuseFeatures(bool refuse);
    // The device disappears: reads fail, opens and features are refused, it leaves the list.
    void Unplug();
    bool Present() const;

    // Used by the device's opens.
    platform::hid::ReadStatus Read(Bytes& report, const bool& cancelled);
    void Cancel(bool& cancelled);
    bool SetFeature(std::span<const std::uint8_t> report);
    bool CountOpen();

  private:
    const std::string path_;
    const Bytes descriptor_;
    const HIDD_ATTRIBUTES attributes_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Bytes> reports_;
    std::vector<Bytes> features_;
    int waiting_ = 0;
    int opens_ = 0;
    bool present_ = true;
    bool refuseOpens_ = false;
    bool refuseFeatures_ = false;
};

class FakeHidBackend : public platform::hid::Backend {
  public:
    std::shared_ptr<FakeHidDevice> Add(const std::string& path, Bytes descriptor,
                                       USHORT vendor = 0x1234, USHORT product = 0x5678);
    std::vector<platform::hid::DeviceNode> Nodes() override;
    std::unique_ptr<platform::hid::RawDevice> Open(const std::string& path, DWORD* error) override;

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeHidDevice>> devices_;
};

// Installs a fake backend for its lifetime and puts the previous one back.
class ScopedFakeHid {
  public:
    ScopedFakeHid();
    ~ScopedFakeHid();
    ScopedFakeHid(const ScopedFakeHid&) = delete;
    ScopedFakeHid& operator=(const ScopedFakeHid&) = delete;
    FakeHidBackend& operator*() { return *backend_; }
    FakeHidBackend* operator->() { return backend_.get(); }

  private:
    std::shared_ptr<FakeHidBackend> backend_;
    std::shared_ptr<platform::hid::Backend> previous_;
};

// Report descriptors used across the tests.
// The jog controller: Consumer Control; report 1 with Button usages 1-14 and 2 bits of
// padding; report 2 with a signed 8-bit jog step; feature report 3 with the LED value, usage
// 0x0200 of vendor page 0xFF00.
Bytes JogControllerDescriptor();
// A boot keyboard: Generic Desktop Keyboard, no report IDs.
Bytes KeyboardDescriptor();
// Parses hex byte pairs separated by white space.
Bytes FromHex(const std::string& text);

}  // namespace velmora::test
