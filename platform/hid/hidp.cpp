// Report parsing on preparsed data: capabilities, button usages, usage values.

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/hid/preparsed.h"

using platform::hid::Capability;
using platform::hid::ReportType;
using platform::hid::TopLevelCollection;

namespace {

// The preparsed data handed out and not yet freed, so that a stale or foreign pointer is
// refused rather than freed.
class LiveSet {
  public:
    void Add(const void* p) {
        std::lock_guard lock(mutex_);
        live_.insert(p);
    }
    bool Remove(const void* p) {
        std::lock_guard lock(mutex_);
        return live_.erase(p) == 1;
    }

  private:
    std::mutex mutex_;
    std::unordered_set<const void*> live_;
};

LiveSet& Live() {
    static auto* set = new LiveSet;  // lives as long as the process
    return *set;
}

const TopLevelCollection* CollectionOf(PHIDP_PREPARSED_DATA data) {
    if (!data || data->magic != _HIDP_PREPARSED_DATA::kMagic) return nullptr;
    return &data->collection;
}

bool ValidType(HIDP_REPORT_TYPE type) {
    return type == HidP_Input || type == HidP_Output || type == HidP_Feature;
}

ReportType TypeOf(HIDP_REPORT_TYPE type) {
    return static_cast<ReportType>(type);
}

bool LinkMatches(const Capability& cap, USHORT linkCollection) {
    if (linkCollection == HIDP_LINK_COLLECTION_UNSPECIFIED) return true;
    if (linkCollection == HIDP_LINK_COLLECTION_ROOT) return cap.linkCollection == 0;
    return cap.linkCollection == linkCollection;
}

// The report as bytes, or an empty span when its length is not the collection's length for
// the type (the report ID byte included).
std::span<std::uint8_t> ReportSpan(const TopLevelCollection& top, HIDP_REPORT_TYPE type,
                                   PCHAR report, ULONG length) {
    if (!report || length == 0 || length != top.reportLength[type]) return {};
    return {reinterpret_cast<std::uint8_t*>(report), length};
}

bool FieldFits(std::span<const std::uint8_t> report, std::uint32_t firstBit, std::uint32_t size) {
    return size >= 1 && size <= 32 &&
           firstBit + static_cast<std::uint64_t>(size) <=
               static_cast<std::uint64_t>(report.size()) * 8;
}

std::uint32_t ReadBits(std::span<const std::uint8_t> report, std::uint32_t firstBit,
                       std::uint32_t size) {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint32_t bit = firstBit + i;
        if ((report[bit / 8] >> (bit % 8)) & 1) value |= 1u << i;
    }
    return value;
}

void WriteBits(std::span<std::uint8_t> report, std::uint32_t firstBit, std::uint32_t size,
               std::uint32_t value) {
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint32_t bit = firstBit + i;
        const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
        if ((value >> i) & 1)
            report[bit / 8] |= mask;
        else
            report[bit / 8] &= static_cast<std::uint8_t>(~mask);
    }
}

// A field's value as the logical range reads it: sign-extended when the range is signed.
std::int64_t FieldValue(std::uint32_t raw, std::uint32_t size, std::int64_t logicalMin) {
    if (logicalMin < 0 && size < 32 && (raw >> (size - 1)) & 1)
        return static_cast<std::int64_t>(raw) - (std::int64_t{1} << size);
    if (logicalMin < 0 && size == 32) return static_cast<std::int32_t>(raw);
    return raw;
}

class UsageCollector {
  public:
    UsageCollector(USAGE_AND_PAGE* list, ULONG capacity) : list_(list), capacity_(capacity) {}
    void Add(USAGE usage, USAGE page) {
        if (usage == 0) return;  // usage 0 means no usage
        if (found_ < capacity_ && list_) list_[found_] = {usage, page};
        ++found_;
    }
    ULONG Found() const { return found_; }
    bool Overflowed() const { return found_ > capacity_; }

  private:
    USAGE_AND_PAGE* list_;
    ULONG capacity_;
    ULONG found_ = 0;
};

void CollectVariableButtons(const Capability& cap, std::span<const std::uint8_t> report,
                            UsageCollector& out) {
    for (std::uint32_t i = 0; i < cap.count; ++i) {
        const std::uint32_t bit = cap.FirstBit() + i * cap.bitSize;
        if (!FieldFits(report, bit, cap.bitSize) || ReadBits(report, bit, cap.bitSize) == 0)
            continue;
        const std::uint32_t usage =
            cap.isRange ? std::min<std::uint32_t>(cap.usageMin + i, cap.usageMax) : cap.usageMin;
        out.Add(static_cast<USAGE>(usage), cap.usagePage);
    }
}

