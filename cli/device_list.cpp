#include "cli/device_list.h"

#include <unistd.h>

#include <string>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/firewire_list.h"
#include "platform/dv1394/firewire/firewire_unit.h"

namespace capture {

namespace {

namespace dv1394 = platform::dv1394;
namespace firewire = platform::dv1394::firewire;

// "vendor model" of the unit's node as the bus describes it; the unit's name otherwise.
std::string Maker(const dv1394::DvUnit& unit, const firewire::FirewireReport& report) {
    for (const auto& node : report.nodes) {
        if (unit.Id() != firewire::GuidId(node.guid)) continue;
        std::string maker = node.vendor;
        const std::string& model = node.model.empty() ? unit.Name() : node.model;
        return maker.empty() ? model : maker + " " + model;
    }
    return unit.Name();
}

void PrintDeviceFiles(std::FILE* out, const firewire::FirewireReport& report) {
    for (const auto& file : report.device_files)
        if (!file.usable)
            std::fprintf(out, "  %s (%s %s): this user cannot open it\n", file.path.c_str(),
                         file.owner.c_str(), file.mode.c_str());
    if (!report.advice.empty()) std::fprintf(out, "  %s\n", report.advice.c_str());
}

}  // namespace

int PrintDeviceList(std::FILE* out, const std::shared_ptr<firewire::BusAccess>& bus,
                    const std::string& devDir) {
    const firewire::FirewireReport report = firewire::DescribeFirewire(*bus, devDir);
    const dv1394::UnitList units = firewire::ListFirewireUnits(bus);
    const dv1394::UnitList decks = dv1394::ListVirtualDecks();
    int index = 0;
    for (const auto& unit : units) {
        // A unit that is listed answered through its device file: this user can open it.
        std::fprintf(out, "%d  firewire  %s  %s  can open\n", index++, unit->Id().c_str(),
                     Maker(*unit, report).c_str());
    }
    for (const auto& deck : decks) {
        bool open = ::access(deck->Id().c_str(), R_OK | W_OK) == 0;
        std::fprintf(out, "%d  virtual   %s  (%s)  %s\n", index++, deck->Name().c_str(),
                     deck->Id().c_str(),
                     open ? "can open" : "cannot open: no access to its socket");
    }
    if (index == 0) std::fprintf(out, "No DV unit found.\n");
    if (!report.device_files.empty() || !report.advice.empty()) {
        std::fprintf(out, "FireWire:\n");
        PrintDeviceFiles(out, report);
        if (report.advice.empty())
            std::fprintf(out, "  %zu device file(s), all open to this user\n",
                         report.device_files.size());
    }
    return 0;
}

int PrintDeviceList(std::FILE* out) {
    return PrintDeviceList(out, firewire::InstalledBus(), "/dev");
}

}  // namespace capture
