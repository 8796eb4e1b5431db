#include "platform/dv1394/firewire/bus_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform::dv1394::firewire {

WakePipe::WakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    read_ = fds[0];
    write_ = fds[1];
}

WakePipe::~WakePipe() {
    if (read_ >= 0) close(read_);
    if (write_ >= 0) close(write_);
}

void WakePipe::Signal() {
    const char byte = 1;
    // A full pipe already wakes the reader; nothing else to do when the write fails.
    if (write_ >= 0) [[maybe_unused]]
        auto n = write(write_, &byte, 1);
}

BusWait WaitForBus(PortHandle& handle, const WakePipe* wake, int timeout_ms) {
    pollfd fds[2] = {{handle.EventFd(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (fds[0].fd < 0) return BusWait::kError;
    if (wake != nullptr) fds[1].fd = wake->ReadFd();
    int n;
    do {
        n = poll(fds, wake != nullptr ? 2 : 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return BusWait::kError;
    if (n == 0) return BusWait::kTimeout;
    if (fds[1].revents != 0) return BusWait::kWoken;  // the pipe stays readable: stop is final
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return BusWait::kError;
    return BusWait::kEvent;
}

std::optional<NodeId> FindNodeByGuid(PortHandle& handle, std::uint64_t guid) {
    const int count = handle.NodeCount();
    for (int i = 0; i < count && i < kMaxNodes; ++i) {
        const NodeId node = kLocalBus | static_cast<NodeId>(i);
        const auto rom = handle.ReadRom(node);
        if (rom && rom->guid == guid) return node;
    }
    return std::nullopt;
}

CmpConnection::CmpConnection(PortHandle& handle, NodeId output, NodeId input)
    : handle_(handle), output_(output), input_(input) {
    const int channel = handle_.CmpConnect(output_, &oplug_, input_, &iplug_, &bandwidth_);
    if (channel >= 0) {
        channel_ = channel;
        connected_ = true;
    }
}

CmpConnection::~CmpConnection() {
    if (!connected_) return;
    handle_.CmpDisconnect(output_, oplug_, input_, iplug_, channel_, bandwidth_);
}

bool CmpConnection::Reconnect(NodeId output, NodeId input) {
    output_ = output;
    input_ = input;
    if (!connected_) return true;  // a broadcast stream needs no connection
    return handle_.CmpReconnect(output_, &oplug_, input_, &iplug_, &bandwidth_, channel_) ==
           channel_;
}

FcpChannel::FcpChannel(PortHandle& handle) : handle_(handle) {
    listening_ =
        handle_.StartFcpListen([this](NodeId from, bool response, const std::uint8_t* data,
                                      std::size_t size) { OnFcp(from, response, data, size); });
}

FcpChannel::~FcpChannel() {
    handle_.StopFcpListen();
}

void FcpChannel::OnFcp(NodeId from, bool response, const std::uint8_t* data, std::size_t size) {
    if (!response || !exchange_.Active()) return;
    if ((from & kPhyMask) != (node_ & kPhyMask)) return;
    exchange_.OnResponse(data, size, AvcExchange::Clock::now());
}

FcpResult FcpChannel::Transact(NodeId node, const std::vector<std::uint8_t>& command,
                               std::vector<std::uint8_t>* response,
                               std::chrono::milliseconds timeout) {
    const auto quadlets = PackAvcFrame(command);
    if (!quadlets || response == nullptr) return FcpResult::kInvalid;
    if (!listening_) return FcpResult::kWriteFailed;
    node_ = node;
    exchange_.Begin(command, AvcExchange::Clock::now(), timeout);
    std::vector<std::uint32_t> bus_order(quadlets->size());
    for (std::size_t i = 0; i < quadlets->size(); ++i) bus_order[i] = htonl((*quadlets)[i]);
    write_pending_ = true;
    write_failed_ = false;
    const bool started = handle_.WriteFcpCommand(node, bus_order, [this](bool completed) {
        write_pending_ = false;
        write_failed_ = !completed;
    });
    if (!started) {
        exchange_.End();
        return FcpResult::kWriteFailed;
    }
    FcpResult result = FcpResult::kTimedOut;
    while (true) {
        if (exchange_.Done()) {
            *response = exchange_.Answer();
            result = FcpResult::kAnswered;
            break;
        }
        if (!write_pending_ && write_failed_) {
            result = FcpResult::kWriteFailed;
            break;
        }
        const auto now = AvcExchange::Clock::now();
        if (exchange_.Expired(now)) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(exchange_.Deadline() - now);
        const BusWait wait = WaitForBus(handle_, nullptr, static_cast<int>(left.count()));
        if (wait == BusWait::kError) {
            result = FcpResult::kWriteFailed;
            break;
        }
        if (wait == BusWait::kEvent && handle_.Iterate() < 0) {
            result = FcpResult::kWriteFailed;
            break;
        }
    }
    exchange_.End();
    return result;
}

}  // namespace platform::dv1394::firewire
