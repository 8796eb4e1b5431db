#include "tests/support/firewire_sim.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/firewire/cip.h"

namespace velmora::test {

namespace fw = platform::dv1394::firewire;
using platform::dv1394::kAvcImplemented;
using platform::dv1394::kAvcStatus;
using platform::dv1394::kOpTimeCode;
using platform::dv1394::kSubunitTape;

namespace {

constexpr std::size_t kPacketsPer525Frame = 250;
constexpr std::size_t kPacketsPer625Frame = 300;
constexpr std::size_t kDataPacketsPerEmpty = 15;  // the cycles a DV stream leaves empty

bool IsTimecodeStatus(const std::vector<std::uint8_t>& command) {
    return command.size() >= 4 && command[0] == kAvcStatus && command[1] == kSubunitTape &&
           command[2] == kOpTimeCode;
}

}  // namespace

// ---- handles -------------------------------------------------------------------------------

// The callbacks of one isochronous stream; events hold them weakly, so a stream stopped with
// events still queued drops them.
struct SimStream {
    fw::DvReceiveCallback receive;
    fw::DvTransmitCallback transmit;
    bool pal = false;
    std::atomic<bool> fill_pending{false};
};

class SimPortHandle final : public fw::PortHandle {
  public:
    explicit SimPortHandle(SimulatedBus* bus) : bus_(bus) {
        event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        bus_->Register(this);
    }
    ~SimPortHandle() override {
        bus_->Unregister(this);
        if (event_fd_ >= 0) close(event_fd_);
    }

    // Queues an event for Iterate, on whatever thread.
    void Post(std::function<void()> event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(event_fd_, &one, sizeof one);
    }
    void PostReset(unsigned generation) {
        Post([this, generation] {
            generation_ = generation;
            if (on_reset_) on_reset_(generation);
        });
    }
    void PostFcp(NodeId from, std::vector<std::uint8_t> frame) {
        Post([this, from, frame = std::move(frame)] {
            if (listening_ && on_fcp_) on_fcp_(from, true, frame.data(), frame.size());
        });
    }
    // Whether the handle has seen the bus's latest reset; asked with the bus locked.
    // A new handle starts at the bus's generation; set with the bus locked.
    void StartAt(unsigned generation) { generation_ = generation; }
    bool Current(unsigned bus_generation) const { return generation_.load() == bus_generation; }

    int EventFd() override { return event_fd_; }
    int Iterate() override {
        std::uint64_t count = 0;
        if (read(event_fd_, &count, sizeof count) != sizeof count) return 0;
        std::deque<std::function<void()>> events;
        {
            std::lock_guard lock(mutex_);
            events.swap(events_);
        }
        for (auto& event : events) event();
        return 0;
    }
    NodeId LocalId() override { return bus_->LocalId(); }
    int NodeCount() override { return bus_->NodeCount(); }
    void SetBusResetHandler(ResetHandler handler) override { on_reset_ = std::move(handler); }

    std::optional<fw::RomInfo> ReadRom(NodeId node) override {
        std::lock_guard lock(bus_->mutex_);
        if (node == bus_->LocalIdLocked()) {
            return fw::RomInfo{.guid = bus_->LocalGuid(), .vendor = "Linux", .label = "OHCI"};
        }
        const SimulatedNode* sim = bus_->NodeAtLocked(node);
        if (sim == nullptr) return std::nullopt;
        const auto& o = sim->Options();
        return fw::RomInfo{.guid = o.guid,
                           .avc = o.avc,
                           .vendor_id = o.vendor_id,
                           .model_id = o.model_id,
                           .vendor = o.vendor,
                           .label = o.model};
    }
    bool HasTapeSubunit(NodeId node) override {
        std::lock_guard lock(bus_->mutex_);
        const SimulatedNode* sim = bus_->NodeAtLocked(node);
        return sim != nullptr && sim->Options().tape_subunit;
    }

