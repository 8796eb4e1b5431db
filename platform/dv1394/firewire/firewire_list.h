#pragma once
// The FireWire side of the machine as a person setting it up needs to see it: the units on
// each bus (GUID, vendor and model, whether they have a tape subunit) and whether this user may
// open the /dev/fw* files through which the kernel's firewire stack reaches the bus, with what
// to do when not.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/bus_access.h"

namespace platform::dv1394::firewire {

struct FirewireNodeReport {
    int port = 0;
    NodeId node = 0;
    std::uint64_t guid = 0;
    std::uint32_t vendor_id = 0;
    std::uint32_t model_id = 0;
    std::string vendor;
    std::string model;
    bool avc = false;
    bool tape = false;  // a DV camcorder or deck the capture can drive
};

struct DeviceFileReport {
    std::string path;
    bool usable = false;  // this user may read and write it
    std::string owner;    // user:group of the file
    std::string mode;     // e.g. 0660
};

struct FirewireReport {
    std::vector<FirewireNodeReport> nodes;
    std::vector<DeviceFileReport> device_files;
    // What to do when some device file cannot be opened or there are none; empty when all is
    // in order.
    std::string advice;
};

// Whether a user with these IDs may read and write a file of this ownership and mode.
bool MayReadWrite(const struct stat& file, uid_t uid, const std::vector<gid_t>& groups);

// The units on every port of the bus (this machine's own node left out) and the fw* files
// under `dev_dir`, judged for the calling user.
FirewireReport DescribeFirewire(BusAccess& bus, const std::string& dev_dir = "/dev");

// The units the device list offers: AV/C nodes with a tape subunit.
UnitList ListFirewireUnits(const std::shared_ptr<BusAccess>& bus);

}  // namespace platform::dv1394::firewire
