#include "platform/filters/avi_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/media/errors.h"

namespace platform::avi {

namespace {

constexpr std::uint32_t kRiff = FourCC("RIFF");
constexpr std::uint32_t kList = FourCC("LIST");
constexpr std::uint32_t kAvi = FourCC("AVI ");
constexpr std::uint32_t kAvix = FourCC("AVIX");
constexpr std::uint32_t kHdrl = FourCC("hdrl");
constexpr std::uint32_t kMovi = FourCC("movi");
constexpr std::uint32_t kStrl = FourCC("strl");
constexpr std::uint32_t kIdx1 = FourCC("idx1");

constexpr std::uint32_t kAvifHasIndex = 0x10;
constexpr std::uint32_t kAvifIsInterleaved = 0x100;
constexpr std::uint32_t kAvifTrustChunkType = 0x800;
constexpr std::uint32_t kAviifKeyframe = 0x10;
constexpr std::uint32_t kAviifList = 0x01;
constexpr std::uint8_t kIndexOfIndexes = 0;
constexpr std::uint8_t kIndexOfChunks = 1;

constexpr std::size_t kMainHeaderSize = 56;
constexpr std::size_t kStreamHeaderSize = 56;
constexpr std::size_t kIndexHeaderSize = 24;
constexpr std::size_t kSuperEntrySize = 16;
constexpr std::size_t kDmlhSize = 248;

// Little-endian bytes appended one field at a time.
class Bytes {
  public:
    explicit Bytes(std::size_t reserve = 0) { data.reserve(reserve); }
    Bytes& u8(std::uint8_t v) {
        data.push_back(v);
        return *this;
    }
    Bytes& u16(std::uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& u64(std::uint64_t v) { return u32(std::uint32_t(v)).u32(std::uint32_t(v >> 32)); }
    Bytes& zeros(std::size_t n) {
        data.insert(data.end(), n, 0);
        return *this;
    }
    Bytes& raw(const std::vector<std::uint8_t>& v) {
        data.insert(data.end(), v.begin(), v.end());
        return *this;
    }
    Bytes& chunk(std::uint32_t id, std::uint32_t size) { return u32(id).u32(size); }
    std::vector<std::uint8_t> data;
};

std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint64_t Le64(const std::uint8_t* p) {
    return Le32(p) | std::uint64_t(Le32(p + 4)) << 32;
}

std::size_t Even(std::size_t n) {
    return n + (n & 1);
}

std::size_t StreamListSize(const StreamFormat& format) {
    return 12 + 8 + kStreamHeaderSize + 8 + Even(format.format.size()) + 8 + kIndexHeaderSize +
           kSuperEntrySize * Writer::kSuperIndexEntries;
}

// The stream number of a chunk identifier ("01wb" is 1), or -1.
int StreamOfChunk(std::uint32_t id) {
    int tens = int(id & 0xFF) - '0', ones = int((id >> 8) & 0xFF) - '0';
    if (tens < 0 || tens > 9 || ones < 0 || ones > 9) return -1;
    return tens * 10 + ones;
}

}  // namespace

std::uint32_t ChunkId(int index, const char (&suffix)[3]) {
    char text[5] = {char('0' + index / 10 % 10), char('0' + index % 10), suffix[0], suffix[1], 0};
    return FourCC(text);
}

// ---- writer ----

Writer::Writer(std::vector<StreamFormat> streams, std::uint64_t riffLimit)
    : riffLimit_(std::clamp(riffLimit, kMinRiffLimit, kMaxRiffLimit)) {
    headerSize_ = 12 + 12 + 8 + kMainHeaderSize + 12 + 8 + kDmlhSize;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        Stream s;
        s.format = std::move(streams[i]);
        s.chunkId = ChunkId(int(i), s.format.type == FourCC("auds") ? "wb" : "dc");
        headerSize_ += StreamListSize(s.format);
        streams_.push_back(std::move(s));
    }
}

void Writer::SetDateChunk(std::vector<std::uint8_t> text) {
    headerSize_ -= dateChunk_.empty() ? 0 : 8 + Even(dateChunk_.size());
    dateChunk_ = std::move(text);
    headerSize_ += dateChunk_.empty() ? 0 : 8 + Even(dateChunk_.size());
}

Patch Writer::Begin() {
    riffStart_ = 0;
    moviStart_ = std::int64_t(headerSize_);
    end_ = moviStart_ + 12;
    Patch patch = Headers();
    Bytes movi;
    movi.chunk(kList, 0).u32(kMovi);  // sizes stay 0 until the RIFF closes
    patch.bytes.insert(patch.bytes.end(), movi.data.begin(), movi.data.end());
    return patch;
}

std::uint64_t Writer::IndexBytes() const {
    std::uint64_t bytes = 0, chunks = 0;
    for (const auto& s : streams_) {
        if (!s.riffEntries.empty()) bytes += 8 + kIndexHeaderSize + 8 * s.riffEntries.size();
        chunks += s.riffEntries.size();
    }
    if (firstRiff_) bytes += 8 + 16 * chunks;
    return bytes;
}

HRESULT Writer::Place(int stream, std::uint32_t size, std::vector<Patch>* before,
                      std::int64_t* position) {
    if (finished_ || stream < 0 || stream >= int(streams_.size())) return E_UNEXPECTED;
    const std::uint64_t chunkBytes = 8 + std::uint64_t(size) + (size & 1);
    const std::uint64_t slack = 8 + kIndexHeaderSize + 8 + 16;  // this chunk's index entries
    bool riffHasChunks = std::int64_t(end_) > moviStart_ + 12;
    std::uint64_t used = std::uint64_t(end_ - riffStart_);
    if (riffHasChunks && used + chunkBytes + IndexBytes() + slack > riffLimit_) {
        for (const auto& s : streams_)
            if (s.super.size() >= kSuperIndexEntries) return E_OUTOFMEMORY;
        CloseRiff(before);
        OpenRiff(before);
    }
    Stream& s = streams_[stream];
    Entry entry{end_ + 8, size};
    s.riffEntries.push_back(entry);
    if (firstRiff_) firstRiffChunks_.emplace_back(stream, entry);
    s.total += 1;
    s.ticks += s.format.sampleSize ? size / s.format.sampleSize : 1;
    s.largest = std::max(s.largest, size);
    *position = end_;
    end_ += std::int64_t(chunkBytes);
    return S_OK;
}

void Writer::Retract(int stream, std::int64_t position) {
    if (finished_ || stream < 0 || stream >= int(streams_.size())) return;
    Stream& s = streams_[stream];
    if (s.riffEntries.empty() || s.riffEntries.back().dataPosition != position + 8) return;
    const std::uint32_t size = s.riffEntries.back().size;
    s.riffEntries.pop_back();
    if (firstRiff_ && !firstRiffChunks_.empty()) firstRiffChunks_.pop_back();
    s.total -= 1;
    s.ticks -= s.format.sampleSize ? size / s.format.sampleSize : 1;
    end_ = position;
}

std::int64_t Writer::SpaceNeeded(std::uint32_t size) const {
    const std::uint64_t chunkBytes = 8 + std::uint64_t(size) + (size & 1);
    // Beyond the indexes of the chunks so far: a new RIFF's header, each stream's index of it
    // with one entry, and this chunk's 'idx1' entry.
    const std::uint64_t closing =
        IndexBytes() + 24 + streams_.size() * (8 + kIndexHeaderSize + 8) + 16;
    return end_ + std::int64_t(chunkBytes + closing);
}

void Writer::OpenRiff(std::vector<Patch>* out) {
    riffStart_ = end_;
    moviStart_ = end_ + 12;
    Bytes b;
    b.chunk(kRiff, 0).u32(kAvix).chunk(kList, 0).u32(kMovi);
    out->push_back({end_, std::move(b.data)});
    end_ += 24;
}

Patch Writer::StandardIndex(const Stream& s, std::int64_t position) const {
    Bytes b(8 + kIndexHeaderSize + 8 * s.riffEntries.size());
    int number = int(&s - streams_.data());
    char id[5] = {'i', 'x', char('0' + number / 10 % 10), char('0' + number % 10), 0};
    b.chunk(FourCC(id), std::uint32_t(kIndexHeaderSize + 8 * s.riffEntries.size()));
    b.u16(2).u8(0).u8(kIndexOfChunks).u32(std::uint32_t(s.riffEntries.size())).u32(s.chunkId);
    b.u64(std::uint64_t(riffStart_)).u32(0);
    for (const Entry& e : s.riffEntries)
        b.u32(std::uint32_t(e.dataPosition - riffStart_)).u32(e.size & 0x7FFFFFFF);
    return {position, std::move(b.data)};
}

Patch Writer::LegacyIndex(std::int64_t position) const {
    Bytes b(8 + 16 * firstRiffChunks_.size());
    b.chunk(kIdx1, std::uint32_t(16 * firstRiffChunks_.size()));
    const std::int64_t base = moviStart_ + 8;  // offsets count from the 'movi' identifier
    for (const auto& [stream, e] : firstRiffChunks_) {
        b.u32(streams_[stream].chunkId).u32(kAviifKeyframe);
        b.u32(std::uint32_t(e.dataPosition - 8 - base)).u32(e.size);
    }
    return {position, std::move(b.data)};
}

void Writer::CloseRiff(std::vector<Patch>* out) {
    for (auto& s : streams_) {
        if (s.riffEntries.empty()) continue;
        Patch index = StandardIndex(s, end_);
        std::uint32_t duration = 0;
        for (const Entry& e : s.riffEntries)
            duration += s.format.sampleSize ? e.size / s.format.sampleSize : 1;
        s.super.push_back({end_, std::uint32_t(index.bytes.size()), duration});
        end_ += std::int64_t(index.bytes.size());
        out->push_back(std::move(index));
    }
    Bytes movi;
    movi.u32(std::uint32_t(end_ - moviStart_ - 8));
    out->push_back({moviStart_ + 4, std::move(movi.data)});
    if (firstRiff_) {
        Patch legacy = LegacyIndex(end_);
        end_ += std::int64_t(legacy.bytes.size());
        out->push_back(std::move(legacy));
        firstRiffFrames_ = streams_.empty() ? 0 : std::int64_t(streams_[0].riffEntries.size());
        firstRiffChunks_.clear();
        firstRiffChunks_.shrink_to_fit();
    }
    Bytes riff;
    riff.u32(std::uint32_t(end_ - riffStart_ - 8));
    if (firstRiff_) firstRiffSize_ = std::uint32_t(end_ - riffStart_ - 8);
    out->push_back({riffStart_ + 4, std::move(riff.data)});
    for (auto& s : streams_) s.riffEntries.clear();
    firstRiff_ = false;
}

std::vector<Patch> Writer::Finish() {
    std::vector<Patch> out;
    if (finished_) return out;
    CloseRiff(&out);
    finished_ = true;
    out.push_back(Headers());
    return out;
}

Patch Writer::Headers() const {
    Bytes b(headerSize_);
    const StreamFormat* main = streams_.empty() ? nullptr : &streams_[0].format;
    std::uint32_t largest = 0;
    std::uint64_t bytesPerSec = 0;
    for (const auto& s : streams_) {
        largest = std::max(largest, s.largest);
        if (s.format.scale)
            bytesPerSec += std::uint64_t(s.largest) * s.format.rate / s.format.scale;
    }
    std::int64_t totalFrames = streams_.empty() ? 0 : streams_[0].total;
    std::int64_t firstFrames = firstRiff_ ? totalFrames : firstRiffFrames_;
    b.chunk(kRiff, firstRiffSize_).u32(kAvi);
    b.chunk(kList, std::uint32_t(headerSize_ - 20)).u32(kHdrl);
    b.chunk(FourCC("avih"), kMainHeaderSize);
    b.u32(main && main->rate ? std::uint32_t(1000000ull * main->scale / main->rate) : 0);
    b.u32(std::uint32_t(std::min<std::uint64_t>(bytesPerSec, 0xFFFFFFFF))).u32(0);
    b.u32(kAvifHasIndex | kAvifIsInterleaved | kAvifTrustChunkType);
    b.u32(std::uint32_t(firstFrames)).u32(0).u32(std::uint32_t(streams_.size()));
    b.u32(largest + 8).u32(main ? main->width : 0).u32(main ? main->height : 0).zeros(16);
    for (const auto& s : streams_) {
        const StreamFormat& f = s.format;
        b.chunk(kList, std::uint32_t(StreamListSize(f) - 8)).u32(kStrl);
        b.chunk(FourCC("strh"), kStreamHeaderSize).u32(f.type).u32(f.handler).u32(0);
        b.u16(0).u16(0).u32(0).u32(f.scale).u32(f.rate).u32(0);
        b.u32(std::uint32_t(s.ticks)).u32(s.largest).u32(0xFFFFFFFF).u32(f.sampleSize);
        b.u16(0).u16(0).u16(f.width).u16(f.height);
        b.chunk(FourCC("strf"), std::uint32_t(f.format.size())).raw(f.format);
        if (f.format.size() & 1) b.u8(0);
        b.chunk(FourCC("indx"),
                std::uint32_t(kIndexHeaderSize + kSuperEntrySize * kSuperIndexEntries));
        b.u16(4).u8(0).u8(kIndexOfIndexes).u32(std::uint32_t(s.super.size())).u32(s.chunkId);
        b.zeros(12);
        for (const SuperEntry& e : s.super)
            b.u64(std::uint64_t(e.position)).u32(e.size).u32(e.duration);
        b.zeros(kSuperEntrySize * (kSuperIndexEntries - s.super.size()));
    }
    b.chunk(kList, 4 + 8 + kDmlhSize).u32(FourCC("odml"));
    b.chunk(FourCC("dmlh"), kDmlhSize).u32(std::uint32_t(totalFrames)).zeros(kDmlhSize - 4);
    if (!dateChunk_.empty()) {
        b.chunk(FourCC("IDIT"), std::uint32_t(dateChunk_.size())).raw(dateChunk_);
        if (dateChunk_.size() & 1) b.u8(0);
    }
    return {0, std::move(b.data)};
}

std::vector<std::uint8_t> DateChunkText(const char* recorded) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char end = 0;
    if (!recorded || std::sscanf(recorded, "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                                 &minute, &second, &end) != 6)
        return {};
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0)
        return {};
    // Day of the week (Sakamoto's method), 0 = Sunday.
    static constexpr int kMonthOffset[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const int y = month < 3 ? year - 1 : year;
    const int weekday = (y + y / 4 - y / 100 + y / 400 + kMonthOffset[month - 1] + day) % 7;
    static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    int n = std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kWeekdays[weekday],
                          kMonths[month - 1], day, hour, minute, second, year);
    std::vector<std::uint8_t> out(text, text + n);
    out.push_back(0);
    return out;
}

// ---- parser ----

namespace {

constexpr std::uint32_t kMaxHeaderList = 1u << 20;
constexpr std::uint32_t kMaxStreams = 100;
constexpr std::uint32_t kMaxFormat = 1u << 16;
constexpr std::uint32_t kMaxIndexChunk = 1u << 26;

struct SuperIndexEntry {
    std::uint64_t position;
    std::uint32_t size;
};

struct Layout {
    std::vector<std::uint8_t> headers;  // the 'hdrl' list body
    std::int64_t firstMovi = -1;        // position of the first 'movi' identifier
    std::int64_t idx1Position = -1;
    std::uint32_t idx1Size = 0;
};

class Parser {
  public:
    Parser(const ReadFunction& read, std::int64_t length) : read_(read), length_(length) {}
    HRESULT Run(ParsedFile* out);

