#pragma once
// Owned libraw1394 and libiec61883 objects and the two things every bus thread needs: a wait on
// the handle's events that another thread can cut short, and FCP transactions with a deadline.

#include <libraw1394/raw1394.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/avc_frame.h"

struct iec61883_dv;

namespace platform::dv1394::firewire {

inline constexpr nodeid_t kLocalBus = 0xFFC0;  // bus id 0x3FF: the bus the port is on
inline constexpr int kBroadcastChannel = 63;

struct Raw1394Deleter {
    void operator()(raw1394handle_t handle) const;
};
using Raw1394Handle = std::unique_ptr<std::remove_pointer_t<raw1394handle_t>, Raw1394Deleter>;

// A handle on one port; null when the port cannot be opened.
Raw1394Handle OpenPort(int port);

struct DvStreamDeleter {
    void operator()(iec61883_dv* dv) const;
};
using DvStream = std::unique_ptr<iec61883_dv, DvStreamDeleter>;

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
BusWait WaitForBus(raw1394handle_t handle, const WakePipe* wake, int timeout_ms);

// A CMP point-to-point connection between an output and an input plug, undone on destruction.
// When a node has no plugs to connect, the stream is expected on the broadcast channel.
class CmpConnection {
  public:
    CmpConnection(raw1394handle_t handle, nodeid_t output, nodeid_t input);
    ~CmpConnection();
    CmpConnection(const CmpConnection&) = delete;
    CmpConnection& operator=(const CmpConnection&) = delete;

    int Channel() const { return channel_; }

  private:
    raw1394handle_t handle_;
    nodeid_t output_;
    nodeid_t input_;
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
    explicit FcpChannel(raw1394handle_t handle);
    ~FcpChannel();
    FcpChannel(const FcpChannel&) = delete;
    FcpChannel& operator=(const FcpChannel&) = delete;

    bool Listening() const { return listening_; }
    FcpResult Transact(nodeid_t node, const std::vector<std::uint8_t>& command,
                       std::vector<std::uint8_t>* response, std::chrono::milliseconds timeout);

  private:
    static int OnFcp(raw1394handle_t handle, nodeid_t from, int response, size_t length,
                     unsigned char* data);
    static int OnWriteDone(raw1394handle_t handle, void* data, raw1394_errcode_t error);
    bool SendCommand(nodeid_t node, const std::vector<std::uint32_t>& quadlets);

    raw1394handle_t handle_;
    bool listening_ = false;
    // Kept for the life of the handle: a write may complete after its transaction gave up.
    raw1394_reqhandle request_{};
    std::vector<quadlet_t> bus_order_;
    nodeid_t node_ = 0;
    bool write_pending_ = false;
    bool write_failed_ = false;
    AvcExchange exchange_;
};

}  // namespace platform::dv1394::firewire
