#include "platform/dv1394/firewire/streams.h"

namespace platform::dv1394::firewire {
namespace {

// How often a stream whose connection is broken tries again while the bus settles.
constexpr int kRestoreRetryMs = 50;

}  // namespace

bool ConnectionKeeper::Restore(PortHandle& handle, std::uint64_t guid, CmpConnection& connection,
                               bool output) {
    if (!pending_) return true;
    const auto node = FindNodeByGuid(handle, guid);
    if (!node) return false;
    const NodeId local = handle.LocalId();
    if (!connection.Reconnect(output ? *node : local, output ? local : *node)) return false;
    pending_ = false;
    return true;
}

ReceiveSession::ReceiveSession(FrameSink sink)
    : sink_(std::move(sink)),
      assembler_([this](const std::uint8_t* frame, std::size_t size) { OnFrame(frame, size); }) {}

std::unique_ptr<ReceiveSession> ReceiveSession::Open(const StreamPeer& peer, FrameSink sink) {
    auto session = std::make_unique<ReceiveSession>(std::move(sink));
    if (!session->Begin(peer)) return nullptr;
    return session;
}

bool ReceiveSession::Begin(const StreamPeer& peer) {
    guid_ = peer.guid;
    handle_ = peer.bus->Open(peer.port);
    if (!handle_ || !wake_.Valid()) return false;
    handle_->SetBusResetHandler([this](unsigned) { keeper_.Arm(); });
    connection_ = std::make_unique<CmpConnection>(*handle_, peer.node, handle_->LocalId());
    dv_ = handle_->DvReceiver([this](const std::uint8_t* data, std::size_t size, unsigned dropped) {
        OnPacket(data, size, dropped);
    });
    if (!dv_ || !dv_->Start(connection_->Channel())) return false;
    return thread_.Start([this] { Run(); });
}

ReceiveSession::~ReceiveSession() {
    Stop();
}

void ReceiveSession::Stop() {
    wake_.Signal();
    thread_.Join();
    dv_.reset();
    connection_.reset();
}

void ReceiveSession::Run() {
    while (true) {
        const int timeout = keeper_.Pending() ? kRestoreRetryMs : -1;
        const BusWait wait = WaitForBus(*handle_, &wake_, timeout);
        if (wait == BusWait::kWoken || wait == BusWait::kError) break;
        if (wait == BusWait::kEvent && handle_->Iterate() < 0) break;
        if (keeper_.Pending() && keeper_.Restore(*handle_, guid_, *connection_, true)) {
            // Whatever came before the reset is cut off; the time code tells what was missed.
            assembler_.NoteLoss();
            dbc_.Reset();
            gap_.Break();
        }
    }
}

void ReceiveSession::OnPacket(const std::uint8_t* data, std::size_t size, unsigned dropped) {
    if (dropped != 0) assembler_.NoteLoss();
    // The payload may still lead with its CIP header; check it and the block counter.
    if (size % kDifPacketSize == kCipHeaderSize) {
        const auto cip = ParseCip(data, size);
        const auto blocks = cip ? DataBlockCount(*cip, size - kCipHeaderSize) : std::nullopt;
        if (!cip || !IsDvCip(*cip) || !blocks) {
            assembler_.AddPacket(nullptr, 0);  // counted as damaged
            return;
        }
        if (dbc_.Check(cip->dbc, *blocks) != 0) assembler_.NoteLoss();
        data += kCipHeaderSize;
        size -= kCipHeaderSize;
    }
    if (size == 0) return;  // an empty packet between data packets
    assembler_.AddPacket(data, size);
}

void ReceiveSession::OnFrame(const std::uint8_t* frame, std::size_t size) {
    if (const std::uint64_t lost = gap_.OnFrame(frame, size); lost != 0) lost_to_resets_ += lost;
    sink_(frame, size);
}

std::unique_ptr<TransmitSession> TransmitSession::Open(const StreamPeer& peer) {
    auto session = std::make_unique<TransmitSession>();
    if (!session->Begin(peer)) return nullptr;
    return session;
}

bool TransmitSession::Begin(const StreamPeer& peer) {
    guid_ = peer.guid;
    handle_ = peer.bus->Open(peer.port);
    if (!handle_ || !wake_.Valid()) return false;
    handle_->SetBusResetHandler([this](unsigned) { keeper_.Arm(); });
    connection_ = std::make_unique<CmpConnection>(*handle_, handle_->LocalId(), peer.node);
    return thread_.Start([this] { Run(); });
}

TransmitSession::~TransmitSession() {
    Stop();
}

bool TransmitSession::Send(const std::uint8_t* frame, std::size_t size) {
    return queue_.Push(frame, size);
}

void TransmitSession::Close() {
    queue_.Close();
    wake_.Signal();
}

void TransmitSession::Stop() {
    Close();
    thread_.Join();
    connection_.reset();
    handle_.reset();
}

void TransmitSession::Run() {
    const std::size_t first = queue_.WaitFirst();
    if (first == 0) return;
    auto dv = handle_->DvTransmitter(first == kPalFrameSize,
                                     [this](std::uint8_t* data, std::size_t blocks) {
                                         queue_.Read(data, blocks * kDifBlockSize);
                                     });
    if (!dv || !dv->Start(connection_->Channel())) {
        queue_.Close();  // Send answers false from now on
        return;
    }
    while (!queue_.Closed()) {
        const int timeout = keeper_.Pending() ? kRestoreRetryMs : -1;
        const BusWait wait = WaitForBus(*handle_, &wake_, timeout);
        if (wait == BusWait::kWoken || wait == BusWait::kError) break;
        if (wait == BusWait::kEvent && handle_->Iterate() < 0) break;
        if (keeper_.Pending()) keeper_.Restore(*handle_, guid_, *connection_, false);
    }
    queue_.Close();
    dv->Stop();
}

}  // namespace platform::dv1394::firewire
