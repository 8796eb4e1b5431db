#include "platform/hid/report_descriptor.h"

#include <algorithm>
#include <map>

namespace platform::hid {

namespace {

// Report byte lengths are 16-bit and include the report ID byte.
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;
constexpr std::size_t kMaxPushDepth = 64;
constexpr std::size_t kMaxLinkCollections = 0xFFFF;

enum class ItemType : std::uint8_t { Main = 0, Global = 1, Local = 2, Reserved = 3 };

enum MainTag : std::uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC
};

enum GlobalTag : std::uint8_t {
    kUsagePage = 0x0,
    kLogicalMin = 0x1,
    kLogicalMax = 0x2,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB
};

enum LocalTag : std::uint8_t { kUsage = 0x0, kUsageMin = 0x1, kUsageMax = 0x2 };

// Main-item data bits.
constexpr std::uint32_t kConstant = 0x01;
constexpr std::uint32_t kVariable = 0x02;
constexpr std::uint32_t kRelative = 0x04;

struct Item {
    ItemType type;
    std::uint8_t tag;
    std::uint8_t size;  // data bytes: 0, 1, 2 or 4
    std::uint32_t value;
    std::int32_t signedValue;
};

struct GlobalState {
    std::uint16_t usagePage = 0;
    std::int64_t logicalMin = 0;
    std::int64_t logicalMax = 0;
    std::uint32_t logicalMaxUnsigned = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

// A usage as declared: 4-byte usages carry their page, shorter ones take the page in force
// when the main item is parsed.
struct DeclaredUsage {
    std::uint16_t id = 0;
    std::uint16_t page = 0;
    bool hasPage = false;
};

struct UsageEntry {
    DeclaredUsage min;
    std::uint16_t max = 0;
    bool isRange = false;

    std::uint32_t Size() const { return isRange ? max - min.id + 1u : 1u; }
};

struct LocalState {
    std::vector<UsageEntry> entries;
    std::optional<DeclaredUsage> pendingMin;
    std::optional<DeclaredUsage> pendingMax;
};

class Parser {
  public:
    explicit Parser(std::span<const std::uint8_t> data) : data_(data) {}
    std::optional<std::vector<TopLevelCollection>> Run();

