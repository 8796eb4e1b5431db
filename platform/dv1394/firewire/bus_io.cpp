#include "platform/dv1394/firewire/bus_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libiec61883/iec61883.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform::dv1394::firewire {
namespace {

constexpr nodeaddr_t kFcpCommandRegister = 0xFFFFF0000B00ULL;
constexpr nodeid_t kPhyMask = 0x003F;

}  // namespace

void Raw1394Deleter::operator()(raw1394handle_t handle) const {
    raw1394_destroy_handle(handle);
}

void DvStreamDeleter::operator()(iec61883_dv* dv) const {
    iec61883_dv_close(dv);
}

Raw1394Handle OpenPort(int port) {
    return Raw1394Handle(raw1394_new_handle_on_port(port));
}

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

BusWait WaitForBus(raw1394handle_t handle, const WakePipe* wake, int timeout_ms) {
    pollfd fds[2] = {{raw1394_get_fd(handle), POLLIN, 0}, {-1, POLLIN, 0}};
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

CmpConnection::CmpConnection(raw1394handle_t handle, nodeid_t output, nodeid_t input)
    : handle_(handle), output_(output), input_(input) {
    const int channel =
        iec61883_cmp_connect(handle_, output_, &oplug_, input_, &iplug_, &bandwidth_);
    if (channel >= 0) {
        channel_ = channel;
        connected_ = true;
    }
}

CmpConnection::~CmpConnection() {
    if (!connected_) return;
    iec61883_cmp_disconnect(handle_, output_, oplug_, input_, iplug_,
                            static_cast<unsigned>(channel_), static_cast<unsigned>(bandwidth_));
}

FcpChannel::FcpChannel(raw1394handle_t handle) : handle_(handle) {
    request_.callback = &FcpChannel::OnWriteDone;
    request_.data = this;
    raw1394_set_userdata(handle_, this);
    raw1394_set_fcp_handler(handle_, &FcpChannel::OnFcp);
    listening_ = raw1394_start_fcp_listen(handle_) == 0;
}

FcpChannel::~FcpChannel() {
    if (listening_) raw1394_stop_fcp_listen(handle_);
    raw1394_set_fcp_handler(handle_, nullptr);
    raw1394_set_userdata(handle_, nullptr);
}

int FcpChannel::OnFcp(raw1394handle_t handle, nodeid_t from, int response, size_t length,
                      unsigned char* data) {
    auto* self = static_cast<FcpChannel*>(raw1394_get_userdata(handle));
    if (self == nullptr || response == 0 || !self->exchange_.Active()) return 0;
    if ((from & kPhyMask) != (self->node_ & kPhyMask)) return 0;
    self->exchange_.OnResponse(data, length, AvcExchange::Clock::now());
    return 0;
}

int FcpChannel::OnWriteDone(raw1394handle_t, void* data, raw1394_errcode_t error) {
    auto* self = static_cast<FcpChannel*>(data);
    self->write_pending_ = false;
    self->write_failed_ =
        raw1394_internal_err(error) || raw1394_get_rcode(error) != RAW1394_RCODE_COMPLETE;
    return 0;
}

bool FcpChannel::SendCommand(nodeid_t node, const std::vector<std::uint32_t>& quadlets) {
    bus_order_.resize(quadlets.size());
    for (std::size_t i = 0; i < quadlets.size(); ++i) bus_order_[i] = htonl(quadlets[i]);
    write_pending_ = true;
    write_failed_ = false;
    const auto tag = reinterpret_cast<unsigned long>(&request_);
    return raw1394_start_write(handle_, node, kFcpCommandRegister, bus_order_.size() * 4,
                               bus_order_.data(), tag) >= 0;
}

FcpResult FcpChannel::Transact(nodeid_t node, const std::vector<std::uint8_t>& command,
                               std::vector<std::uint8_t>* response,
                               std::chrono::milliseconds timeout) {
    const auto quadlets = PackAvcFrame(command);
    if (!quadlets || response == nullptr) return FcpResult::kInvalid;
    if (!listening_) return FcpResult::kWriteFailed;
    node_ = node;
    exchange_.Begin(command, AvcExchange::Clock::now(), timeout);
    if (!SendCommand(node, *quadlets)) {
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
        if (wait == BusWait::kEvent && raw1394_loop_iterate(handle_) < 0) {
            result = FcpResult::kWriteFailed;
            break;
        }
    }
    exchange_.End();
    return result;
}

}  // namespace platform::dv1394::firewire
