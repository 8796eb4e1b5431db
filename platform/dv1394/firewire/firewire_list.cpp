// The FireWire units of the device list and the report of the machine's FireWire set-up: every
// node port by port, named from the text of its configuration ROM.

#include "platform/dv1394/firewire/firewire_list.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/dv1394/firewire/firewire_unit.h"

namespace platform::dv1394 {
namespace firewire {
namespace {

constexpr char kDefaultName[] = "FireWire DV unit";

void DescribePort(BusAccess& bus, int port, std::vector<FirewireNodeReport>* nodes) {
    const auto handle = bus.Open(port);
    if (!handle) return;
    const NodeId local = handle->LocalId();
    const int count = handle->NodeCount();
    for (int i = 0; i < count && i < kMaxNodes; ++i) {
        const NodeId node = kLocalBus | static_cast<NodeId>(i);
        if ((node & kPhyMask) == (local & kPhyMask)) continue;
        const auto rom = handle->ReadRom(node);
        if (!rom) continue;
        FirewireNodeReport report{.port = port,
                                  .node = node,
                                  .guid = rom->guid,
                                  .vendor_id = rom->vendor_id,
                                  .model_id = rom->model_id,
                                  .vendor = rom->vendor,
                                  .model = rom->label,
                                  .avc = rom->avc};
        report.tape = rom->avc && handle->HasTapeSubunit(node);
        nodes->push_back(std::move(report));
    }
}

std::vector<FirewireNodeReport> DescribeNodes(BusAccess& bus) {
    std::vector<FirewireNodeReport> nodes;
    const int ports = bus.PortCount();
    for (int port = 0; port < ports; ++port) DescribePort(bus, port, &nodes);
    return nodes;
}

std::string NameOf(std::uint32_t id, bool user) {
    if (user) {
        if (const passwd* pw = getpwuid(id)) return pw->pw_name;
    } else if (const group* gr = getgrgid(id)) {
        return gr->gr_name;
    }
    return std::to_string(id);
}

std::vector<gid_t> CallerGroups() {
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    groups.push_back(getegid());
    return groups;
}

std::vector<DeviceFileReport> DescribeDeviceFiles(const std::string& dev_dir) {
    std::vector<DeviceFileReport> files;
    std::error_code error;
    const uid_t uid = geteuid();
    const auto groups = CallerGroups();
    for (const auto& entry : std::filesystem::directory_iterator(dev_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 3 || name.compare(0, 2, "fw") != 0 ||
            !std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        struct stat st {};
        if (stat(entry.path().c_str(), &st) != 0) continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        files.push_back({.path = entry.path().string(),
                         .usable = MayReadWrite(st, uid, groups),
                         .owner = NameOf(st.st_uid, true) + ":" + NameOf(st.st_gid, false),
                         .mode = mode});
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return files;
}

std::string AdviceFor(const std::vector<DeviceFileReport>& files) {
    if (files.empty()) {
        return "No /dev/fw* files: this machine has no FireWire adapter, or the kernel's "
               "firewire-ohci driver is not loaded (modprobe firewire-ohci).";
    }
    std::string blocked;
    for (const auto& file : files) {
        if (!file.usable) blocked += (blocked.empty() ? "" : ", ") + file.path;
    }
    if (blocked.empty()) return "";
    return "This user cannot open " + blocked +
           ". Capture needs read and write access to the unit's file and to the adapter's own "
           "(the local node). Add the user to the group that owns them (often 'video': "
           "usermod -aG video $USER, then log in again), or install a udev rule such as\n"
           "  SUBSYSTEM==\"firewire\", ATTR{units}==\"*0x00a02d:0x010001*\", GROUP=\"video\", "
           "MODE=\"0660\"\n"
           "for the units, and one matching the adapter's own node by its GUID (ATTR{guid}, "
           "read from /sys/bus/firewire/devices/fwN/guid), in /etc/udev/rules.d/, then run udevadm "
           "control --reload && udevadm trigger "
           "(or replug the unit).";
}

void ListPort(const std::shared_ptr<BusAccess>& bus, int port, UnitList* units) {
    std::vector<FirewireNodeReport> nodes;
    DescribePort(*bus, port, &nodes);
    for (auto& node : nodes) {
        if (!node.tape) continue;
        std::string name = node.model.empty() ? kDefaultName : node.model;
        units->push_back(
            std::make_shared<FirewireUnit>(bus, port, node.guid, node.node, std::move(name)));
    }
}

}  // namespace

bool MayReadWrite(const struct stat& file, uid_t uid, const std::vector<gid_t>& groups) {
    if (uid == 0) return true;
    const mode_t mode = file.st_mode;
    if (file.st_uid == uid) return (mode & S_IRUSR) != 0 && (mode & S_IWUSR) != 0;
    if (std::find(groups.begin(), groups.end(), file.st_gid) != groups.end())
        return (mode & S_IRGRP) != 0 && (mode & S_IWGRP) != 0;
    return (mode & S_IROTH) != 0 && (mode & S_IWOTH) != 0;
}

FirewireReport DescribeFirewire(BusAccess& bus, const std::string& dev_dir) {
    FirewireReport report;
    report.nodes = DescribeNodes(bus);
    report.device_files = DescribeDeviceFiles(dev_dir);
    report.advice = AdviceFor(report.device_files);
    return report;
}

UnitList ListFirewireUnits(const std::shared_ptr<BusAccess>& bus) {
    UnitList units;
    const int ports = bus->PortCount();
    for (int port = 0; port < ports; ++port) ListPort(bus, port, &units);
    return units;
}

}  // namespace firewire

UnitList ListFirewireUnits() {
    return firewire::ListFirewireUnits(firewire::InstalledBus());
}

}  // namespace platform::dv1394
