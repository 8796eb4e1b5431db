// libFuzzer target over the isochronous receive path of the FireWire backend. The input is a
// run of packets as they arrive; each is read for its CIP header, counted by the data block
// counter check and handed, without its header, to the DIF frame assembler. Every frame the
// assembler delivers must be a whole frame of its system.
//
// A packet in the input is compact, since only the headers steer the assembler: one byte
// (blocks in the packet in bits 0-2, stray bytes after them in bits 3-7), the eight CIP bytes,
// then the three ID bytes of each DIF block. The other 77 bytes of each block are filled in.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/firewire/dif_assembler.h"

namespace fw = platform::dv1394::firewire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t delivered = 0;
    fw::FrameAssembler assembler([&delivered](const std::uint8_t* frame, std::size_t bytes) {
        if (!frame || (bytes != fw::FrameSize(fw::DvSystem::k525_60) &&
                       bytes != fw::FrameSize(fw::DvSystem::k625_50)))
            __builtin_trap();
        ++delivered;
    });
    fw::DbcTracker tracker;
    // Built with memcpy and memset: the loops of a growing vector, all instrumented, would cost
    // more than the assembler itself.
    std::uint8_t packet[fw::kCipHeaderSize + 7 * fw::kDifBlockSize + 31];
    std::size_t packets = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t blocks = data[at] & 7, stray = data[at] >> 3;
        ++at;
        std::memset(packet, 0, fw::kCipHeaderSize);
        const std::size_t header = std::min<std::size_t>(fw::kCipHeaderSize, size - at);
        std::memcpy(packet, data + at, header);
        at += header;
        std::uint8_t* block = packet + fw::kCipHeaderSize;
        for (std::size_t b = 0; b < blocks; ++b, block += fw::kDifBlockSize) {
            const std::size_t id = std::min<std::size_t>(3, size - at);
            std::memset(block, static_cast<int>(b), fw::kDifBlockSize);
            std::memcpy(block, data + at, id);
            at += id;
        }
        std::memset(block, 0xA5, stray);
        const std::size_t length = static_cast<std::size_t>(block + stray - packet);
        ++packets;
        const auto cip = fw::ParseCip(packet, length);
        if (!cip) {
            assembler.NoteLoss();
            continue;
        }
        fw::DvSystemOf(*cip);
        const std::size_t payload = length - fw::kCipHeaderSize;
        const auto count = fw::DataBlockCount(*cip, payload);
        if (!count || !fw::IsDvCip(*cip)) continue;
        if (tracker.Check(cip->dbc, *count) != 0) assembler.NoteLoss();
        assembler.AddPacket(packet + fw::kCipHeaderSize, payload);
    }
    assembler.Reset();
    // A frame takes at least 250 packets.
    if (assembler.Stats().frames != delivered || delivered > packets / 250) __builtin_trap();
    return 0;
}
