#pragma once
// What the FireWire backend asks of the bus, one port handle at a time: the node list and
// configuration ROMs, FCP writes and the answers written back, CMP plug connections, DV
// isochronous streams and bus resets. The library implementation calls libraw1394, librom1394,
// libavc1394 and libiec61883; a simulated bus can stand in for it below the same backend code.
//
// A handle is used by one thread at a time. Its events (FCP frames, write completions, bus
// resets, isochronous packets) are dispatched by Iterate on the calling thread, once the event
// descriptor shows one is waiting.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::dv1394::firewire {

using NodeId = std::uint16_t;

inline constexpr NodeId kLocalBus = 0xFFC0;  // bus id 0x3FF: the bus the port is on
inline constexpr NodeId kPhyMask = 0x003F;
inline constexpr int kBroadcastChannel = 63;
inline constexpr int kMaxNodes = 63;

// What a node's configuration ROM says of it.
struct RomInfo {
    std::uint64_t guid = 0;
    bool avc = false;  // an AV/C unit directory
    std::uint32_t vendor_id = 0;
    std::uint32_t model_id = 0;
    std::string vendor;  // textual descriptors; empty when the ROM has none
    std::string label;
};

// A DV isochronous stream set up on a handle; stopped on destruction.
class DvIso {
  public:
    virtual ~DvIso() = default;
    virtual bool Start(int channel) = 0;
    virtual void Stop() = 0;
};

// One isochronous payload as received (it may still lead with its CIP header), and how many
// packets were dropped before it.
using DvReceiveCallback =
    std::function<void(const std::uint8_t* data, std::size_t size, unsigned dropped)>;
// Fills one packet's DIF blocks (80 bytes each) of the stream being sent.
using DvTransmitCallback = std::function<void(std::uint8_t* data, std::size_t dif_blocks)>;

class PortHandle {
  public:
    using FcpHandler =
        std::function<void(NodeId from, bool response, const std::uint8_t* data, std::size_t size)>;
    using WriteDone = std::function<void(bool completed)>;
    using ResetHandler = std::function<void(unsigned generation)>;

    virtual ~PortHandle() = default;

    // Readable while an event waits for Iterate; negative when the handle is unusable.
    virtual int EventFd() = 0;
    // Dispatches waiting events to the handlers; negative when the handle has failed.
    virtual int Iterate() = 0;

    virtual NodeId LocalId() = 0;
    virtual int NodeCount() = 0;
    // Runs after the handle has taken the new generation.
    virtual void SetBusResetHandler(ResetHandler handler) = 0;

    virtual std::optional<RomInfo> ReadRom(NodeId node) = 0;
    // Whether the unit reports a tape recorder/player subunit (SUBUNIT INFO).
    virtual bool HasTapeSubunit(NodeId node) = 0;

    // Frames written to this machine's FCP registers.
    virtual bool StartFcpListen(FcpHandler handler) = 0;
    virtual void StopFcpListen() = 0;
    // Writes an AV/C frame, quadlets in bus order, to the node's FCP command register; `done`
    // runs from Iterate. False when the write could not be started.
    virtual bool WriteFcpCommand(NodeId node, const std::vector<std::uint32_t>& bus_order,
                                 WriteDone done) = 0;

    // Point-to-point connections between plugs (or the broadcast channel when a node has none);
    // the channel, or negative on failure.
    virtual int CmpConnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth) = 0;
    // Restores a connection after a bus reset, on the channel it had.
    virtual int CmpReconnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth,
                             int channel) = 0;
    virtual int CmpDisconnect(NodeId output, int oplug, NodeId input, int iplug, int channel,
                              int bandwidth) = 0;

    virtual std::unique_ptr<DvIso> DvReceiver(DvReceiveCallback callback) = 0;
    virtual std::unique_ptr<DvIso> DvTransmitter(bool pal, DvTransmitCallback callback) = 0;
};

class BusAccess {
  public:
    virtual ~BusAccess() = default;
    // The ports of the machine; 0 without a FireWire stack or adapter.
    virtual int PortCount() = 0;
    // A handle on one port; null when the port cannot be opened.
    virtual std::unique_ptr<PortHandle> Open(int port) = 0;
};

// The machine's FireWire stack, through libraw1394 and the libraries above it.
std::shared_ptr<BusAccess> LibraryBus();
// The bus the device list reads: the library's, unless another was installed (null restores it).
std::shared_ptr<BusAccess> InstalledBus();
void InstallBus(std::shared_ptr<BusAccess> bus);

}  // namespace platform::dv1394::firewire
