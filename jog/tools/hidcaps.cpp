// pelko-hidcaps FILE: reads a report descriptor written as hex byte pairs and prints what the
// HID parser makes of it, one block per top-level collection.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hid/report_descriptor.h"

namespace {

using platform::hid::Capability;
using platform::hid::TopLevelCollection;

// Hex byte pairs separated by white space; nothing on anything else.
bool ParseHex(std::istream& in, std::vector<std::uint8_t>& bytes) {
    std::string token;
    while (in >> token) {
        if (token.size() != 2) return false;
        unsigned value = 0;
        for (char c : token) {
            int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                        : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                    : -1;
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: pelko-hidcaps FILE\n"
            "Prints what the HID parser makes of a report descriptor written as hex bytes\n"
            "(e.g. xxd -p /sys/class/hidraw/hidrawN/device/report_descriptor).\n");
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelko-hidcaps FILE\n");
        return 2;
    }
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