  private:
    bool NextItem(Item& item);
    bool OnMain(const Item& item);
    bool OnGlobal(const Item& item);
    bool OnLocal(const Item& item);
    bool FlushPendingRange();
    bool OpenCollection(const Item& item);
    bool CloseCollection();
    bool AddDataItem(ReportType type, std::uint32_t flags);
    void AddArrayCaps(const Capability& base, const std::vector<UsageEntry>& entries);
    void AddVariableCaps(const Capability& base, const std::vector<UsageEntry>& entries);
    void FinishTopLevel();
    std::uint16_t PageOf(const DeclaredUsage& usage) const {
        return usage.hasPage ? usage.page : global_.usagePage;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    GlobalState global_;
    std::vector<GlobalState> stack_;
    LocalState local_;
    std::vector<TopLevelCollection> result_;
    std::vector<std::uint16_t> open_;  // link collection indices of the open collections
    std::array<std::map<std::uint8_t, std::uint64_t>, kReportTypes> bits_;
    std::uint32_t nextArrayGroup_ = 1;
};

std::optional<std::vector<TopLevelCollection>> Parser::Run() {
    Item item{};
    while (pos_ < data_.size()) {
        if (!NextItem(item)) return std::nullopt;
        bool ok = true;
        switch (item.type) {
            case ItemType::Main:
                ok = OnMain(item);
                break;
            case ItemType::Global:
                ok = OnGlobal(item);
                break;
            case ItemType::Local:
                ok = OnLocal(item);
                break;
            case ItemType::Reserved:
                break;
        }
        if (!ok) return std::nullopt;
    }
    if (!open_.empty() || result_.empty()) return std::nullopt;
    return std::move(result_);
}

// Reads the item at pos_; long items are skipped whole and come back as reserved items.
bool Parser::NextItem(Item& item) {
    const std::uint8_t prefix = data_[pos_];
    if (prefix == 0xFE) {
        if (data_.size() - pos_ < 3) return false;
        const std::size_t length = 3u + data_[pos_ + 1];
        if (data_.size() - pos_ < length) return false;
        pos_ += length;
        item = {ItemType::Reserved, 0, 0, 0, 0};
        return true;
    }
    static constexpr std::uint8_t kSizes[4] = {0, 1, 2, 4};
    const std::uint8_t size = kSizes[prefix & 0x3];
    if (data_.size() - pos_ - 1 < size) return false;
    std::uint32_t value = 0;
    for (std::uint8_t i = 0; i < size; ++i)
        value |= static_cast<std::uint32_t>(data_[pos_ + 1 + i]) << (8 * i);
    std::int32_t signedValue = static_cast<std::int32_t>(value);
    if (size == 1) signedValue = static_cast<std::int8_t>(value);
    if (size == 2) signedValue = static_cast<std::int16_t>(value);
    item = {static_cast<ItemType>((prefix >> 2) & 0x3), static_cast<std::uint8_t>(prefix >> 4),
            size, value, signedValue};
    pos_ += 1u + size;
    return true;
}

bool Parser::OnMain(const Item& item) {
    if (!FlushPendingRange()) return false;
    bool ok = true;
    switch (item.tag) {
        case kCollection:
            ok = OpenCollection(item);
            break;
        case kEndCollection:
            ok = CloseCollection();
            break;
        case kInput:
            ok = AddDataItem(ReportType::Input, item.value);
            break;
        case kOutput:
            ok = AddDataItem(ReportType::Output, item.value);
            break;
        case kFeature:
            ok = AddDataItem(ReportType::Feature, item.value);
            break;
        default:
            break;
    }
    local_ = LocalState{};
    return ok;
}

bool Parser::OnGlobal(const Item& item) {
    switch (item.tag) {
        case kUsagePage:
            global_.usagePage = static_cast<std::uint16_t>(item.value);
            break;
        case kLogicalMin:
            global_.logicalMin = item.signedValue;
            break;
        case kLogicalMax:
            global_.logicalMax = item.signedValue;
            global_.logicalMaxUnsigned = item.value;
            break;
        case kReportSize:
            global_.reportSize = item.value;
            break;
        case kReportCount:
            global_.reportCount = item.value;
            break;
        case kReportId:
            if (item.value == 0 || item.value > 0xFF) return false;
            global_.reportId = static_cast<std::uint8_t>(item.value);
            break;
        case kPush:
            if (stack_.size() >= kMaxPushDepth) return false;
            stack_.push_back(global_);
            break;
        case kPop:
            if (stack_.empty()) return false;
            global_ = stack_.back();
            stack_.pop_back();
            break;
        default:
            break;  // physical extent, units: not needed for the capabilities used here
    }
    return true;
}

bool Parser::OnLocal(const Item& item) {
    DeclaredUsage usage{static_cast<std::uint16_t>(item.value & 0xFFFF),
                        static_cast<std::uint16_t>(item.value >> 16), item.size == 4};
    switch (item.tag) {
        case kUsage:
            if (!FlushPendingRange()) return false;
            local_.entries.push_back({usage, usage.id, false});
            break;
        case kUsageMin:
            local_.pendingMin = usage;
            break;
        case kUsageMax:
            local_.pendingMax = usage;
            break;
        default:
            break;  // designators, strings, delimiters
    }
    if (local_.pendingMin && local_.pendingMax) return FlushPendingRange();
    return true;
}

// Turns a declared minimum and maximum into a range entry; a lone bound is a single usage.
bool Parser::FlushPendingRange() {
    auto& min = local_.pendingMin;
    auto& max = local_.pendingMax;
    if (min && max) {
        if (max->id < min->id) return false;
        DeclaredUsage first = *min;
        if (!first.hasPage && max->hasPage) first = {min->id, max->page, true};
        local_.entries.push_back({first, max->id, true});
    } else if (min || max) {
        const DeclaredUsage& only = min ? *min : *max;
        local_.entries.push_back({only, only.id, false});
    }
    min.reset();
    max.reset();
    return true;
}

bool Parser::OpenCollection(const Item& item) {
    LinkCollection link;
    link.type = static_cast<std::uint8_t>(item.value);
    link.usagePage = global_.usagePage;
    if (!local_.entries.empty()) {
        link.usagePage = PageOf(local_.entries.front().min);
        link.usage = local_.entries.front().min.id;
    }
    if (open_.empty()) {
        TopLevelCollection top;
        top.usagePage = link.usagePage;
        top.usage = link.usage;
        top.collections.push_back(link);
        result_.push_back(std::move(top));
        for (auto& b : bits_) b.clear();
        open_.push_back(0);
        return true;
    }
    auto& links = result_.back().collections;
    if (links.size() >= kMaxLinkCollections) return false;
    link.parent = open_.back();
    links.push_back(link);
    open_.push_back(static_cast<std::uint16_t>(links.size() - 1));
    return true;
}

bool Parser::CloseCollection() {
    if (open_.empty()) return false;
    open_.pop_back();
    if (open_.empty()) FinishTopLevel();
    return true;
}

void Parser::FinishTopLevel() {
    TopLevelCollection& top = result_.back();
    for (int t = 0; t < kReportTypes; ++t) {
        std::uint16_t longest = 0;
        for (const auto& [id, bits] : bits_[t]) {
            longest = std::max(longest, static_cast<std::uint16_t>((bits + 7) / 8 + 1));
            top.reportIds[t].push_back(id);
        }
        top.reportLength[t] = longest;
    }
    std::stable_sort(top.caps.begin(), top.caps.end(),
                     [](const Capability& a, const Capability& b) { return a.type < b.type; });
}

bool Parser::AddDataItem(ReportType type, std::uint32_t flags) {
    if (open_.empty()) return false;  // data outside any collection
    if (global_.reportSize > 0xFFFF || global_.reportCount > 0xFFFF) return false;
    const std::uint64_t totalBits =
        static_cast<std::uint64_t>(global_.reportSize) * global_.reportCount;
    if (totalBits == 0) return true;
    std::uint64_t& reportBits = bits_[static_cast<int>(type)][global_.reportId];
    const std::uint64_t offset = reportBits;
    if (offset + totalBits > kMaxReportBits) return false;
    reportBits += totalBits;

    // A constant field takes room and gives no capability, whether or not usages were declared
    // for it: the original platform lists none for such fields either.
    if (flags & kConstant) return true;
    std::vector<UsageEntry> entries = local_.entries;
    if (entries.empty()) entries.push_back({});
    Capability base;
    base.type = type;
    base.reportId = global_.reportId;
    base.bitSize = static_cast<std::uint16_t>(global_.reportSize);
    base.count = static_cast<std::uint16_t>(global_.reportCount);
    base.bytePosition = static_cast<std::uint16_t>(1 + offset / 8);
    base.bitPosition = static_cast<std::uint8_t>(offset % 8);
    base.isArray = !(flags & kVariable);
    base.isButton = base.isArray || global_.reportSize == 1;
    base.isAbsolute = !(flags & kRelative);
    base.linkCollection = open_.back();
    base.logicalMin = global_.logicalMin;
    base.logicalMax = global_.logicalMax;
    if (global_.logicalMin >= 0 && global_.logicalMax < global_.logicalMin)
        base.logicalMax = global_.logicalMaxUnsigned;
    if (base.isArray)
        AddArrayCaps(base, entries);
    else
        AddVariableCaps(base, entries);
    return true;
}

Capability WithUsages(Capability cap, const UsageEntry& entry, std::uint16_t page) {
    cap.usagePage = page;
    cap.usageMin = entry.min.id;
    cap.usageMax = entry.max;
    cap.isRange = entry.isRange;
    return cap;
}

// Every entry of an array covers the whole field run; an index selects a usage across the
// entries in declaration order. The capabilities are listed last-declared first.
void Parser::AddArrayCaps(const Capability& base, const std::vector<UsageEntry>& entries) {
    std::vector<Capability> caps;
    std::uint32_t indexBase = 0;
    const std::uint32_t group = nextArrayGroup_++;
    for (const UsageEntry& entry : entries) {
        Capability cap = WithUsages(base, entry, PageOf(entry.min));
        cap.arrayGroup = group;
        cap.arrayIndexBase = indexBase;
        cap.isMultipleItemsForArray = entries.size() > 1 && indexBase != 0;
        indexBase += entry.Size();
        caps.push_back(cap);
    }
    auto& all = result_.back().caps;
    all.insert(all.end(), caps.rbegin(), caps.rend());
}

// Fields go to the usages in declaration order, a range taking one field per usage; the last
// entry that gets fields takes all that are left. Entries past the last field get nothing.
void Parser::AddVariableCaps(const Capability& base, const std::vector<UsageEntry>& entries) {
    std::vector<Capability> caps;
    std::uint32_t field = 0;
    for (std::size_t i = 0; i < entries.size() && field < base.count; ++i) {
        const bool last = i + 1 == entries.size();
        const std::uint32_t left = base.count - field;
        const std::uint32_t fields = last ? left : std::min(entries[i].Size(), left);
        Capability cap = WithUsages(base, entries[i], PageOf(entries[i].min));
        const std::uint32_t firstBit = base.FirstBit() + field * base.bitSize;
        cap.bytePosition = static_cast<std::uint16_t>(firstBit / 8);
        cap.bitPosition = static_cast<std::uint8_t>(firstBit % 8);
        cap.count = static_cast<std::uint16_t>(fields);
        caps.push_back(cap);
        field += fields;
    }
    auto& all = result_.back().caps;
    all.insert(all.end(), caps.rbegin(), caps.rend());
}

}  // namespace

std::optional<std::vector<TopLevelCollection>> ParseReportDescriptor(
    std::span<const std::uint8_t> descriptor) {
    return Parser(descriptor).Run();
}

}  // namespace platform::hid
