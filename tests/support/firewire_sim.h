#pragma once
// A FireWire bus inside the test process, below the backend's bus access: this machine's node
// and simulated AV/C nodes, each running a virtual deck's tape and transport. A node answers
// FCP as a tape subunit does (the deck's answers, INTERIM first when the deck is set to), keeps
// an output and an input plug register, streams the deck's frames as CIP packets of DIF blocks
// on its output plug's channel and records what arrives on its input plug's channel. The bus
// resets (node IDs change, point-to-point connections drop) and nodes leave it on request.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dv1394/firewire/bus_access.h"
#include "platform/dv1394/firewire/dif_assembler.h"
#include "vdeck/deck.h"

namespace velmora::test {

using platform::dv1394::firewire::NodeId;

struct SimNodeOptions {
    std::uint64_t guid = 0x0080AB0000001001ULL;
    std::uint32_t vendor_id = 0x0080AB;
    std::uint32_t model_id = 0x000101;
    std::string vendor = "Velmora Test";
    std::string model = "Simulated DV deck";
    bool avc = true;
    bool tape_subunit = true;
};

// What a node does differently from a well-behaved unit; changed while it runs.
struct SimNodeQuirks {
    // Answers are padded with FF bytes to this size (a unit answering longer frames).
    std::size_t pad_answers_to = 0;
    // The time code is answered without its drop-frame flag (a unit counting non-drop).
    bool non_drop_timecode = false;
    // Every n-th data packet of the output stream is lost on the bus.
    int lose_packet_every = 0;
};

class SimulatedBus;

class SimulatedNode {
  public:
    SimulatedNode(std::shared_ptr<vdeck::Deck> deck, SimNodeOptions options);
    ~SimulatedNode();

    vdeck::Deck& Deck() { return *deck_; }
    const SimNodeOptions& Options() const { return options_; }
    void SetQuirks(const SimNodeQuirks& quirks);
    // The answers to the next command are held back until the command after it arrives, and
    // go out just before that one's answers (a unit answering too late).
    void HoldNextAnswer() { hold_next_.store(true); }
    std::uint64_t FramesSent() const { return frames_sent_.load(); }
    std::uint64_t FramesRecorded() const { return frames_recorded_.load(); }
    // The output plug's point-to-point connection count.
    int OutputConnections() const;

  private:
    friend class SimulatedBus;
    friend class SimPortHandle;
    struct Plug {
        int channel = -1;
        int p2p = 0;
    };

    void Attach(SimulatedBus* bus);
    void Detach();
    void Enqueue(std::vector<std::uint8_t> command);
    void FcpLoop();
    void StreamLoop();
    std::vector<std::vector<std::uint8_t>> Answer(const std::vector<std::uint8_t>& command);
    void SendFrame(const std::vector<std::uint8_t>& frame);
    void ReceivePacket(const std::uint8_t* data, std::size_t size);

    std::shared_ptr<vdeck::Deck> deck_;
    const SimNodeOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    SimulatedBus* bus_ = nullptr;
    bool stopping_ = false;
    SimNodeQuirks quirks_;
    Plug output_;
    Plug input_;
    std::deque<std::vector<std::uint8_t>> commands_;
    std::vector<std::vector<std::uint8_t>> held_;
    std::uint8_t dbc_ = 0;
    std::uint64_t data_packets_ = 0;
    std::atomic<bool> hold_next_{false};
    std::atomic<std::uint64_t> frames_sent_{0};
    std::atomic<std::uint64_t> frames_recorded_{0};
    std::mutex record_mutex_;
    platform::dv1394::firewire::FrameAssembler recorder_;
    std::thread fcp_thread_;
    std::thread stream_thread_;
};

class SimPortHandle;
struct SimStream;

class SimulatedBus final : public platform::dv1394::firewire::BusAccess {
  public:
    SimulatedBus();
    ~SimulatedBus() override;

    // Plugs the node in (a bus reset follows when others are on the bus already).
    void Plug(const std::shared_ptr<SimulatedNode>& node);
    // Takes the node off the bus, with the bus reset that follows.
    void Unplug(const std::shared_ptr<SimulatedNode>& node);
    // A bus reset: a new generation, node IDs handed out anew (each node gets another one),
    // point-to-point connections dropped, every handle told. Until `settle` has passed, plug
    // registers cannot be reached (the bus is still busy with the reset).
    void Reset(std::chrono::milliseconds settle = std::chrono::milliseconds(0));
    unsigned Generation() const;
    NodeId IdOf(const SimulatedNode& node) const;
    std::uint64_t LocalGuid() const { return 0x0011220000000001ULL; }
    // Handles open on the bus right now.
    std::size_t OpenHandles() const;

    int PortCount() override { return 1; }
    std::unique_ptr<platform::dv1394::firewire::PortHandle> Open(int port) override;

  private:
    friend class SimPortHandle;
    friend class SimulatedNode;
    friend class SimDvIso;

    struct Listener {
        SimPortHandle* handle;
        int channel;
        std::shared_ptr<SimStream> stream;
    };

    NodeId PhyAt(std::size_t index) const;
    SimulatedNode* NodeAtLocked(NodeId id) const;
    NodeId IdOfLocked(const SimulatedNode& node) const;
    NodeId LocalIdLocked() const;
    int NodeCount() const;
    NodeId LocalId() const;
    void Register(SimPortHandle* handle);
    void Unregister(SimPortHandle* handle);
    void AddListener(bool receive, Listener listener);
    void RemoveListener(const SimStream* stream);
    // CMP on the plug of the node at the other end from this machine; `channel` is negative
    // for a new connection, the channel to keep when restoring one.
    int Connect(SimPortHandle& handle, NodeId output, int* oplug, NodeId input, int* iplug,
                int* bandwidth, int channel);
    int Disconnect(NodeId output, NodeId input);
    // From a node: an FCP answer to this machine, seen by every handle listening.
    void DeliverFcpResponse(const SimulatedNode& from, const std::vector<std::uint8_t>& answer);
    // From a node: a packet on a channel, to every receiver on it.
    void DeliverPacket(int channel, const std::vector<std::uint8_t>& packet);
    // From a node: asks the transmitter on the channel for a frame's packets.
    void RequestFrame(int channel);
    // From a transmitter: a packet on a channel, to the node whose input plug listens there.
    void DeliverToNode(int channel, const std::uint8_t* data, std::size_t size);

    mutable std::mutex mutex_;
    unsigned generation_ = 0;
    std::chrono::steady_clock::time_point settled_at_{};
    std::vector<std::shared_ptr<SimulatedNode>> nodes_;
    std::vector<SimPortHandle*> handles_;
    std::vector<Listener> receivers_;
    std::vector<Listener> transmitters_;
    int next_channel_ = 0;
};

}  // namespace velmora::test
