// The FireWire units of the device list: every AV/C node with a tape subunit, port by port and
// node by node, named from the text of its configuration ROM.

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>

#include <array>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/bus_io.h"
#include "platform/dv1394/firewire/firewire_unit.h"

namespace platform::dv1394 {
namespace firewire {
namespace {

constexpr int kMaxPorts = 16;
constexpr int kMaxNodes = 63;

// A configuration ROM directory read from a node, freed on destruction.
class RomDirectory {
  public:
    RomDirectory() = default;
    ~RomDirectory() {
        if (read_) rom1394_free_directory(&dir_);
    }
    RomDirectory(const RomDirectory&) = delete;
    RomDirectory& operator=(const RomDirectory&) = delete;

    bool Read(raw1394handle_t handle, nodeid_t node) {
        read_ = rom1394_get_directory(handle, node, &dir_) >= 0;
        return read_;
    }
    bool IsAvc() { return rom1394_get_node_type(&dir_) == ROM1394_NODE_TYPE_AVC; }
    std::string Label() const { return dir_.label != nullptr ? dir_.label : ""; }

  private:
    rom1394_directory dir_{};
    bool read_ = false;
};

// SUBUNIT INFO through libavc1394, on the listing's own handle.
bool HasTape(raw1394handle_t handle, nodeid_t node) {
    return avc1394_check_subunit_type(handle, node, AVC1394_SUBUNIT_TYPE_VCR) == 1;
}

void ListPort(int port, UnitList* units) {
    Raw1394Handle handle = OpenPort(port);
    if (!handle) return;
    raw1394handle_t h = handle.get();
    const nodeid_t local = raw1394_get_local_id(h);
    const int count = raw1394_get_nodecount(h);
    for (int i = 0; i < count && i < kMaxNodes; ++i) {
        const nodeid_t node = kLocalBus | static_cast<nodeid_t>(i);
        if (node == local) continue;
        RomDirectory dir;
        if (!dir.Read(h, node) || !dir.IsAvc() || !HasTape(h, node)) continue;
        std::string name = dir.Label();
        if (name.empty()) name = "FireWire DV unit";
        const std::uint64_t guid = rom1394_get_guid(h, node);
        units->push_back(std::make_shared<FirewireUnit>(port, guid, node, std::move(name)));
    }
}

}  // namespace
}  // namespace firewire

UnitList ListFirewireUnits() {
    UnitList units;
    // No FireWire stack or no adapter: nothing to list.
    firewire::Raw1394Handle probe(raw1394_new_handle());
    if (!probe) return units;
    std::array<raw1394_portinfo, firewire::kMaxPorts> ports{};
    const int count = raw1394_get_port_info(probe.get(), ports.data(), firewire::kMaxPorts);
    probe.reset();
    for (int port = 0; port < count && port < firewire::kMaxPorts; ++port) {
        firewire::ListPort(port, &units);
    }
    return units;
}

}  // namespace platform::dv1394
