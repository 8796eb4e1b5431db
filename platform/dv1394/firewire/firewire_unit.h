#pragma once
// A camcorder or deck on a FireWire bus, found by its GUID. AV/C goes through FCP on a handle
// of its own; receive and transmit each run on their own handle and thread; a monitor thread
// follows bus resets, finds the node again by its GUID and reports the unit lost when it is gone.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/bus_io.h"
#include "platform/dv1394/firewire/streams.h"
#include "platform/kernel/thread.h"

namespace platform::dv1394::firewire {

// The identity of a unit in the device list.
std::string GuidId(std::uint64_t guid);

// Follows bus resets on one port and relocates the node with the GUID; calls `on_lost` (on its
// own thread) when the node stays gone or the port fails.
class BusMonitor {
  public:
    BusMonitor(BusAccess* bus, int port, std::uint64_t guid, std::atomic<NodeId>* node,
               std::function<void()> on_lost);
    ~BusMonitor();
    BusMonitor(const BusMonitor&) = delete;
    BusMonitor& operator=(const BusMonitor&) = delete;

    bool Start();

  private:
    void Run();
    // Looks for the GUID on the bus again, a few times while the bus settles; false when gone.
    bool Relocate();
    bool FindNode();

    BusAccess* bus_;
    const int port_;
    const std::uint64_t guid_;
    std::atomic<NodeId>* node_;
    std::function<void()> on_lost_;
    std::unique_ptr<PortHandle> handle_;
    WakePipe wake_;
    bool reset_seen_ = false;  // set by the reset handler on the monitor thread
    Thread thread_;
};

class FirewireUnit final : public DvUnit {
  public:
    FirewireUnit(std::shared_ptr<BusAccess> bus, int port, std::uint64_t guid, NodeId node,
                 std::string name);
    ~FirewireUnit() override;

    std::string Name() const override { return name_; }
    std::string Id() const override { return GuidId(guid_); }
    AvcStatus Transact(const std::vector<std::uint8_t>& command,
                       std::vector<std::uint8_t>* response,
                       std::chrono::milliseconds timeout) override;
    bool StartReceive(FrameSink sink) override;
    void StopReceive() override;
    bool StartTransmit() override;
    bool Transmit(const std::uint8_t* frame, std::size_t size) override;
    bool DrainTransmit(std::chrono::milliseconds stall) override;
    void StopTransmit() override;
    // The handler must not destroy the unit: it may run on the unit's monitor thread. Once a
    // call returns, the handler it replaced is no longer running.
    void SetLostHandler(std::function<void()> handler) override;
    bool IsLost() const override { return lost_.load(); }
    std::int64_t LinkLosses() const override;

  private:
    // Starts following the bus; false when the unit is lost.
    bool EnsureMonitor();
    void MarkLost();
    void DeliverLost();
    StreamPeer Peer() const;

    const std::shared_ptr<BusAccess> bus_;
    const int port_;
    const std::uint64_t guid_;
    const std::string name_;
    std::atomic<NodeId> node_;
    std::atomic<bool> lost_{false};

    std::mutex lost_mutex_;
    std::function<void()> lost_handler_;
    bool lost_delivered_ = false;
    std::thread::id delivering_;  // the thread running the handler, if any
    std::condition_variable delivered_;

    std::mutex avc_mutex_;
    std::condition_variable avc_free_;
    bool avc_busy_ = false;  // a transaction is running on the FCP handle
    std::unique_ptr<PortHandle> avc_handle_;
    std::unique_ptr<FcpChannel> fcp_;

    mutable std::mutex receive_mutex_;
    std::unique_ptr<ReceiveSession> receive_;
    std::uint64_t lost_by_ended_receptions_ = 0;

    std::mutex transmit_mutex_;
    std::shared_ptr<TransmitSession> transmit_;
    std::size_t transmit_frame_size_ = 0;

    std::mutex monitor_mutex_;
    std::unique_ptr<BusMonitor> monitor_;
};

}  // namespace platform::dv1394::firewire
