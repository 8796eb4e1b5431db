#include "platform/dv1394/virtual/virtual_deck_unit.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace platform::dv1394 {

using namespace std::chrono_literals;

namespace {

constexpr auto kGreetingTime = 500ms;

std::uint32_t GetLe32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Reads the greeting that opens every connection; the deck's name, or nullopt for anything
// that is not a deck's greeting.
std::optional<std::string> ReadHello(int fd) {
    deck::Message type;
    std::vector<std::uint8_t> payload;
    if (deck::ReadMessage(fd, &type, &payload, kGreetingTime) != deck::ReadStatus::kOk ||
        type != deck::Message::kHello || payload.empty() || payload.size() > deck::kMaxDeckName ||
        std::find(payload.begin(), payload.end(), 0) != payload.end())
        return std::nullopt;
    return std::string(payload.begin(), payload.end());
}

}  // namespace

std::string ProbeDeck(const std::filesystem::path& socket) {
    deck::Fd fd = deck::ConnectTo(socket);
    if (!fd) return {};
    return ReadHello(fd.Get()).value_or(std::string());
}

VirtualDeckUnit::VirtualDeckUnit(std::filesystem::path socket, std::string name)
    : socket_(std::move(socket)), name_(std::move(name)) {}

VirtualDeckUnit::~VirtualDeckUnit() {
    StopReceive();
    StopTransmit();
    stopWatching_ = true;
    watcher_.Join();
}

deck::Fd VirtualDeckUnit::Open(deck::Message kind) {
    deck::Fd fd = deck::ConnectTo(socket_);
    if (!fd || !ReadHello(fd.Get()) || !deck::SendMessage(fd.Get(), kind, nullptr, 0))
        return deck::Fd();
    return fd;
}

bool VirtualDeckUnit::EnsureControl() {
    if (control_) return true;
    if (lost_) return false;
    control_ = Open(deck::Message::kOpenControl);
    if (!control_) {
        MarkLost();
        return false;
    }
    watcher_.Start([this, fd = control_.Get()] { Watch(fd); });
    return true;
}

void VirtualDeckUnit::Watch(int fd) {
    // The deck closing the control connection means it is gone. Only hang-ups are asked for:
    // answers stay unread for Transact.
    while (!stopWatching_ && !lost_) {
        pollfd watched{fd, POLLRDHUP, 0};
        int ready = ::poll(&watched, 1, 100);
        if (ready > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR))) MarkLost();
    }
}

void VirtualDeckUnit::MarkLost() {
    lost_ = true;
    std::lock_guard lock(lostLock_);
    if (lostReported_) return;
    lostReported_ = true;
    if (lostHandler_) lostHandler_();
}

void VirtualDeckUnit::SetLostHandler(std::function<void()> handler) {
    std::lock_guard lock(lostLock_);
    lostHandler_ = std::move(handler);
}

