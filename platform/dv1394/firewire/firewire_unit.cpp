#include "platform/dv1394/firewire/firewire_unit.h"

#include <cstdio>

namespace platform::dv1394::firewire {
namespace {

constexpr int kRelocateAttempts = 5;
constexpr int kRelocatePauseMs = 200;

}  // namespace

std::string GuidId(std::uint64_t guid) {
    char text[32];
    std::snprintf(text, sizeof text, "firewire:%016llx", static_cast<unsigned long long>(guid));
    return text;
}

BusMonitor::BusMonitor(BusAccess* bus, int port, std::uint64_t guid, std::atomic<NodeId>* node,
                       std::function<void()> on_lost)
    : bus_(bus), port_(port), guid_(guid), node_(node), on_lost_(std::move(on_lost)) {}

BusMonitor::~BusMonitor() {
    wake_.Signal();
    thread_.Join();
}

bool BusMonitor::Start() {
    handle_ = bus_->Open(port_);
    if (!handle_ || !wake_.Valid()) return false;
    handle_->SetBusResetHandler([this](unsigned) { reset_seen_ = true; });
    return thread_.Start([this] { Run(); });
}

void BusMonitor::Run() {
    while (true) {
        const BusWait wait = WaitForBus(*handle_, &wake_, -1);
        if (wait == BusWait::kWoken) return;
        if (wait != BusWait::kEvent || handle_->Iterate() < 0) break;
        if (reset_seen_ && !Relocate()) break;
    }
    if (WaitForBus(*handle_, &wake_, 0) != BusWait::kWoken) on_lost_();
}

bool BusMonitor::Relocate() {
    for (int attempt = 0; attempt < kRelocateAttempts; ++attempt) {
        reset_seen_ = false;
        if (FindNode()) return true;
        const BusWait wait = WaitForBus(*handle_, &wake_, kRelocatePauseMs);
        if (wait == BusWait::kWoken) return true;  // asked to stop: not a loss
        if (wait == BusWait::kEvent && handle_->Iterate() < 0) return false;
    }
    return false;
}

bool BusMonitor::FindNode() {
    const auto node = FindNodeByGuid(*handle_, guid_);
    if (node) node_->store(*node);
    return node.has_value();
}

FirewireUnit::FirewireUnit(std::shared_ptr<BusAccess> bus, int port, std::uint64_t guid,
                           NodeId node, std::string name)
    : bus_(std::move(bus)), port_(port), guid_(guid), name_(std::move(name)), node_(node) {}

StreamPeer FirewireUnit::Peer() const {
    return {.bus = bus_.get(), .port = port_, .guid = guid_, .node = node_.load()};
}

FirewireUnit::~FirewireUnit() {
    StopReceive();
    StopTransmit();
    std::lock_guard lock(monitor_mutex_);
    monitor_.reset();
}

bool FirewireUnit::EnsureMonitor() {
    {
        std::lock_guard lock(monitor_mutex_);
        if (monitor_) return !lost_;
        monitor_ =
            std::make_unique<BusMonitor>(bus_.get(), port_, guid_, &node_, [this] { MarkLost(); });
        if (monitor_->Start()) return !lost_;
        monitor_.reset();
    }
    MarkLost();  // the unit's port is gone
    return false;
}

void FirewireUnit::MarkLost() {
    if (lost_.exchange(true)) return;
    std::shared_ptr<TransmitSession> transmit;
    {
        std::lock_guard lock(transmit_mutex_);
        transmit = transmit_;
    }
    if (transmit) transmit->Close();  // a Transmit waiting for room answers false
    DeliverLost();
}

void FirewireUnit::DeliverLost() {
    std::function<void()> handler;
    {
        std::lock_guard lock(lost_mutex_);
        if (!lost_handler_ || lost_delivered_) return;
        lost_delivered_ = true;
        handler = lost_handler_;
        delivering_ = std::this_thread::get_id();
    }
    handler();
    std::lock_guard lock(lost_mutex_);
    delivering_ = std::thread::id();
    delivered_.notify_all();
}

void FirewireUnit::SetLostHandler(std::function<void()> handler) {
    const bool clearing = !handler;
    {
        // A handler being replaced may be running on the monitor thread: let it finish, so
        // that whoever clears it can go away afterwards.
        std::unique_lock lock(lost_mutex_);
        delivered_.wait(lock, [this] {
            return delivering_ == std::thread::id() || delivering_ == std::this_thread::get_id();
        });
        lost_handler_ = std::move(handler);
    }
    if (clearing) return;
    if (lost_) {
        DeliverLost();
        return;
    }
    EnsureMonitor();  // reports the loss itself when the port is gone
}

AvcStatus FirewireUnit::Transact(const std::vector<std::uint8_t>& command,
                                 std::vector<std::uint8_t>* response,
                                 std::chrono::milliseconds timeout) {
    if (response == nullptr || command.size() < kMinAvcFrame || command.size() > kMaxAvcFrame) {
        return AvcStatus::kInvalid;
    }
    if (!EnsureMonitor()) return AvcStatus::kLost;
    // Another caller's transaction counts against this one's time. (A flag under a plain mutex
    // rather than a timed mutex, whose timed lock the thread sanitizer cannot follow.)
    {
        std::unique_lock lock(avc_mutex_);
        if (!avc_free_.wait_for(lock, timeout, [this] { return !avc_busy_; }))
            return AvcStatus::kTimedOut;
        avc_busy_ = true;
    }
    struct Release {
        FirewireUnit* unit;
        ~Release() {
            {
                std::lock_guard lock(unit->avc_mutex_);
                unit->avc_busy_ = false;
            }
            unit->avc_free_.notify_one();
        }
    } release{this};
    if (!fcp_) {
        avc_handle_ = bus_->Open(port_);
        if (!avc_handle_) return AvcStatus::kTimedOut;
        fcp_ = std::make_unique<FcpChannel>(*avc_handle_);
    }
    const FcpResult result = fcp_->Transact(node_.load(), command, response, timeout);
    if (lost_) return AvcStatus::kLost;
    switch (result) {
        case FcpResult::kAnswered:
            return AvcStatus::kAnswered;
        case FcpResult::kInvalid:
            return AvcStatus::kInvalid;
        case FcpResult::kTimedOut:
        case FcpResult::kWriteFailed:
            break;
    }
    return AvcStatus::kTimedOut;
}

bool FirewireUnit::StartReceive(FrameSink sink) {
    if (!sink || !EnsureMonitor()) return false;
    std::lock_guard lock(receive_mutex_);
    if (receive_) return false;
    receive_ = ReceiveSession::Open(Peer(), std::move(sink));
    return receive_ != nullptr;
}

void FirewireUnit::StopReceive() {
    std::unique_ptr<ReceiveSession> session;
    {
        std::lock_guard lock(receive_mutex_);
        session = std::move(receive_);
    }
    if (!session) return;
    session->Stop();
    std::lock_guard lock(receive_mutex_);
    lost_by_ended_receptions_ += session->FramesLostToResets();
}

std::int64_t FirewireUnit::LinkLosses() const {
    std::lock_guard lock(receive_mutex_);
    return static_cast<std::int64_t>(lost_by_ended_receptions_ +
                                     (receive_ ? receive_->FramesLostToResets() : 0));
}

bool FirewireUnit::StartTransmit() {
    if (!EnsureMonitor()) return false;
    std::lock_guard lock(transmit_mutex_);
    if (transmit_) return false;
    transmit_ = TransmitSession::Open(Peer());
    transmit_frame_size_ = 0;
    return transmit_ != nullptr;
}

bool FirewireUnit::Transmit(const std::uint8_t* frame, std::size_t size) {
    if (lost_ || frame == nullptr) return false;
    if (size != kNtscFrameSize && size != kPalFrameSize) return false;
    std::shared_ptr<TransmitSession> session;
    {
        std::lock_guard lock(transmit_mutex_);
        if (transmit_frame_size_ == 0) transmit_frame_size_ = size;
        if (size != transmit_frame_size_) return false;  // the stream's system is fixed
        session = transmit_;
    }
    return session && session->Send(frame, size);
}

bool FirewireUnit::DrainTransmit(std::chrono::milliseconds stall) {
    std::shared_ptr<TransmitSession> session;
    {
        std::lock_guard lock(transmit_mutex_);
        session = transmit_;
    }
    return session && !lost_ && session->Drain(stall) && !lost_;
}

void FirewireUnit::StopTransmit() {
    std::shared_ptr<TransmitSession> session;
    {
        std::lock_guard lock(transmit_mutex_);
        session = std::move(transmit_);
    }
    if (session) session->Stop();
}

}  // namespace platform::dv1394::firewire
