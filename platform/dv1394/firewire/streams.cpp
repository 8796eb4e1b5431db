#include "platform/dv1394/firewire/streams.h"

#include <libiec61883/iec61883.h>

namespace platform::dv1394::firewire {

ReceiveSession::ReceiveSession(FrameSink sink) : assembler_(std::move(sink)) {}

std::unique_ptr<ReceiveSession> ReceiveSession::Open(int port, nodeid_t unit, FrameSink sink) {
    auto session = std::make_unique<ReceiveSession>(std::move(sink));
    if (!session->Begin(port, unit)) return nullptr;
    return session;
}

bool ReceiveSession::Begin(int port, nodeid_t unit) {
    handle_ = OpenPort(port);
    if (!handle_ || !wake_.Valid()) return false;
    connection_ =
        std::make_unique<CmpConnection>(handle_.get(), unit, raw1394_get_local_id(handle_.get()));
    dv_.reset(iec61883_dv_recv_init(handle_.get(), &ReceiveSession::OnPacketThunk, this));
    if (!dv_ || iec61883_dv_recv_start(dv_.get(), connection_->Channel()) != 0) return false;
    return thread_.Start([this] { Run(); });
}

ReceiveSession::~ReceiveSession() {
    Stop();
}

void ReceiveSession::Stop() {
    wake_.Signal();
    thread_.Join();
    if (dv_) iec61883_dv_recv_stop(dv_.get());
    dv_.reset();
    connection_.reset();
}

void ReceiveSession::Run() {
    while (true) {
        const BusWait wait = WaitForBus(handle_.get(), &wake_, -1);
        if (wait != BusWait::kEvent) break;
        if (raw1394_loop_iterate(handle_.get()) < 0) break;
    }
}

int ReceiveSession::OnPacketThunk(unsigned char* data, int len, unsigned int dropped, void* self) {
    if (data == nullptr || len < 0) return 0;
    static_cast<ReceiveSession*>(self)->OnPacket(data, static_cast<std::size_t>(len), dropped);
    return 0;
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

std::unique_ptr<TransmitSession> TransmitSession::Open(int port, nodeid_t unit) {
    auto session = std::make_unique<TransmitSession>();
    if (!session->Begin(port, unit)) return nullptr;
    return session;
}

bool TransmitSession::Begin(int port, nodeid_t unit) {
    handle_ = OpenPort(port);
    if (!handle_ || !wake_.Valid()) return false;
    connection_ =
        std::make_unique<CmpConnection>(handle_.get(), raw1394_get_local_id(handle_.get()), unit);
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
}

void TransmitSession::Run() {
    const std::size_t first = queue_.WaitFirst();
    if (first == 0) return;
    const int is_pal = first == kPalFrameSize ? 1 : 0;
    DvStream dv(iec61883_dv_xmit_init(handle_.get(), is_pal, &TransmitSession::OnDataThunk, this));
    if (!dv || iec61883_dv_xmit_start(dv.get(), connection_->Channel()) != 0) {
        queue_.Close();  // Send answers false from now on
        return;
    }
    while (!queue_.Closed()) {
        const BusWait wait = WaitForBus(handle_.get(), &wake_, -1);
        if (wait != BusWait::kEvent || raw1394_loop_iterate(handle_.get()) < 0) break;
    }
    queue_.Close();
    iec61883_dv_xmit_stop(dv.get());
}

int TransmitSession::OnDataThunk(unsigned char* data, int n_dif_blocks, unsigned int, void* self) {
    if (data == nullptr || n_dif_blocks <= 0) return 0;
    static_cast<TransmitSession*>(self)->queue_.Read(
        data, static_cast<std::size_t>(n_dif_blocks) * kDifBlockSize);
    return 0;
}

}  // namespace platform::dv1394::firewire