    bool StartFcpListen(FcpHandler handler) override {
        on_fcp_ = std::move(handler);
        listening_ = true;
        return true;
    }
    void StopFcpListen() override {
        listening_ = false;
        on_fcp_ = nullptr;
    }
    bool WriteFcpCommand(NodeId node, const std::vector<std::uint32_t>& bus_order,
                         WriteDone done) override {
        std::vector<std::uint8_t> frame(bus_order.size() * 4);
        for (std::size_t i = 0; i < bus_order.size(); ++i) {
            const std::uint32_t q = ntohl(bus_order[i]);
            for (int b = 0; b < 4; ++b)
                frame[i * 4 + b] = static_cast<std::uint8_t>(q >> (24 - 8 * b));
        }
        std::shared_ptr<SimulatedNode> target;
        {
            std::lock_guard lock(bus_->mutex_);
            for (auto& n : bus_->nodes_) {
                if (bus_->IdOfLocked(*n) == node) target = n;
            }
        }
        // The write is acknowledged before the node acts on it, as a unit's link layer does.
        Post([done = std::move(done), ok = target != nullptr] { done(ok); });
        if (target) target->Enqueue(std::move(frame));
        return true;
    }

    int CmpConnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth) override {
        return bus_->Connect(*this, output, oplug, input, iplug, bandwidth, -1);
    }
    int CmpReconnect(NodeId output, int* oplug, NodeId input, int* iplug, int* bandwidth,
                     int channel) override {
        return bus_->Connect(*this, output, oplug, input, iplug, bandwidth, channel);
    }
    int CmpDisconnect(NodeId output, int, NodeId input, int, int, int) override {
        return bus_->Disconnect(output, input);
    }

    std::unique_ptr<fw::DvIso> DvReceiver(fw::DvReceiveCallback callback) override;
    std::unique_ptr<fw::DvIso> DvTransmitter(bool pal, fw::DvTransmitCallback callback) override;

    // Runs the transmitter's callback for one frame's packets and puts them on the channel.
    void FillFrame(const std::shared_ptr<SimStream>& stream, int channel) {
        stream->fill_pending = false;
        const std::size_t packets = stream->pal ? kPacketsPer625Frame : kPacketsPer525Frame;
        const auto system = stream->pal ? fw::DvSystem::k625_50 : fw::DvSystem::k525_60;
        std::vector<std::uint8_t> packet(fw::kCipHeaderSize + fw::kDifPacketSize);
        const auto sid = static_cast<std::uint8_t>(LocalId() & fw::kPhyMask);
        for (std::size_t i = 0; i < packets; ++i) {
            stream->transmit(packet.data() + fw::kCipHeaderSize, fw::kDifBlocksPerPacket);
            fw::BuildCip(fw::DvCipHeader(system, sid, dbc_++), packet.data());
            bus_->DeliverToNode(channel, packet.data(), packet.size());
        }
    }

  private:
    SimulatedBus* bus_;
    int event_fd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> events_;
    std::atomic<unsigned> generation_{0};
    ResetHandler on_reset_;
    FcpHandler on_fcp_;
    bool listening_ = false;
    std::uint8_t dbc_ = 0;
};

class SimDvIso final : public fw::DvIso {
  public:
    SimDvIso(SimulatedBus* bus, SimPortHandle* handle, std::shared_ptr<SimStream> stream,
             bool receive)
        : bus_(bus), handle_(handle), stream_(std::move(stream)), receive_(receive) {}
    ~SimDvIso() override { Stop(); }
    bool Start(int channel) override {
        bus_->AddListener(receive_, {handle_, channel, stream_});
        started_ = true;
        return true;
    }
    void Stop() override {
        if (started_) bus_->RemoveListener(stream_.get());
        started_ = false;
    }

  private:
    SimulatedBus* bus_;
    SimPortHandle* handle_;
    std::shared_ptr<SimStream> stream_;
    bool receive_;
    bool started_ = false;
};

std::unique_ptr<fw::DvIso> SimPortHandle::DvReceiver(fw::DvReceiveCallback callback) {
    auto stream = std::make_shared<SimStream>();
    stream->receive = std::move(callback);
    return std::make_unique<SimDvIso>(bus_, this, std::move(stream), true);
}

std::unique_ptr<fw::DvIso> SimPortHandle::DvTransmitter(bool pal, fw::DvTransmitCallback callback) {
    auto stream = std::make_shared<SimStream>();
    stream->transmit = std::move(callback);
    stream->pal = pal;
    return std::make_unique<SimDvIso>(bus_, this, std::move(stream), false);
}

// ---- nodes ---------------------------------------------------------------------------------