// Each field of an array holds an index into the usages of all the array's entries.
void CollectArrayButtons(const std::vector<const Capability*>& group,
                         std::span<const std::uint8_t> report, UsageCollector& out) {
    const Capability& first = *group.front();
    for (std::uint32_t i = 0; i < first.count; ++i) {
        const std::uint32_t bit = first.FirstBit() + i * first.bitSize;
        if (!FieldFits(report, bit, first.bitSize)) continue;
        const std::int64_t value =
            FieldValue(ReadBits(report, bit, first.bitSize), first.bitSize, first.logicalMin);
        if (value < first.logicalMin || value > first.logicalMax) continue;
        const std::int64_t index = value - first.logicalMin;
        for (const Capability* cap : group) {
            const std::int64_t offset = index - cap->arrayIndexBase;
            if (offset < 0 || offset >= cap->UsageCount()) continue;
            out.Add(static_cast<USAGE>(cap->usageMin + offset), cap->usagePage);
            break;
        }
    }
}

// The value capability holding the usage in a report with the given ID (0: any).
const Capability* FindValueCap(const TopLevelCollection& top, ReportType type, USAGE page,
                               USHORT link, USAGE usage, std::uint8_t reportId, NTSTATUS* status) {
    bool anyId = false;
    for (const Capability& cap : top.caps) {
        if (cap.type != type || cap.isButton || cap.usagePage != page || !LinkMatches(cap, link))
            continue;
        if (usage < cap.usageMin || usage > cap.usageMax) continue;
        anyId = true;
        if (reportId == 0 || cap.reportId == reportId) return &cap;
    }
    *status = anyId ? HIDP_STATUS_INCOMPATIBLE_REPORT_ID : HIDP_STATUS_USAGE_NOT_FOUND;
    return nullptr;
}

// The first bit of the usage's field within its capability, or nothing.
std::optional<std::uint32_t> ValueFieldBit(const Capability& cap, USAGE usage, NTSTATUS* status) {
    if (!cap.isRange && cap.count > 1) {
        *status = HIDP_STATUS_IS_VALUE_ARRAY;
        return std::nullopt;
    }
    const std::uint32_t field = usage - cap.usageMin;
    if (field >= cap.count) {
        *status = HIDP_STATUS_USAGE_NOT_FOUND;
        return std::nullopt;
    }
    if (cap.bitSize > 32) {
        *status = HIDP_STATUS_NOT_IMPLEMENTED;
        return std::nullopt;
    }
    return cap.FirstBit() + field * cap.bitSize;
}

}  // namespace

namespace platform::hid {

PHIDP_PREPARSED_DATA NewPreparsedData(TopLevelCollection collection) {
    auto data = std::make_unique<_HIDP_PREPARSED_DATA>();
    data->collection = std::move(collection);
    Live().Add(data.get());
    return data.release();
}

}  // namespace platform::hid

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    if (!preparsedData || !Live().Remove(preparsedData)) return FALSE;
    std::unique_ptr<_HIDP_PREPARSED_DATA> owned(preparsedData);
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, HIDP_CAPS* capabilities) {
    const TopLevelCollection* top = CollectionOf(preparsedData);
    if (!top) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!capabilities) return HIDP_STATUS_NULL;
    HIDP_CAPS caps{};
    caps.Usage = top->usage;
    caps.UsagePage = top->usagePage;
    caps.InputReportByteLength = top->reportLength[0];
    caps.OutputReportByteLength = top->reportLength[1];
    caps.FeatureReportByteLength = top->reportLength[2];
    caps.NumberLinkCollectionNodes = static_cast<USHORT>(top->collections.size());
    USHORT* counts[3][3] = {
        {&caps.NumberInputButtonCaps, &caps.NumberInputValueCaps, &caps.NumberInputDataIndices},
        {&caps.NumberOutputButtonCaps, &caps.NumberOutputValueCaps, &caps.NumberOutputDataIndices},
        {&caps.NumberFeatureButtonCaps, &caps.NumberFeatureValueCaps,
         &caps.NumberFeatureDataIndices}};
    for (const Capability& cap : top->caps) {
        USHORT** row = counts[static_cast<int>(cap.type)];
        ++*row[cap.isButton ? 0 : 1];
        *row[2] = static_cast<USHORT>(*row[2] + cap.UsageCount());
    }
    *capabilities = caps;
    return HIDP_STATUS_SUCCESS;
}

ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE reportType, USAGE usagePage,
                              PHIDP_PREPARSED_DATA preparsedData) {
    const TopLevelCollection* top = CollectionOf(preparsedData);
    if (!top || !ValidType(reportType)) return 0;
    ULONG total = 0;
    std::vector<std::uint32_t> arraysCounted;
    for (const Capability& cap : top->caps) {
        if (cap.type != TypeOf(reportType) || !cap.isButton) continue;
        if (usagePage != 0 && cap.usagePage != usagePage) continue;
        if (cap.isArray) {
            if (std::ranges::find(arraysCounted, cap.arrayGroup) != arraysCounted.end()) continue;
            arraysCounted.push_back(cap.arrayGroup);
        }
        total += cap.count;
    }
    return total;
}