AvcStatus VirtualDeckUnit::Transact(const std::vector<std::uint8_t>& command,
                                    std::vector<std::uint8_t>* response,
                                    std::chrono::milliseconds timeout) {
    if (command.empty() || command.size() > kMaxAvcFrame || !response) return AvcStatus::kInvalid;
    std::lock_guard lock(controlLock_);
    if (lost_ || !EnsureControl()) return AvcStatus::kLost;
    std::uint32_t sequence = ++sequence_;
    std::vector<std::uint8_t> message(4 + command.size());
    for (int i = 0; i < 4; ++i) message[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    std::copy(command.begin(), command.end(), message.begin() + 4);
    if (!deck::SendMessage(control_.Get(), deck::Message::kAvcCommand, message)) {
        MarkLost();
        return AvcStatus::kLost;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool extended = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return AvcStatus::kTimedOut;
        deck::Message type;
        std::vector<std::uint8_t> payload;
        auto status = deck::ReadMessage(control_.Get(), &type, &payload, left);
        if (status == deck::ReadStatus::kTimedOut) return AvcStatus::kTimedOut;
        if (status != deck::ReadStatus::kOk) {
            MarkLost();
            return AvcStatus::kLost;
        }
        // Late answers to earlier commands that timed out are skipped, and so is anything that
        // cannot be an AV/C frame.
        if (type != deck::Message::kAvcResponse || payload.size() < 5 ||
            payload.size() > 4 + kMaxAvcFrame || GetLe32(payload.data()) != sequence)
            continue;
        response->assign(payload.begin() + 4, payload.end());
        if ((*response)[0] == kAvcInterim && !extended) {
            extended = true;
            deadline = std::chrono::steady_clock::now() + timeout;
            continue;
        }
        return AvcStatus::kAnswered;
    }
}

bool VirtualDeckUnit::StartReceive(FrameSink sink) {
    StopReceive();
    if (lost_) return false;
    receive_ = Open(deck::Message::kOpenReceive);
    if (!receive_) {
        MarkLost();
        return false;
    }
    int fd = receive_.Get();
    stoppingReceive_ = false;
    const bool started = receiver_.Start([this, fd, sink = std::move(sink)] {
        deck::Message type;
        std::vector<std::uint8_t> frame;
        for (;;) {
            auto status = deck::ReadMessage(fd, &type, &frame, std::chrono::milliseconds(-1));
            if (status != deck::ReadStatus::kOk) break;
            // A message without bytes is no frame: the sink is never handed an empty one.
            if (type == deck::Message::kFrame && !frame.empty()) sink(frame.data(), frame.size());
            if (type == deck::Message::kFramesLost && frame.size() == 4)
                linkLosses_ += frame[0] | frame[1] << 8 | frame[2] << 16 |
                               static_cast<std::int64_t>(frame[3]) << 24;
        }
        if (!stoppingReceive_) MarkLost();  // the deck closed the stream: it is gone
    });
    if (!started) receive_.Reset();  // nothing would ever read the frames
    return started;
}

void VirtualDeckUnit::StopReceive() {
    stoppingReceive_ = true;
    if (receive_) ::shutdown(receive_.Get(), SHUT_RDWR);  // ends the receiver's read
    receiver_.Join();
    receive_.Reset();
}

bool VirtualDeckUnit::StartTransmit() {
    std::lock_guard lock(transmitLock_);
    if (lost_) return false;
    stoppingTransmit_ = false;
    framesSent_ = framesTaken_ = 0;
    transmit_ = Open(deck::Message::kOpenTransmit);
    if (!transmit_) MarkLost();
    return static_cast<bool>(transmit_);
}

bool VirtualDeckUnit::Transmit(const std::uint8_t* frame, std::size_t size) {
    std::lock_guard lock(transmitLock_);
    if (!transmit_ || lost_) return false;
    // Receipts are read as they come, so that the deck never waits to send one.
    if (deck::SendMessage(transmit_.Get(), deck::Message::kFrame, frame, size) &&
        ReadReceipts(std::chrono::milliseconds(0))) {
        ++framesSent_;
        return true;
    }
    MarkLost();
    return false;
}

bool VirtualDeckUnit::ReadReceipts(std::chrono::milliseconds wait) {
    for (;;) {
        deck::Message type;
        std::vector<std::uint8_t> payload;
        auto status = deck::ReadMessage(transmit_.Get(), &type, &payload, wait);
        if (status == deck::ReadStatus::kTimedOut) return true;
        if (status != deck::ReadStatus::kOk) return false;
        if (type == deck::Message::kFrameTaken) ++framesTaken_;
        wait = std::chrono::milliseconds(0);
    }
}

bool VirtualDeckUnit::DrainTransmit(std::chrono::milliseconds stall) {
    constexpr auto kSlice = std::chrono::milliseconds(50);  // how soon a stop is noticed
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        std::lock_guard lock(transmitLock_);
        if (!transmit_ || lost_ || stoppingTransmit_) return false;
        if (framesTaken_ >= framesSent_) return true;
        const std::uint64_t before = framesTaken_;
        if (!ReadReceipts(kSlice)) {
            MarkLost();
            return false;
        }
        auto now = std::chrono::steady_clock::now();
        if (framesTaken_ != before) lastProgress = now;
        if (now - lastProgress > stall) return false;
    }
}

void VirtualDeckUnit::StopTransmit() {
    stoppingTransmit_ = true;  // a drain lets go of the lock within a slice
    std::lock_guard lock(transmitLock_);
    transmit_.Reset();
}

UnitList ListVirtualDecks() {
    std::vector<std::pair<std::string, std::filesystem::path>> found;
    const auto folder = deck::TrustedDeckDirectory();
    if (!folder) return {};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(*folder, ec)) {
        if (!deck::IsTrustedSocket(entry.path())) continue;
        std::string name = ProbeDeck(entry.path());
        if (!name.empty()) found.emplace_back(std::move(name), entry.path());
    }
    std::sort(found.begin(), found.end());
    UnitList units;
    for (auto& [name, path] : found) units.push_back(std::make_shared<VirtualDeckUnit>(path, name));
    return units;
}

}  // namespace platform::dv1394
