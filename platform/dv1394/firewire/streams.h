#pragma once
// DV streams between this machine and a unit, each on its own handle and thread: the thread
// runs the handle's event loop until its owner asks it to stop through a wake-up pipe. A bus
// reset breaks the stream's point-to-point connection: the thread finds the unit again by its
// GUID and restores the connection on the same channel.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/bus_io.h"
#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/firewire/dif_assembler.h"
#include "platform/dv1394/firewire/frame_queue.h"
#include "platform/dv1394/firewire/gap_counter.h"
#include "platform/kernel/thread.h"

namespace platform::dv1394::firewire {

// Where a stream goes: the port, and the unit by GUID and by its node ID when the stream began.
struct StreamPeer {
    BusAccess* bus = nullptr;
    int port = 0;
    std::uint64_t guid = 0;
    NodeId node = 0;
};

// Restores a stream's connection after bus resets, on the stream's own handle and thread.
class ConnectionKeeper {
  public:
    void Arm() { pending_ = true; }
    bool Pending() const { return pending_; }
    // Tries once; true when the connection is back (or nothing was pending).
    bool Restore(PortHandle& handle, std::uint64_t guid, CmpConnection& connection, bool output);

  private:
    bool pending_ = false;
};

// Frames from the unit: a CMP connection from its output plug, DIF packets assembled into
// frames handed to the sink on the receive thread.
class ReceiveSession {
  public:
    // Null when the port, the connection or the reception cannot be set up.
    static std::unique_ptr<ReceiveSession> Open(const StreamPeer& peer, FrameSink sink);
    explicit ReceiveSession(FrameSink sink);
    ~ReceiveSession();
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    void Stop();
    // Frames lost to the stream while it was broken by bus resets, counted once it resumed.
    std::uint64_t FramesLostToResets() const { return lost_to_resets_.load(); }

  private:
    bool Begin(const StreamPeer& peer);
    void Run();
    void OnPacket(const std::uint8_t* data, std::size_t size, unsigned dropped);
    void OnFrame(const std::uint8_t* frame, std::size_t size);

    std::uint64_t guid_ = 0;
    std::unique_ptr<PortHandle> handle_;
    std::unique_ptr<CmpConnection> connection_;
    std::unique_ptr<DvIso> dv_;
    FrameSink sink_;
    FrameAssembler assembler_;
    DbcTracker dbc_;
    ConnectionKeeper keeper_;
    GapCounter gap_;
    std::atomic<std::uint64_t> lost_to_resets_{0};
    WakePipe wake_;
    Thread thread_;
};

// Frames to the unit: a CMP connection to its input plug; the transmit thread starts the
// stream once the first frame shows whether it is 525-60 or 625-50, and the bus paces it.
class TransmitSession {
  public:
    static std::unique_ptr<TransmitSession> Open(const StreamPeer& peer);
    TransmitSession() = default;
    ~TransmitSession();
    TransmitSession(const TransmitSession&) = delete;
    TransmitSession& operator=(const TransmitSession&) = delete;

    // Queues the frame; waits while the queue is full. False once stopped or failed.
    bool Send(const std::uint8_t* frame, std::size_t size);
    // Waits until the queued frames have gone out on the bus (see FrameQueue::WaitDrained).
    bool Drain(std::chrono::milliseconds stall) { return queue_.WaitDrained(stall); }
    // Refuses further frames and wakes a waiting Send, without joining.
    void Close();
    void Stop();

  private:
    bool Begin(const StreamPeer& peer);
    void Run();

    std::uint64_t guid_ = 0;
    std::unique_ptr<PortHandle> handle_;
    std::unique_ptr<CmpConnection> connection_;
    ConnectionKeeper keeper_;
    FrameQueue queue_{2};
    WakePipe wake_;
    Thread thread_;
};

}  // namespace platform::dv1394::firewire
