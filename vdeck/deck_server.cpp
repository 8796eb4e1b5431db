#include "vdeck/deck_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace vdeck {

using namespace platform::dv1394::deck;

namespace {
constexpr std::size_t kInputQueue = 2;
}  // namespace

struct DeckServer::Connection {
    Fd fd;
    std::atomic<Message> kind{Message::kOpenControl};  // set by its thread, read by the transport
    std::mutex writeLock;
    platform::Thread thread;
    std::atomic<bool> done{false};
};

DeckServer::DeckServer(std::shared_ptr<Deck> deck, std::filesystem::path socketPath, double rate)
    : deck_(std::move(deck)), socketPath_(std::move(socketPath)), rate_(rate > 0 ? rate : 1.0) {}

DeckServer::~DeckServer() {
    Stop();
}

std::filesystem::path DeckServer::DefaultSocketPath(const std::string& name) {
    std::string file;
    for (char c : name) file += (c == '/' || c == '\0') ? '_' : c;
    return DeckDirectory() / file;
}

bool DeckServer::Start(std::string* error) {
    std::error_code ec;
    if (socketPath_.parent_path() == DeckDirectory()) {
        if (!MakeDeckDirectory(error)) return false;
    } else {
        std::filesystem::create_directories(socketPath_.parent_path(), ec);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socketPath_.string();
    if (path.size() >= sizeof address.sun_path) {
        *error = path + ": socket path too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by a deck that died is replaced; a live deck of the same name is not.
    if (ConnectTo(socketPath_)) {
        *error = "a deck named like this is already running at " + path;
        return false;
    }
    std::filesystem::remove(socketPath_, ec);
    listener_ = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_ ||
        ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.Get(), 16) != 0 || !RestrictSocket(socketPath_)) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    wakeRead_ = Fd(pipeFds[0]);
    wakeWrite_ = Fd(pipeFds[1]);
    stopping_ = false;
    acceptThread_.Start([this] { AcceptLoop(); });
    transportThread_.Start([this] { TransportLoop(); });
    return true;
}

void DeckServer::Stop() {
    if (stopping_.exchange(true)) return;
    if (wakeWrite_) {
        char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeWrite_.Get(), &byte, 1);
    }
    inputChanged_.notify_all();
    acceptThread_.Join();
    transportThread_.Join();
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(connectionsLock_);
        connections.swap(connections_);
    }
    for (auto& c : connections) ::shutdown(c->fd.Get(), SHUT_RDWR);  // wakes their reads
    for (auto& c : connections) c->thread.Join();
    listener_.Reset();
    std::error_code ec;
    std::filesystem::remove(socketPath_, ec);
}

void DeckServer::AcceptLoop() {
    while (!stopping_) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, 500) <= 0) continue;
        if (fds[1].revents) break;
        Fd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        auto connection = std::make_shared<Connection>();
        connection->fd = std::move(client);
        std::lock_guard lock(connectionsLock_);
        connections_.remove_if([](const auto& c) {
            if (!c->done) return false;
            c->thread.Join();
            return true;
        });
        connections_.push_back(connection);
        connection->thread.Start([this, connection] { Serve(connection); });
    }
}

void DeckServer::Serve(const std::shared_ptr<Connection>& connection) {
    int fd = connection->fd.Get();
    const std::string& name = deck_->Name();
    if (SendMessage(fd, Message::kHello, name.data(), name.size())) {
        Message type;
        std::vector<std::uint8_t> payload;
        if (ReadMessage(fd, &type, &payload, std::chrono::milliseconds(-1)) == ReadStatus::kOk) {
            connection->kind = type;
            if (type == Message::kOpenControl) ServeControl(*connection);
            if (type == Message::kOpenTransmit) ServeTransmit(connection);
            if (type == Message::kOpenReceive) {
                // Frames go out from the transport thread; wait here until the client leaves.
                while (!stopping_ &&
                       ReadMessage(fd, &type, &payload, std::chrono::milliseconds(-1)) ==
                           ReadStatus::kOk) {
                }
            }
        }
    }
    connection->done = true;
}

