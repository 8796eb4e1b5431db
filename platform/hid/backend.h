#pragma once
// Where HID devices come from. The HID layer sees devices only through this seam: the hidraw
// backend on a real system, fake devices in tests. A backend lists device nodes with their
// report descriptors; the layer turns each node into one device interface per top-level
// collection and opens nodes through the backend.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/hid/hid.h"

namespace platform::hid {

enum class ReadStatus { Report, Cancelled, Gone };

// One open of a device node. Read runs on one thread while Cancel and SetFeature may come from
// others.
class RawDevice {
  public:
    virtual ~RawDevice() = default;
    virtual std::optional<HIDD_ATTRIBUTES> Attributes() = 0;
    virtual std::vector<std::uint8_t> ReportDescriptor() = 0;
    // Waits for the next input report, as the device sent it: it starts with the report ID
    // only when the device uses report IDs.
    virtual ReadStatus Read(std::vector<std::uint8_t>& report) = 0;
    // Ends a waiting Read and every later one with ReadStatus::Cancelled.
    virtual void Cancel() = 0;
    // The report starts with its report ID byte (0 when the device has no report IDs).
    virtual bool SetFeature(std::span<const std::uint8_t> report) = 0;
};

struct DeviceNode {
    std::string path;
    std::vector<std::uint8_t> descriptor;
};

class Backend {
  public:
    virtual ~Backend() = default;
    // The present device nodes, in a stable order.
    virtual std::vector<DeviceNode> Nodes() = 0;
    // Opens a node; null with a system error code on failure.
    virtual std::unique_ptr<RawDevice> Open(const std::string& path, DWORD* error) = 0;
};

// Installs the backend that the layer uses from now on (null: the hidraw backend) and answers
// the one it replaces.
std::shared_ptr<Backend> SetBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> MakeHidrawBackend();

}  // namespace platform::hid
