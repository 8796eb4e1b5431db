#include "platform/dv1394/firewire/cip.h"

namespace platform::dv1394::firewire {
namespace {

constexpr std::uint8_t kFdf50 = 0x80;         // 625-50 when set, 525-60 when clear
constexpr std::uint8_t kFdfStypeMask = 0x7C;  // subtype; 0 is SD-DVCR

std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void WriteBe32(std::uint32_t value, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<CipHeader> ParseCip(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kCipHeaderSize) return std::nullopt;
    const std::uint32_t q0 = ReadBe32(data);
    const std::uint32_t q1 = ReadBe32(data + 4);
    // The first quadlet starts with 00, the second with 10 (end of header, CIP form).
    if ((q0 >> 30) != 0 || (q1 >> 30) != 2) return std::nullopt;
    CipHeader h;
    h.sid = (q0 >> 24) & 0x3F;
    h.dbs = (q0 >> 16) & 0xFF;
    h.fn = (q0 >> 14) & 0x03;
    h.qpc = (q0 >> 11) & 0x07;
    h.sph = ((q0 >> 10) & 0x01) != 0;
    h.dbc = q0 & 0xFF;
    h.fmt = (q1 >> 24) & 0x3F;
    h.fdf = (q1 >> 16) & 0xFF;
    h.syt = q1 & 0xFFFF;
    return h;
}

void BuildCip(const CipHeader& h, std::uint8_t* out) {
    const std::uint32_t q0 = (std::uint32_t{h.sid & 0x3Fu} << 24) | (std::uint32_t{h.dbs} << 16) |
                             (std::uint32_t{h.fn & 0x03u} << 14) |
                             (std::uint32_t{h.qpc & 0x07u} << 11) | (h.sph ? 1u << 10 : 0u) | h.dbc;
    const std::uint32_t q1 =
        (2u << 30) | (std::uint32_t{h.fmt & 0x3Fu} << 24) | (std::uint32_t{h.fdf} << 16) | h.syt;
    WriteBe32(q0, out);
    WriteBe32(q1, out + 4);
}

CipHeader DvCipHeader(DvSystem system, std::uint8_t sid, std::uint8_t dbc) {
    CipHeader h;
    h.sid = sid;
    h.dbs = kDvDataBlockQuadlets;
    h.dbc = dbc;
    h.fmt = kCipFormatDv;
    h.fdf = system == DvSystem::k625_50 ? kFdf50 : 0;
    return h;
}

bool IsDvCip(const CipHeader& h) {
    return h.fmt == kCipFormatDv && h.dbs == kDvDataBlockQuadlets && h.fn == 0 && h.qpc == 0 &&
           !h.sph && (h.fdf & kFdfStypeMask) == 0;
}

DvSystem DvSystemOf(const CipHeader& h) {
    return (h.fdf & kFdf50) != 0 ? DvSystem::k625_50 : DvSystem::k525_60;
}

std::optional<unsigned> DataBlockCount(const CipHeader& h, std::size_t payload) {
    const std::size_t block = std::size_t{h.dbs} * 4;
    if (block == 0) return payload == 0 ? std::optional<unsigned>(0) : std::nullopt;
    if (payload % block != 0) return std::nullopt;
    return static_cast<unsigned>(payload / block);
}

unsigned DbcTracker::Check(std::uint8_t dbc, unsigned blocks) {
    unsigned missing = 0;
    if (expected_) missing = static_cast<std::uint8_t>(dbc - *expected_);
    expected_ = static_cast<std::uint8_t>(dbc + blocks);
    return missing;
}

}  // namespace platform::dv1394::firewire
