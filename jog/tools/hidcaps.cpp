// pelko-hidcaps FILE: reads a report descriptor written as hex byte pairs and prints what the
// HID parser makes of it, one block per top-level collection.
// pelko-hidcaps --udev NODE: says whether a hidraw node is the jog controller, for the udev
// rule that gives the desktop user access to that node only.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "jog/controller_identity.h"
#include "platform/hid/preparsed.h"
#include "platform/hid/report_descriptor.h"

namespace {

using platform::hid::Capability;
using platform::hid::TopLevelCollection;

int HexDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
           : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
           : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                       : -1;
}

// Hex byte pairs, separated by white space or run together (as xxd -p writes them); nothing
// on anything else.
bool ParseHex(std::istream& in, std::vector<std::uint8_t>& bytes) {
    std::string token;
    while (in >> token) {
        if (token.size() % 2 != 0) return false;
        for (std::size_t i = 0; i < token.size(); i += 2) {
            const int high = HexDigit(token[i]), low = HexDigit(token[i + 1]);
            if (high < 0 || low < 0) return false;
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
    }
    return true;
}

const char* TypeName(platform::hid::ReportType type) {
    switch (type) {
        case platform::hid::ReportType::Input:
            return "input";
        case platform::hid::ReportType::Output:
            return "output";
        case platform::hid::ReportType::Feature:
            return "feature";
    }
    return "?";
}

void PrintCap(const Capability& cap) {
    std::printf("cap %s page=0x%04X report=%u byte=%u bit=%u size=%u count=%u button=%d ",
                TypeName(cap.type), cap.usagePage, cap.reportId, cap.bytePosition, cap.bitPosition,
                cap.bitSize, cap.count, cap.isButton ? 1 : 0);
    if (cap.isRange)
        std::printf("usage=0x%04X-0x%04X", cap.usageMin, cap.usageMax);
    else
        std::printf("usage=0x%04X", cap.usageMin);
    std::printf(" link=%u\n", cap.linkCollection);
}

void PrintCollection(std::size_t index, const TopLevelCollection& top) {
    std::printf("collection %zu page=0x%04X usage=0x%04X input=%u output=%u feature=%u\n", index,
                top.usagePage, top.usage, top.reportLength[0], top.reportLength[1],
                top.reportLength[2]);
    for (const Capability& cap : top.caps) PrintCap(cap);
}

// The report descriptor behind a hidraw node (/dev/hidrawN, from sysfs), or a file that holds
// one as raw bytes, as sysfs gives it.
std::optional<std::vector<std::uint8_t>> ReadRawDescriptor(const std::string& path) {
    std::string file = path;
    constexpr std::string_view kNodes = "/dev/hidraw";
    if (path.rfind(kNodes, 0) == 0 && path.size() > kNodes.size() &&
        path.find('/', kNodes.size()) == std::string::npos)
        file = "/sys/class/hidraw/" + path.substr(5) + "/device/report_descriptor";
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    char c;
    // A report descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE); more is not one.
    while (bytes.size() <= 4096 && in.get(c)) bytes.push_back(static_cast<std::uint8_t>(c));
    if (bytes.size() > 4096) return std::nullopt;
    return bytes;
}

// For a udev rule's IMPORT{program}: prints VELMORA_JOG_CONTROLLER=1 when one of the node's
// top-level collections is the jog controller as Pelko recognises it, and nothing otherwise.
int IdentifyForUdev(const std::string& path) {
    const auto bytes = ReadRawDescriptor(path);
    if (!bytes) return 0;
    auto tops = platform::hid::ParseReportDescriptor(*bytes);
    if (!tops) return 0;
    bool found = false;
    for (auto& top : *tops) {
        PHIDP_PREPARSED_DATA preparsed = platform::hid::NewPreparsedData(std::move(top));
        found = found || pelko::IsJogController(preparsed);
        HidD_FreePreparsedData(preparsed);
    }
    if (found) std::printf("VELMORA_JOG_CONTROLLER=1\n");
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: pelko-hidcaps FILE          (a report descriptor as hex byte pairs)\n"
                 "       pelko-hidcaps --udev NODE   (/dev/hidrawN, or a raw descriptor file)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: pelko-hidcaps FILE\n"
            "       pelko-hidcaps --udev NODE\n"
            "Prints what the HID parser makes of a report descriptor written as hex bytes\n"
            "(e.g. xxd -p /sys/class/hidraw/hidrawN/device/report_descriptor).\n"
            "With --udev, for a udev rule: prints VELMORA_JOG_CONTROLLER=1 when the node\n"
            "(/dev/hidrawN, or a file holding a raw report descriptor) is the jog controller.\n");
        return 0;
    }
    if (argc == 3 && std::string_view(argv[1]) == "--udev") return IdentifyForUdev(argv[2]);
    if (argc != 2) return Usage();
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "pelko-hidcaps: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> bytes;
    if (!ParseHex(in, bytes)) {
        std::fprintf(stderr, "pelko-hidcaps: %s is not hex byte pairs\n", argv[1]);
        return 1;
    }
    const auto tops = platform::hid::ParseReportDescriptor(bytes);
    if (!tops) {
        std::fprintf(stderr, "pelko-hidcaps: %s is not a valid report descriptor\n", argv[1]);
        return 1;
    }
    for (std::size_t i = 0; i < tops->size(); ++i) PrintCollection(i, (*tops)[i]);
    return 0;
}