NTSTATUS HidP_GetUsagesEx(HIDP_REPORT_TYPE reportType, USHORT linkCollection,
                          USAGE_AND_PAGE* buttonList, ULONG* usageLength,
                          PHIDP_PREPARSED_DATA preparsedData, PCHAR report, ULONG reportLength) {
    const TopLevelCollection* top = CollectionOf(preparsedData);
    if (!top) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!ValidType(reportType)) return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (!usageLength) return HIDP_STATUS_NULL;
    const auto bytes = ReportSpan(*top, reportType, report, reportLength);
    if (bytes.empty()) return HIDP_STATUS_INVALID_REPORT_LENGTH;

    bool anyButton = false;
    std::vector<const Capability*> caps;
    for (const Capability& cap : top->caps) {
        if (cap.type != TypeOf(reportType) || !cap.isButton || !LinkMatches(cap, linkCollection))
            continue;
        anyButton = true;
        if (cap.reportId == bytes[0]) caps.push_back(&cap);
    }
    if (!anyButton) return HIDP_STATUS_USAGE_NOT_FOUND;
    if (caps.empty()) return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;

    UsageCollector out(buttonList, *usageLength);
    std::vector<std::uint32_t> arraysDone;
    for (const Capability* cap : caps) {
        if (!cap->isArray) {
            CollectVariableButtons(*cap, bytes, out);
            continue;
        }
        if (std::ranges::find(arraysDone, cap->arrayGroup) != arraysDone.end()) continue;
        arraysDone.push_back(cap->arrayGroup);
        std::vector<const Capability*> group;
        for (const Capability* other : caps)
            if (other->arrayGroup == cap->arrayGroup) group.push_back(other);
        CollectArrayButtons(group, bytes, out);
    }
    const bool overflowed = out.Overflowed();
    *usageLength = out.Found();
    return overflowed ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_UsageListDifference(PUSAGE previousUsageList, PUSAGE currentUsageList,
                                  PUSAGE breakUsageList, PUSAGE makeUsageList,
                                  ULONG usageListLength) {
    if (usageListLength == 0) return HIDP_STATUS_SUCCESS;
    if (!previousUsageList || !currentUsageList || !breakUsageList || !makeUsageList)
        return HIDP_STATUS_NULL;
    const std::vector<USAGE> previous(previousUsageList, previousUsageList + usageListLength);
    const std::vector<USAGE> current(currentUsageList, currentUsageList + usageListLength);
    auto onlyIn = [](const std::vector<USAGE>& from, const std::vector<USAGE>& other) {
        std::vector<USAGE> result;
        for (USAGE u : from) {
            if (u == 0 || std::ranges::find(other, u) != other.end()) continue;
            if (std::ranges::find(result, u) == result.end()) result.push_back(u);
        }
        return result;
    };
    const std::vector<USAGE> released = onlyIn(previous, current);
    const std::vector<USAGE> pressed = onlyIn(current, previous);
    std::fill_n(breakUsageList, usageListLength, USAGE{0});
    std::fill_n(makeUsageList, usageListLength, USAGE{0});
    std::ranges::copy(released, breakUsageList);
    std::ranges::copy(pressed, makeUsageList);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_SetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG usageValue, PHIDP_PREPARSED_DATA preparsedData,
                            PCHAR report, ULONG reportLength) {
    const TopLevelCollection* top = CollectionOf(preparsedData);
    if (!top) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!ValidType(reportType)) return HIDP_STATUS_INVALID_REPORT_TYPE;
    const auto bytes = ReportSpan(*top, reportType, report, reportLength);
    if (bytes.empty()) return HIDP_STATUS_INVALID_REPORT_LENGTH;
    NTSTATUS status = HIDP_STATUS_SUCCESS;
    const Capability* cap =
        FindValueCap(*top, TypeOf(reportType), usagePage, linkCollection, usage, bytes[0], &status);
    if (!cap) return status;
    const auto bit = ValueFieldBit(*cap, usage, &status);
    if (!bit) return status;
    if (!FieldFits(bytes, *bit, cap->bitSize)) return HIDP_STATUS_INVALID_REPORT_LENGTH;
    bytes[0] = cap->reportId;
    WriteBits(bytes, *bit, cap->bitSize, usageValue);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG* usageValue, PHIDP_PREPARSED_DATA preparsedData,
                            PCHAR report, ULONG reportLength) {
    const TopLevelCollection* top = CollectionOf(preparsedData);
    if (!top) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!ValidType(reportType)) return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (!usageValue) return HIDP_STATUS_NULL;
    const auto bytes = ReportSpan(*top, reportType, report, reportLength);
    if (bytes.empty()) return HIDP_STATUS_INVALID_REPORT_LENGTH;
    NTSTATUS status = HIDP_STATUS_SUCCESS;
    const Capability* cap =
        FindValueCap(*top, TypeOf(reportType), usagePage, linkCollection, usage, bytes[0], &status);
    if (!cap) return status;
    if (cap->reportId != bytes[0]) return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    const auto bit = ValueFieldBit(*cap, usage, &status);
    if (!bit) return status;
    if (!FieldFits(bytes, *bit, cap->bitSize)) return HIDP_STATUS_INVALID_REPORT_LENGTH;
    *usageValue = ReadBits(bytes, *bit, cap->bitSize);
    return HIDP_STATUS_SUCCESS;
}