SimulatedNode::SimulatedNode(std::shared_ptr<vdeck::Deck> deck, SimNodeOptions options)
    : deck_(std::move(deck)),
      options_(std::move(options)),
      recorder_([this](const std::uint8_t* frame, std::size_t size) {
          deck_->ReceiveInput(frame, size);
          ++frames_recorded_;
      }) {}

SimulatedNode::~SimulatedNode() {
    Detach();
}

void SimulatedNode::SetQuirks(const SimNodeQuirks& quirks) {
    std::lock_guard lock(mutex_);
    quirks_ = quirks;
}

int SimulatedNode::OutputConnections() const {
    std::lock_guard lock(mutex_);
    return output_.p2p;
}

void SimulatedNode::Attach(SimulatedBus* bus) {
    {
        std::lock_guard lock(mutex_);
        bus_ = bus;
        stopping_ = false;
    }
    fcp_thread_ = std::thread([this] { FcpLoop(); });
    if (deck_) stream_thread_ = std::thread([this] { StreamLoop(); });
}

void SimulatedNode::Detach() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (fcp_thread_.joinable()) fcp_thread_.join();
    if (stream_thread_.joinable()) stream_thread_.join();
    std::lock_guard lock(mutex_);
    bus_ = nullptr;
    commands_.clear();
    held_.clear();
}

void SimulatedNode::Enqueue(std::vector<std::uint8_t> command) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        commands_.push_back(std::move(command));
    }
    wake_.notify_all();
}

std::vector<std::vector<std::uint8_t>> SimulatedNode::Answer(
    const std::vector<std::uint8_t>& command) {
    if (!deck_) {  // a node without a tape subunit
        auto answer = command;
        answer[0] = platform::dv1394::kAvcNotImplemented;
        return {answer};
    }
    auto answers = deck_->HandleAvc(command);
    SimNodeQuirks quirks;
    {
        std::lock_guard lock(mutex_);
        quirks = quirks_;
    }
    for (auto& answer : answers) {
        if (quirks.non_drop_timecode && IsTimecodeStatus(command) && answer.size() >= 8 &&
            answer[0] == kAvcImplemented && answer[4] != 0xFF)
            answer[4] &= 0xBF;
        if (answer.size() < quirks.pad_answers_to) answer.resize(quirks.pad_answers_to, 0xFF);
    }
    return answers;
}

void SimulatedNode::FcpLoop() {
    while (true) {
        std::vector<std::uint8_t> command;
        SimulatedBus* bus;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !commands_.empty(); });
            if (stopping_) return;
            command = std::move(commands_.front());
            commands_.pop_front();
            bus = bus_;
        }
        auto answers = Answer(command);
        std::vector<std::vector<std::uint8_t>> out;
        {
            std::lock_guard lock(mutex_);
            out = std::move(held_);
            held_.clear();
            if (hold_next_.exchange(false)) {
                held_ = std::move(answers);
                answers.clear();
            }
        }
        for (auto& answer : answers) out.push_back(std::move(answer));
        for (const auto& answer : out) bus->DeliverFcpResponse(*this, answer);
    }
}

void SimulatedNode::StreamLoop() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    while (true) {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(deck_->FramePeriodSeconds()));
        next += period;
        const auto now = Clock::now();
        if (next < now - period) next = now;  // fell behind (a loaded machine): no burst
        Plug output, input;
        SimulatedBus* bus;
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, next, [&] { return stopping_; })) return;
            output = output_;
            input = input_;
            bus = bus_;
        }
        auto frame = deck_->Tick();
        if (frame && output.p2p > 0) {
            SendFrame(*frame);
            ++frames_sent_;
        }
        if (input.p2p > 0) bus->RequestFrame(input.channel);
    }
}

