#pragma once
// What every bus thread needs: a wait on the handle's events that another thread can cut short,
// plug connections that can be restored after a bus reset, and FCP transactions with a deadline.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/avc_frame.h"
#include "platform/dv1394/firewire/bus_access.h"

namespace platform::dv1394::firewire {

// A pipe whose only use is to wake a thread that waits on a bus handle.
class WakePipe {
  public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool Valid() const { return read_ >= 0; }
    void Signal();
    int ReadFd() const { return read_; }

  private:
    int read_ = -1;
    int write_ = -1;
};

enum class BusWait { kEvent, kWoken, kTimeout, kError };
// Waits for an event on the handle or a signal on the pipe; a negative time waits for ever.
BusWait WaitForBus(PortHandle& handle, const WakePipe* wake, int timeout_ms);

// The node with the GUID on the handle's bus, if it is there.
std::optional<NodeId> FindNodeByGuid(PortHandle& handle, std::uint64_t guid);

// A CMP point-to-point connection between an output and an input plug, undone on destruction.
// When a node has no plugs to connect, the stream is expected on the broadcast channel.
class CmpConnection {
  public:
    CmpConnection(PortHandle& handle, NodeId output, NodeId input);
    ~CmpConnection();
    CmpConnection(const CmpConnection&) = delete;
    CmpConnection& operator=(const CmpConnection&) = delete;

    int Channel() const { return channel_; }
    // After a bus reset, which breaks point-to-point connections: the same connection between
    // the nodes' new IDs, on the same channel. False when it could not be made (yet).
    bool Reconnect(NodeId output, NodeId input);

  private:
    PortHandle& handle_;
    NodeId output_;
    NodeId input_;
    int oplug_ = -1;
    int iplug_ = -1;
    int bandwidth_ = 1;  // allow the allocation; holds the units allocated afterwards
    int channel_ = kBroadcastChannel;
    bool connected_ = false;
};

enum class FcpResult { kAnswered, kTimedOut, kWriteFailed, kInvalid };

// AV/C transactions through the FCP registers of nodes on one handle. The handle is used only
// by the caller's thread while a transaction runs; the channel claims the handle's user data.
class FcpChannel {
  public:
    explicit FcpChannel(PortHandle& handle);
    ~FcpChannel();
    FcpChannel(const FcpChannel&) = delete;
    FcpChannel& operator=(const FcpChannel&) = delete;

    bool Listening() const { return listening_; }
    FcpResult Transact(NodeId node, const std::vector<std::uint8_t>& command,
                       std::vector<std::uint8_t>* response, std::chrono::milliseconds timeout);

  private:
    void OnFcp(NodeId from, bool response, const std::uint8_t* data, std::size_t size);

    PortHandle& handle_;
    bool listening_ = false;
    NodeId node_ = 0;
    bool write_pending_ = false;
    bool write_failed_ = false;
    AvcExchange exchange_;
};

}  // namespace platform::dv1394::firewire