  private:
    bool Read(std::int64_t position, std::uint32_t size, std::uint8_t* buffer) const {
        if (position < 0 || size > std::uint64_t(length_) ||
            std::uint64_t(position) > std::uint64_t(length_) - size)
            return false;
        return size == 0 || read_(position, size, buffer);
    }
    bool Fits(std::uint64_t position, std::uint64_t size) const {
        return position <= std::uint64_t(length_) && size <= std::uint64_t(length_) - position;
    }
    bool WalkFirstRiff(Layout* layout);
    bool ParseHeaders(const std::vector<std::uint8_t>& body, ParsedFile* out);
    bool ParseStreamList(const std::uint8_t* p, std::uint32_t size, ParsedFile* out);
    bool LoadOdml(ParsedStream* stream, const std::vector<SuperIndexEntry>& super);
    bool LoadStandardIndex(ParsedStream* stream, const SuperIndexEntry& entry);
    bool LoadIdx1(const Layout& layout, ParsedFile* out);
    void ScanMovi(const Layout& layout, ParsedFile* out);
    bool AddChunk(ParsedStream* stream, std::uint64_t position, std::uint32_t size);

    const ReadFunction& read_;
    std::int64_t length_;
    std::vector<std::vector<SuperIndexEntry>> super_;
    std::uint64_t totalChunks_ = 0;
};

bool Parser::AddChunk(ParsedStream* stream, std::uint64_t position, std::uint32_t size) {
    if (!Fits(position, size) || ++totalChunks_ > std::uint64_t(length_) / 8) return false;
    stream->chunks.push_back({std::int64_t(position), size});
    return true;
}

bool Parser::WalkFirstRiff(Layout* layout) {
    std::uint8_t head[12];
    if (!Read(0, 12, head) || Le32(head) != kRiff || Le32(head + 8) != kAvi) return false;
    std::uint64_t riffSize = Le32(head + 4);
    // A size of 0 (a recording that was cut off) or past the end: walk to the end of the file.
    std::uint64_t end = riffSize < 4 ? length_ : std::min<std::uint64_t>(8 + riffSize, length_);
    std::uint64_t pos = 12;
    while (pos + 8 <= end) {
        std::uint8_t h[12];
        if (!Read(std::int64_t(pos), pos + 12 <= end ? 12 : 8, h)) return false;
        std::uint32_t id = Le32(h), size = Le32(h + 4);
        if (id == kList && pos + 12 <= end && Le32(h + 8) == kHdrl && layout->headers.empty()) {
            if (size < 4 || size > kMaxHeaderList || !Fits(pos + 12, size - 4)) return false;
            layout->headers.resize(size - 4);
            if (!Read(std::int64_t(pos + 12), size - 4, layout->headers.data())) return false;
        } else if (id == kList && pos + 12 <= end && Le32(h + 8) == kMovi) {
            if (layout->firstMovi < 0) layout->firstMovi = std::int64_t(pos + 8);
            if (size < 4) break;  // an unfinished list: its chunks run to the end
        } else if (id == kIdx1) {
            layout->idx1Position = std::int64_t(pos + 8);
            layout->idx1Size = size;
        }
        pos += 8 + Even(size);
    }
    return !layout->headers.empty();
}

bool Parser::ParseHeaders(const std::vector<std::uint8_t>& body, ParsedFile* out) {
    std::size_t pos = 0;
    while (pos + 8 <= body.size()) {
        std::uint32_t id = Le32(&body[pos]), size = Le32(&body[pos + 4]);
        if (size > body.size() - pos - 8) return false;
        const std::uint8_t* data = &body[pos + 8];
        if (id == FourCC("avih") && size >= 4) {
            out->microSecPerFrame = Le32(data);
        } else if (id == kList && size >= 4 && Le32(data) == kStrl) {
            if (out->streams.size() >= kMaxStreams) return false;
            if (!ParseStreamList(data + 4, size - 4, out)) return false;
        }
        pos += 8 + Even(size);
    }
    return !out->streams.empty();
}

bool Parser::ParseStreamList(const std::uint8_t* p, std::uint32_t size, ParsedFile* out) {
    ParsedStream stream;
    std::vector<SuperIndexEntry> super;
    bool haveHeader = false;
    std::uint32_t pos = 0;
    while (pos + 8 <= size) {
        std::uint32_t id = Le32(p + pos), n = Le32(p + pos + 4);
        if (n > size - pos - 8) return false;
        const std::uint8_t* d = p + pos + 8;
        if (id == FourCC("strh") && n >= 48) {
            stream.type = Le32(d);
            stream.handler = Le32(d + 4);
            stream.scale = Le32(d + 20);
            stream.rate = Le32(d + 24);
            stream.length = Le32(d + 32);
            stream.sampleSize = Le32(d + 44);
            haveHeader = true;
        } else if (id == FourCC("strf")) {
            if (n > kMaxFormat) return false;
            stream.format.assign(d, d + n);
        } else if (id == FourCC("indx") && n >= kIndexHeaderSize) {
            std::uint32_t count = Le32(d + 4);
            bool indexOfIndexes = Le16(d) == 4 && d[3] == kIndexOfIndexes;
            if (indexOfIndexes && count <= (n - kIndexHeaderSize) / kSuperEntrySize) {
                stream.chunkId = Le32(d + 8);
                for (std::uint32_t i = 0; i < count; ++i) {
                    const std::uint8_t* e = d + kIndexHeaderSize + i * kSuperEntrySize;
                    super.push_back({Le64(e), Le32(e + 8)});
                }
            }
        }
        pos += 8 + std::uint32_t(Even(n));
        if (pos < 8) return false;  // wrapped
    }
    if (!haveHeader) return false;
    out->streams.push_back(std::move(stream));
    super_.push_back(std::move(super));
    return true;
}

bool Parser::LoadStandardIndex(ParsedStream* stream, const SuperIndexEntry& entry) {
    if (entry.size < 8 + kIndexHeaderSize || entry.size > kMaxIndexChunk ||
        !Fits(entry.position, entry.size))
        return false;
    std::vector<std::uint8_t> chunk(entry.size);
    if (!Read(std::int64_t(entry.position), entry.size, chunk.data())) return false;
    const std::uint8_t* d = chunk.data() + 8;
    std::uint32_t bodySize = std::min<std::uint32_t>(Le32(chunk.data() + 4), entry.size - 8);
    if (bodySize < kIndexHeaderSize || Le16(d) != 2 || d[2] != 0 || d[3] != kIndexOfChunks)
        return false;
    std::uint32_t count = Le32(d + 4);
    if (count > (bodySize - kIndexHeaderSize) / 8) return false;
    if (!stream->chunkId) stream->chunkId = Le32(d + 8);
    std::uint64_t base = Le64(d + 12);
    if (base > std::uint64_t(length_)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = d + kIndexHeaderSize + 8 * i;
        if (!AddChunk(stream, base + Le32(e), Le32(e + 4) & 0x7FFFFFFF)) return false;
    }
    return true;
}

bool Parser::LoadOdml(ParsedStream* stream, const std::vector<SuperIndexEntry>& super) {
    for (const auto& entry : super)
        if (!LoadStandardIndex(stream, entry)) return false;
    return true;
}

bool Parser::LoadIdx1(const Layout& layout, ParsedFile* out) {
    if (layout.idx1Position < 0 || layout.firstMovi < 0) return false;
    std::uint32_t size = layout.idx1Size - layout.idx1Size % 16;
    if (size == 0 || !Fits(std::uint64_t(layout.idx1Position), size)) return false;
    std::vector<std::uint8_t> index(size);
    if (!Read(layout.idx1Position, size, index.data())) return false;
    // Offsets count from the 'movi' identifier, or (in some writers' files) from the file start.
    std::uint64_t base = std::uint64_t(layout.firstMovi);
    for (std::uint32_t i = 0; i < size; i += 16) {
        if (Le32(&index[i + 4]) & kAviifList) continue;
        std::uint8_t h[4];
        std::uint64_t at = base + Le32(&index[i + 8]);
        if (Read(std::int64_t(at), 4, h) && Le32(h) == Le32(&index[i])) break;
        base = 0;
        break;
    }
    for (std::uint32_t i = 0; i < size; i += 16) {
        std::uint32_t id = Le32(&index[i]);
        int number = StreamOfChunk(id);
        if (number < 0 || number >= int(out->streams.size()) || (Le32(&index[i + 4]) & kAviifList))
            continue;
        ParsedStream& s = out->streams[std::size_t(number)];
        if (!s.chunkId) s.chunkId = id;
        if (!AddChunk(&s, base + Le32(&index[i + 8]) + 8, Le32(&index[i + 12]))) return false;
    }
    return true;
}

void Parser::ScanMovi(const Layout& layout, ParsedFile* out) {
    if (layout.firstMovi < 0) return;
    std::uint64_t pos = std::uint64_t(layout.firstMovi) + 4;
    while (pos + 8 <= std::uint64_t(length_)) {
        std::uint8_t h[8];
        if (!Read(std::int64_t(pos), 8, h)) return;
        std::uint32_t id = Le32(h), size = Le32(h + 4);
        if (id == kRiff || id == kList) {  // continuation RIFFs and lists: their chunks follow
            pos += 12;
            continue;
        }
        int number = StreamOfChunk(id);
        if (number >= 0 && number < int(out->streams.size())) {
            ParsedStream& s = out->streams[std::size_t(number)];
            if (!s.chunkId) s.chunkId = id;
            if (!AddChunk(&s, pos + 8, size)) return;  // cut off inside this chunk
        }
        pos += 8 + Even(size);
    }
}

HRESULT Parser::Run(ParsedFile* out) {
    Layout layout;
    if (length_ < 12 || !WalkFirstRiff(&layout) || !ParseHeaders(layout.headers, out))
        return VFW_E_INVALID_FILE_FORMAT;
    auto clear = [&] {
        totalChunks_ = 0;
        for (auto& s : out->streams) s.chunks.clear();
    };
    bool odml = std::all_of(super_.begin(), super_.end(), [](auto& s) { return !s.empty(); });
    bool loaded = false;
    if (odml) {
        loaded = true;
        for (std::size_t i = 0; i < out->streams.size() && loaded; ++i)
            loaded = LoadOdml(&out->streams[i], super_[i]);
        if (!loaded) clear();
    }
    if (!loaded && !(loaded = LoadIdx1(layout, out))) clear();
    if (!loaded || out->streams[0].chunks.empty()) {
        clear();
        ScanMovi(layout, out);
    }
    return out->streams[0].chunks.empty() ? VFW_E_INVALID_FILE_FORMAT : S_OK;
}

}  // namespace

HRESULT Parse(const ReadFunction& read, std::int64_t fileLength, ParsedFile* out) {
    if (!out) return E_POINTER;
    *out = ParsedFile{};
    try {
        Parser parser(read, fileLength);
        HRESULT hr = parser.Run(out);
        if (FAILED(hr)) *out = ParsedFile{};
        return hr;
    } catch (const std::bad_alloc&) {
        *out = ParsedFile{};
        return E_OUTOFMEMORY;
    }
}

}  // namespace platform::avi