void SimulatedNode::SendFrame(const std::vector<std::uint8_t>& frame) {
    const auto system = frame.size() == fw::FrameSize(fw::DvSystem::k625_50)
                            ? fw::DvSystem::k625_50
                            : fw::DvSystem::k525_60;
    int lose_every;
    int channel;
    SimulatedBus* bus;
    {
        std::lock_guard lock(mutex_);
        lose_every = quirks_.lose_packet_every;
        channel = output_.channel;
        bus = bus_;
    }
    NodeId id = bus->IdOf(*this);
    const auto sid = static_cast<std::uint8_t>(id & fw::kPhyMask);
    std::vector<std::uint8_t> packet;
    for (std::size_t at = 0; at < frame.size(); at += fw::kDifPacketSize) {
        packet.assign(fw::kCipHeaderSize, 0);
        fw::BuildCip(fw::DvCipHeader(system, sid, dbc_), packet.data());
        packet.insert(packet.end(), frame.begin() + static_cast<std::ptrdiff_t>(at),
                      frame.begin() + static_cast<std::ptrdiff_t>(at + fw::kDifPacketSize));
        ++dbc_;
        ++data_packets_;
        if (lose_every <= 0 || data_packets_ % static_cast<unsigned>(lose_every) != 0)
            bus->DeliverPacket(channel, packet);
        if (data_packets_ % kDataPacketsPerEmpty == 0) {
            packet.assign(fw::kCipHeaderSize, 0);
            fw::BuildCip(fw::DvCipHeader(system, sid, dbc_), packet.data());
            bus->DeliverPacket(channel, packet);
        }
    }
}

void SimulatedNode::ReceivePacket(const std::uint8_t* data, std::size_t size) {
    if (size <= fw::kCipHeaderSize) return;
    std::lock_guard lock(record_mutex_);
    recorder_.AddPacket(data + fw::kCipHeaderSize, size - fw::kCipHeaderSize);
}

// ---- the bus -------------------------------------------------------------------------------

SimulatedBus::SimulatedBus() = default;

SimulatedBus::~SimulatedBus() {
    std::vector<std::shared_ptr<SimulatedNode>> nodes;
    {
        std::lock_guard lock(mutex_);
        nodes.swap(nodes_);
    }
    for (auto& node : nodes) node->Detach();
}

void SimulatedBus::Plug(const std::shared_ptr<SimulatedNode>& node) {
    {
        std::lock_guard lock(mutex_);
        nodes_.push_back(node);
    }
    node->Attach(this);
    Reset();
}

void SimulatedBus::Unplug(const std::shared_ptr<SimulatedNode>& node) {
    {
        std::lock_guard lock(mutex_);
        nodes_.erase(std::remove(nodes_.begin(), nodes_.end(), node), nodes_.end());
    }
    node->Detach();
    Reset();
}

void SimulatedBus::Reset(std::chrono::milliseconds settle) {
    std::lock_guard lock(mutex_);
    ++generation_;
    settled_at_ = std::chrono::steady_clock::now() + settle;
    for (auto& node : nodes_) {
        std::lock_guard plugs(node->mutex_);
        node->output_.p2p = 0;
        node->input_.p2p = 0;
    }
    for (auto* handle : handles_) handle->PostReset(generation_);
}

unsigned SimulatedBus::Generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

NodeId SimulatedBus::IdOf(const SimulatedNode& node) const {
    std::lock_guard lock(mutex_);
    return IdOfLocked(node);
}

std::size_t SimulatedBus::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::unique_ptr<fw::PortHandle> SimulatedBus::Open(int port) {
    if (port != 0) return nullptr;
    return std::make_unique<SimPortHandle>(this);
}

// Every node, this machine's last, takes the next physical ID with each generation, so that a
// reset moves the units to other IDs.
NodeId SimulatedBus::PhyAt(std::size_t index) const {
    const std::size_t count = nodes_.size() + 1;
    return static_cast<NodeId>(fw::kLocalBus | ((index + generation_) % count));
}

NodeId SimulatedBus::IdOfLocked(const SimulatedNode& node) const {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].get() == &node) return PhyAt(i);
    }
    return 0;
}

NodeId SimulatedBus::LocalIdLocked() const {
    return PhyAt(nodes_.size());
}

SimulatedNode* SimulatedBus::NodeAtLocked(NodeId id) const {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (PhyAt(i) == id) return nodes_[i].get();
    }
    return nullptr;
}

int SimulatedBus::NodeCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(nodes_.size() + 1);
}

NodeId SimulatedBus::LocalId() const {
    std::lock_guard lock(mutex_);
    return LocalIdLocked();
}

void SimulatedBus::Register(SimPortHandle* handle) {
    std::lock_guard lock(mutex_);
    handle->StartAt(generation_);
    handles_.push_back(handle);
}

