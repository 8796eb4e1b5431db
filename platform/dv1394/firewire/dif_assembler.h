#pragma once
// Puts DV frames back together from the 480-byte packets of six DIF blocks that a unit sends.
// A frame begins with the header block of DIF sequence 0; each packet is placed by the IDs of
// its blocks, so a lost or damaged packet is seen and the frame it belongs to is not delivered.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/cip.h"

namespace platform::dv1394::firewire {

inline constexpr std::size_t kDifBlockSize = 80;
inline constexpr std::size_t kDifBlocksPerPacket = 6;
inline constexpr std::size_t kDifPacketSize = kDifBlockSize * kDifBlocksPerPacket;  // 480
inline constexpr std::size_t kDifBlocksPerSequence = 150;
inline constexpr std::size_t kPacketsPerSequence = kDifBlocksPerSequence / kDifBlocksPerPacket;

// Section types of a DIF block.
enum class DifSection : std::uint8_t {
    kHeader = 0,
    kSubcode = 1,
    kVaux = 2,
    kAudio = 3,
    kVideo = 4
};

struct DifBlockId {
    std::uint8_t sct = 0;   // section type
    std::uint8_t dseq = 0;  // DIF sequence number
    std::uint8_t dbn = 0;   // block number within its section
};

DifBlockId ReadDifId(const std::uint8_t* block);
// Where the block sits in its DIF sequence (0..149); nullopt for an unknown section type or a
// block number beyond its section.
std::optional<unsigned> BlockIndexInSequence(const DifBlockId& id);
// DIF sequences per frame and frame size of a system.
unsigned SequencesPerFrame(DvSystem system);
std::size_t FrameSize(DvSystem system);
// The system a header block announces (its DSF bit).
DvSystem SystemOfHeaderBlock(const std::uint8_t* block);

struct AssemblyStats {
    std::uint64_t frames = 0;           // complete frames delivered
    std::uint64_t incomplete = 0;       // frames begun but not delivered
    std::uint64_t packets_lost = 0;     // gaps in the packet order inside frames
    std::uint64_t packets_damaged = 0;  // wrong size, unknown IDs, out of order
    std::uint64_t packets_skipped = 0;  // outside any frame (waiting for a frame start)
};

class FrameAssembler {
  public:
    explicit FrameAssembler(FrameSink sink) : sink_(std::move(sink)) {}

    // One isochronous payload of DIF blocks, without its CIP header.
    void AddPacket(const std::uint8_t* data, std::size_t size);
    // The receiver knows packets were lost before the next one: the frame in progress is broken.
    void NoteLoss();
    // Forgets the frame in progress, as after a stop; it counts as incomplete.
    void Reset();
    const AssemblyStats& Stats() const { return stats_; }

  private:
    // The packet's place in the frame (sequence * 25 + packet), nullopt when damaged.
    std::optional<std::size_t> PacketPosition(const std::uint8_t* data, std::size_t size) const;
    void StartFrame(DvSystem system);
    void Place(std::size_t position, const std::uint8_t* data);
    void EndFrame(bool complete);

    FrameSink sink_;
    AssemblyStats stats_;
    std::vector<std::uint8_t> frame_;
    std::size_t packets_in_frame_ = 0;
    std::size_t next_ = 0;
    bool in_frame_ = false;
    bool broken_ = false;
};

}  // namespace platform::dv1394::firewire
