#pragma once
// The report-descriptor parser: turns a device's report descriptor into one description per
// top-level collection, with the capabilities (report fields) of each in the order in which the
// original platform's parser lists them. Malformed descriptors are refused, never trusted: every
// item length, every field position and every report length is checked.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform::hid {

enum class ReportType : std::uint8_t { Input = 0, Output = 1, Feature = 2 };
inline constexpr int kReportTypes = 3;

// One report field group: a run of `count` fields of `bitSize` bits each, starting at
// `bytePosition`/`bitPosition` of the report (byte 0 is the report ID byte, present as 0 when
// the device has no report IDs).
struct Capability {
    ReportType type = ReportType::Input;
    std::uint16_t usagePage = 0;
    std::uint8_t reportId = 0;
    std::uint16_t bytePosition = 0;
    std::uint8_t bitPosition = 0;
    std::uint16_t bitSize = 0;
    std::uint16_t count = 0;
    bool isButton = false;
    bool isArray = false;  // the fields hold usage indices rather than one value per usage
    bool isRange = false;
    bool isAbsolute = true;
    std::uint16_t usageMin = 0;  // the usage when not a range
    std::uint16_t usageMax = 0;
    std::uint16_t linkCollection = 0;
    std::int64_t logicalMin = 0;
    std::int64_t logicalMax = 0;
    // Arrays with several usage entries get one capability per entry; they share a group and
    // each knows where its usages start in the array's index space.
    std::uint32_t arrayGroup = 0;
    std::uint32_t arrayIndexBase = 0;
    bool isMultipleItemsForArray = false;

    std::uint32_t UsageCount() const { return isRange ? usageMax - usageMin + 1u : 1u; }
    std::uint32_t FirstBit() const { return bytePosition * 8u + bitPosition; }
};

struct LinkCollection {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    std::uint16_t parent = 0;
    std::uint8_t type = 0;
};

struct TopLevelCollection {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // Report byte lengths by type, report ID byte included; 0 for a type with no report.
    std::array<std::uint16_t, kReportTypes> reportLength{};
    std::vector<Capability> caps;             // input, then output, then feature
    std::vector<LinkCollection> collections;  // [0] is the top-level collection itself
    // The report IDs this collection uses, by type; {0} when the device has no report IDs.
    std::array<std::vector<std::uint8_t>, kReportTypes> reportIds;
};

// Parses a whole report descriptor. Nothing when it is malformed: an item running past the
// end, an unbalanced collection or pop, a zero report ID, a report longer than 65535 bytes,
// or no top-level collection at all.
std::optional<std::vector<TopLevelCollection>> ParseReportDescriptor(
    std::span<const std::uint8_t> descriptor);

}  // namespace platform::hid