void SimulatedBus::Unregister(SimPortHandle* handle) {
    std::lock_guard lock(mutex_);
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
    auto gone = [&](const Listener& l) { return l.handle == handle; };
    std::erase_if(receivers_, gone);
    std::erase_if(transmitters_, gone);
}

void SimulatedBus::AddListener(bool receive, Listener listener) {
    std::lock_guard lock(mutex_);
    (receive ? receivers_ : transmitters_).push_back(std::move(listener));
}

void SimulatedBus::RemoveListener(const SimStream* stream) {
    std::lock_guard lock(mutex_);
    auto same = [&](const Listener& l) { return l.stream.get() == stream; };
    std::erase_if(receivers_, same);
    std::erase_if(transmitters_, same);
}

int SimulatedBus::Connect(SimPortHandle& handle, NodeId output, int* oplug, NodeId input,
                          int* iplug, int* bandwidth, int channel) {
    std::lock_guard lock(mutex_);
    // Plug registers are read and locked with transactions of the handle's generation: until
    // the handle has seen the latest reset, they fail.
    if (!handle.Current(generation_) || std::chrono::steady_clock::now() < settled_at_) return -1;
    const NodeId local = LocalIdLocked();
    const bool from_node = output != local;
    SimulatedNode* node = NodeAtLocked(from_node ? output : input);
    if (node == nullptr || (from_node ? input : output) != local) return -1;
    std::lock_guard plugs(node->mutex_);
    SimulatedNode::Plug& plug = from_node ? node->output_ : node->input_;
    if (channel < 0) {
        if (plug.channel < 0) plug.channel = next_channel_++ % fw::kBroadcastChannel;
    } else if (plug.p2p == 0) {
        plug.channel = channel;
    } else if (plug.channel != channel) {
        return -1;
    }
    ++plug.p2p;
    if (oplug != nullptr) *oplug = from_node ? 0 : -1;
    if (iplug != nullptr) *iplug = from_node ? -1 : 0;
    if (bandwidth != nullptr) *bandwidth = 0;
    return plug.channel;
}

int SimulatedBus::Disconnect(NodeId output, NodeId input) {
    std::lock_guard lock(mutex_);
    const NodeId local = LocalIdLocked();
    const bool from_node = output != local;
    SimulatedNode* node = NodeAtLocked(from_node ? output : input);
    if (node == nullptr) return -1;
    std::lock_guard plugs(node->mutex_);
    SimulatedNode::Plug& plug = from_node ? node->output_ : node->input_;
    if (plug.p2p > 0) --plug.p2p;
    return 0;
}

void SimulatedBus::DeliverFcpResponse(const SimulatedNode& from,
                                      const std::vector<std::uint8_t>& answer) {
    std::lock_guard lock(mutex_);
    const NodeId id = IdOfLocked(from);
    if (id == 0) return;  // gone from the bus
    for (auto* handle : handles_) handle->PostFcp(id, answer);
}

void SimulatedBus::DeliverPacket(int channel, const std::vector<std::uint8_t>& packet) {
    std::lock_guard lock(mutex_);
    for (const auto& r : receivers_) {
        if (r.channel != channel) continue;
        std::weak_ptr<SimStream> stream = r.stream;
        r.handle->Post([stream, packet] {
            if (auto s = stream.lock()) s->receive(packet.data(), packet.size(), 0);
        });
    }
}

void SimulatedBus::RequestFrame(int channel) {
    std::lock_guard lock(mutex_);
    for (const auto& t : transmitters_) {
        if (t.channel != channel || t.stream->fill_pending.exchange(true)) continue;
        std::weak_ptr<SimStream> stream = t.stream;
        SimPortHandle* handle = t.handle;
        handle->Post([handle, stream, channel] {
            if (auto s = stream.lock()) handle->FillFrame(s, channel);
        });
    }
}

void SimulatedBus::DeliverToNode(int channel, const std::uint8_t* data, std::size_t size) {
    std::shared_ptr<SimulatedNode> target;
    {
        std::lock_guard lock(mutex_);
        for (auto& node : nodes_) {
            std::lock_guard plugs(node->mutex_);
            if (node->input_.p2p > 0 && node->input_.channel == channel) target = node;
        }
    }
    if (target) target->ReceivePacket(data, size);
}

}  // namespace velmora::test
