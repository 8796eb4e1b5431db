#include "platform/dv1394/firewire/dif_assembler.h"

#include <cstring>

namespace platform::dv1394::firewire {
namespace {

// Blocks of each section in one DIF sequence.
constexpr unsigned kSubcodeBlocks = 2;
constexpr unsigned kVauxBlocks = 3;
constexpr unsigned kAudioBlocks = 9;
constexpr unsigned kVideoBlocks = 135;
// After the header, subcode and VAUX blocks come nine groups of one audio and 15 video blocks.
constexpr unsigned kFirstAudioIndex = 1 + kSubcodeBlocks + kVauxBlocks;
constexpr unsigned kGroupBlocks = 16;
constexpr unsigned kVideoPerGroup = 15;

}  // namespace

DifBlockId ReadDifId(const std::uint8_t* block) {
    return DifBlockId{static_cast<std::uint8_t>(block[0] >> 5),
                      static_cast<std::uint8_t>(block[1] >> 4), block[2]};
}

std::optional<unsigned> BlockIndexInSequence(const DifBlockId& id) {
    switch (static_cast<DifSection>(id.sct)) {
        case DifSection::kHeader:
            if (id.dbn != 0) return std::nullopt;
            return 0u;
        case DifSection::kSubcode:
            if (id.dbn >= kSubcodeBlocks) return std::nullopt;
            return 1u + id.dbn;
        case DifSection::kVaux:
            if (id.dbn >= kVauxBlocks) return std::nullopt;
            return 1u + kSubcodeBlocks + id.dbn;
        case DifSection::kAudio:
            if (id.dbn >= kAudioBlocks) return std::nullopt;
            return kFirstAudioIndex + id.dbn * kGroupBlocks;
        case DifSection::kVideo:
            if (id.dbn >= kVideoBlocks) return std::nullopt;
            return kFirstAudioIndex + (id.dbn / kVideoPerGroup) * kGroupBlocks + 1 +
                   id.dbn % kVideoPerGroup;
    }
    return std::nullopt;
}

unsigned SequencesPerFrame(DvSystem system) {
    return system == DvSystem::k625_50 ? 12 : 10;
}

std::size_t FrameSize(DvSystem system) {
    return SequencesPerFrame(system) * kDifBlocksPerSequence * kDifBlockSize;
}

DvSystem SystemOfHeaderBlock(const std::uint8_t* block) {
    return (block[3] & 0x80) != 0 ? DvSystem::k625_50 : DvSystem::k525_60;
}

std::optional<std::size_t> FrameAssembler::PacketPosition(const std::uint8_t* data,
                                                          std::size_t size) const {
    if (data == nullptr || size != kDifPacketSize) return std::nullopt;
    const DifBlockId first = ReadDifId(data);
    const auto index = BlockIndexInSequence(first);
    if (!index || *index % kDifBlocksPerPacket != 0) return std::nullopt;
    // Every block of the packet must be the next one of the same sequence.
    for (std::size_t k = 1; k < kDifBlocksPerPacket; ++k) {
        const DifBlockId id = ReadDifId(data + k * kDifBlockSize);
        const auto at = BlockIndexInSequence(id);
        if (id.dseq != first.dseq || !at || *at != *index + k) return std::nullopt;
    }
    return first.dseq * kPacketsPerSequence + *index / kDifBlocksPerPacket;
}

void FrameAssembler::AddPacket(const std::uint8_t* data, std::size_t size) {
    const auto position = PacketPosition(data, size);
    if (!position) {
        ++stats_.packets_damaged;
        if (in_frame_) {
            broken_ = true;
            ++next_;  // it most likely held the next place
        }
        return;
    }
    if (*position == 0) {
        if (in_frame_) EndFrame(false);
        StartFrame(SystemOfHeaderBlock(data));
    } else if (!in_frame_) {
        ++stats_.packets_skipped;
        return;
    }
    Place(*position, data);
}

void FrameAssembler::NoteLoss() {
    if (in_frame_) broken_ = true;
}

void FrameAssembler::Reset() {
    if (in_frame_) EndFrame(false);
}

void FrameAssembler::StartFrame(DvSystem system) {
    packets_in_frame_ = SequencesPerFrame(system) * kPacketsPerSequence;
    frame_.assign(FrameSize(system), 0);
    next_ = 0;
    in_frame_ = true;
    broken_ = false;
}

void FrameAssembler::Place(std::size_t position, const std::uint8_t* data) {
    if (position >= packets_in_frame_ || position < next_) {
        // A sequence beyond the frame's system, or a packet going backwards.
        ++stats_.packets_damaged;
        broken_ = true;
        return;
    }
    if (position > next_) {
        stats_.packets_lost += position - next_;
        broken_ = true;
    }
    std::memcpy(frame_.data() + position * kDifPacketSize, data, kDifPacketSize);
    next_ = position + 1;
    if (next_ == packets_in_frame_) EndFrame(!broken_);
}

void FrameAssembler::EndFrame(bool complete) {
    in_frame_ = false;
    if (!complete) {
        if (next_ < packets_in_frame_) stats_.packets_lost += packets_in_frame_ - next_;
        ++stats_.incomplete;
        return;
    }
    ++stats_.frames;
    if (sink_) sink_(frame_.data(), frame_.size());
}

}  // namespace platform::dv1394::firewire
