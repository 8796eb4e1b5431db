// libFuzzer target over the isochronous receive path of the FireWire backend: the input is a
// run of packets (a length byte in units of 8 bytes, then the packet), each read for its CIP
// header, counted by the data block counter check and handed, without its header, to the DIF
// frame assembler. Every frame the assembler delivers must be a whole frame of its system.

#include <cstddef>
#include <cstdint>

#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/firewire/dif_assembler.h"

namespace fw = platform::dv1394::firewire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fw::FrameAssembler assembler([](const std::uint8_t* frame, std::size_t bytes) {
        if (!frame || (bytes != fw::FrameSize(fw::DvSystem::k525_60) &&
                       bytes != fw::FrameSize(fw::DvSystem::k625_50)))
            __builtin_trap();
    });
    fw::DbcTracker tracker;
    std::size_t at = 0;
    while (at < size) {
        // Lengths up to 255 * 8 bytes, so that whole 488-byte DV packets are reachable.
        const std::size_t length = std::min<std::size_t>(data[at] * 8u, size - at - 1);
        const std::uint8_t* packet = data + at + 1;
        at += 1 + length;
        const auto cip = fw::ParseCip(packet, length);
        if (!cip) {
            assembler.NoteLoss();
            continue;
        }
        fw::DvSystemOf(*cip);
        const auto blocks = fw::DataBlockCount(*cip, length - fw::kCipHeaderSize);
        if (!blocks || !fw::IsDvCip(*cip)) continue;
        if (tracker.Check(cip->dbc, *blocks) != 0) assembler.NoteLoss();
        assembler.AddPacket(packet + fw::kCipHeaderSize, length - fw::kCipHeaderSize);
    }
    assembler.Reset();
    const auto& stats = assembler.Stats();
    if (stats.frames > size / fw::kDifPacketSize) __builtin_trap();
    return 0;
}
