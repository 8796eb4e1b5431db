#pragma once
// The two-quadlet common isochronous packet header that leads every DV packet on the bus, and
// the data block counter check that tells a lost packet from an empty one.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::dv1394::firewire {

inline constexpr std::size_t kCipHeaderSize = 8;
inline constexpr std::uint8_t kCipFormatDv = 0x00;
inline constexpr std::uint8_t kDvDataBlockQuadlets = 120;  // one 480-byte packet of DIF blocks
inline constexpr std::uint16_t kCipNoTimestamp = 0xFFFF;

enum class DvSystem { k525_60, k625_50 };

struct CipHeader {
    std::uint8_t sid = 0;  // source node (6 bits)
    std::uint8_t dbs = 0;  // data block size in quadlets
    std::uint8_t fn = 0;   // fraction number (2 bits)
    std::uint8_t qpc = 0;  // quadlet padding count (3 bits)
    bool sph = false;      // source packet header present
    std::uint8_t dbc = 0;  // data block counter
    std::uint8_t fmt = 0;  // format (6 bits)
    std::uint8_t fdf = 0;  // format-dependent field
    std::uint16_t syt = kCipNoTimestamp;
};

// Reads the header from the first eight bytes; nullopt when too short or the end-of-header and
// form bits are not those of a two-quadlet CIP header.
std::optional<CipHeader> ParseCip(const std::uint8_t* data, std::size_t size);
// Writes the eight header bytes, big-endian; fields wider than their bits are cut.
void BuildCip(const CipHeader& header, std::uint8_t* out);

// A header for a DV packet of the given system from node `sid`.
CipHeader DvCipHeader(DvSystem system, std::uint8_t sid, std::uint8_t dbc);
// True when the header describes standard-definition DV: FMT 0, one 120-quadlet data block,
// no fractions, padding or source packet headers, and an SD-DVCR subtype.
bool IsDvCip(const CipHeader& header);
DvSystem DvSystemOf(const CipHeader& header);

// Data blocks in a packet of `payload` bytes after the header; nullopt when the payload is not
// a whole number of blocks.
std::optional<unsigned> DataBlockCount(const CipHeader& header, std::size_t payload);

// Follows the data block counter across packets. An empty packet carries the counter of the
// next block without advancing it; any other jump is a loss of blocks.
class DbcTracker {
  public:
    // Blocks missing before this packet (0 when continuous or on the first packet).
    unsigned Check(std::uint8_t dbc, unsigned blocks);
    void Reset() { expected_.reset(); }

  private:
    std::optional<std::uint8_t> expected_;
};

}  // namespace platform::dv1394::firewire