void DeckServer::ServeControl(Connection& connection) {
    Message type;
    std::vector<std::uint8_t> payload;
    while (!stopping_ && ReadMessage(connection.fd.Get(), &type, &payload,
                                     std::chrono::milliseconds(-1)) == ReadStatus::kOk) {
        if (type != Message::kAvcCommand || payload.size() < 4) continue;
        std::vector<std::uint8_t> command(payload.begin() + 4, payload.end());
        for (auto& answer : deck_->HandleAvc(command)) {
            std::vector<std::uint8_t> reply(4 + answer.size());
            std::copy_n(payload.begin(), 4, reply.begin());  // the command's sequence number
            std::copy(answer.begin(), answer.end(), reply.begin() + 4);
            std::lock_guard lock(connection.writeLock);
            if (!SendMessage(connection.fd.Get(), Message::kAvcResponse, reply)) return;
        }
    }
}

void DeckServer::ServeTransmit(const std::shared_ptr<Connection>& connection) {
    Message type;
    std::vector<std::uint8_t> frame;
    while (!stopping_ && ReadMessage(connection->fd.Get(), &type, &frame,
                                     std::chrono::milliseconds(-1)) == ReadStatus::kOk) {
        if (type != Message::kFrame) continue;
        std::unique_lock lock(inputLock_);
        inputChanged_.wait(lock, [&] { return stopping_ || input_.size() < kInputQueue; });
        if (stopping_) return;
        input_.push_back({std::move(frame), connection});
    }
}

void DeckServer::Broadcast(const std::vector<std::uint8_t>& frame) {
    std::vector<std::shared_ptr<Connection>> receivers;
    {
        std::lock_guard lock(connectionsLock_);
        for (auto& c : connections_)
            if (c->kind == Message::kOpenReceive && !c->done) receivers.push_back(c);
    }
    for (auto& c : receivers) {
        std::lock_guard lock(c->writeLock);
        if (!SendMessage(c->fd.Get(), Message::kFrame, frame)) ::shutdown(c->fd.Get(), SHUT_RDWR);
    }
}

void DeckServer::BroadcastLoss(std::int64_t frames) {
    const auto n = static_cast<std::uint32_t>(frames);
    const std::vector<std::uint8_t> count = {
        static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
        static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
    std::vector<std::shared_ptr<Connection>> receivers;
    {
        std::lock_guard lock(connectionsLock_);
        for (auto& c : connections_)
            if (c->kind == Message::kOpenReceive && !c->done) receivers.push_back(c);
    }
    for (auto& c : receivers) {
        std::lock_guard lock(c->writeLock);
        if (!SendMessage(c->fd.Get(), Message::kFramesLost, count))
            ::shutdown(c->fd.Get(), SHUT_RDWR);
    }
}

void DeckServer::TransportLoop() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    while (!stopping_) {
        // The tape's system sets the pace; a blank tape learns it from what it records.
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(deck_->FramePeriodSeconds() / rate_));
        next += period;
        std::optional<Input> input;
        {
            std::lock_guard lock(inputLock_);
            if (!input_.empty()) {
                input = std::move(input_.front());
                input_.pop_front();
            }
        }
        inputChanged_.notify_all();
        if (input) {
            deck_->ReceiveInput(input->frame.data(), input->frame.size());
            std::lock_guard lock(input->sender->writeLock);
            SendMessage(input->sender->fd.Get(), Message::kFrameTaken, nullptr, 0);
        }
        if (auto frame = deck_->Tick()) {
            if (const std::int64_t lost = deck_->TakeLinkLosses()) BroadcastLoss(lost);
            Broadcast(*frame);
        }
        pollfd wake{wakeRead_.Get(), POLLIN, 0};
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        if (wait.count() > 0 && ::poll(&wake, 1, static_cast<int>(wait.count())) > 0) break;
        if (Clock::now() > next + 10 * period) next = Clock::now();  // fell behind: do not race
    }
}

}  // namespace vdeck
