#pragma once
// DV streams between this machine and a unit, each on its own handle and thread: the thread
// runs the handle's event loop until its owner asks it to stop through a wake-up pipe.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/bus_io.h"
#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/firewire/dif_assembler.h"
#include "platform/dv1394/firewire/frame_queue.h"
#include "platform/kernel/thread.h"

namespace platform::dv1394::firewire {

// Frames from the unit: a CMP connection from its output plug, DIF packets assembled into
// frames handed to the sink on the receive thread.
class ReceiveSession {
  public:
    // Null when the port, the connection or the reception cannot be set up.
    static std::unique_ptr<ReceiveSession> Open(int port, nodeid_t unit, FrameSink sink);
    explicit ReceiveSession(FrameSink sink);
    ~ReceiveSession();
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    void Stop();

  private:
    bool Begin(int port, nodeid_t unit);
    void Run();
    void OnPacket(const std::uint8_t* data, std::size_t size, unsigned dropped);
    static int OnPacketThunk(unsigned char* data, int len, unsigned int dropped, void* self);

    Raw1394Handle handle_;
    std::unique_ptr<CmpConnection> connection_;
    DvStream dv_;
    FrameAssembler assembler_;
    DbcTracker dbc_;
    WakePipe wake_;
    Thread thread_;
};

// Frames to the unit: a CMP connection to its input plug; the transmit thread starts the
// stream once the first frame shows whether it is 525-60 or 625-50, and the bus paces it.
class TransmitSession {
  public:
    static std::unique_ptr<TransmitSession> Open(int port, nodeid_t unit);
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
    bool Begin(int port, nodeid_t unit);
    void Run();
    static int OnDataThunk(unsigned char* data, int n_dif_blocks, unsigned int dropped, void* self);

    Raw1394Handle handle_;
    std::unique_ptr<CmpConnection> connection_;
    FrameQueue queue_{2};
    WakePipe wake_;
    Thread thread_;
};

}  // namespace platform::dv1394::firewire
