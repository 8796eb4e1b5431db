#include "cli/device_list.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/dv1394/dv_unit.h"

namespace capture {

namespace {

namespace dv1394 = platform::dv1394;

// The FireWire device nodes this user may not open for reading and writing.
std::vector<std::string> ClosedFirewireNodes() {
    std::vector<std::string> closed;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("fw", 0) != 0 || name.size() < 3 ||
            name.find_first_not_of("0123456789", 2) != std::string::npos)
            continue;
        if (::access(entry.path().c_str(), R_OK | W_OK) != 0) closed.push_back(entry.path());
    }
    return closed;
}

std::string GroupOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    const group* g = ::getgrgid(info.st_gid);
    return g ? g->gr_name : std::to_string(info.st_gid);
}

void PrintFirewireHelp(std::FILE* out, const std::vector<std::string>& closed) {
    if (closed.empty()) return;
    std::string nodes;
    for (const auto& node : closed) nodes += (nodes.empty() ? "" : ", ") + node;
    std::string group = GroupOf(closed.front());
    std::fprintf(out,
                 "  This user cannot open %s: a FireWire camcorder or deck there is not listed.\n"
                 "  Install the udev rule that comes with Velmora (it gives the console user\n"
                 "  access to FireWire AV/C units), or add yourself to the group of the device\n"
                 "  (sudo adduser $USER %s, then log in again); then replug the unit.\n",
                 nodes.c_str(), group.empty() ? "video" : group.c_str());
}

}  // namespace

int PrintDeviceList(std::FILE* out) {
    dv1394::UnitList firewire = dv1394::ListFirewireUnits();
    dv1394::UnitList decks = dv1394::ListVirtualDecks();
    const std::vector<std::string> closed = ClosedFirewireNodes();
    int index = 0;
    for (const auto& unit : firewire) {
        // A unit that is listed answered through its device node: this user can open it.
        std::fprintf(out, "%d  firewire  guid %s  %s  can open\n", index++, unit->Id().c_str(),
                     unit->Name().c_str());
    }
    for (const auto& deck : decks) {
        bool open = ::access(deck->Id().c_str(), R_OK | W_OK) == 0;
        std::fprintf(out, "%d  virtual   %s  (%s)  %s\n", index++, deck->Name().c_str(),
                     deck->Id().c_str(),
                     open ? "can open" : "cannot open: no access to its socket");
    }
    if (index == 0) std::fprintf(out, "No DV unit found.\n");
    PrintFirewireHelp(out, closed);
    return 0;
}

}  // namespace capture
