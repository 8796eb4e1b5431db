#pragma once
// Publishes a deck on a Unix socket and serves its clients: AV/C on control connections, the
// deck's output to receiving connections, frames from transmitting connections to its input.
// The transport ticks on a thread of its own at the frame rate (times a speed-up for tests).

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>

#include "platform/kernel/thread.h"
#include "vdeck/deck.h"

namespace vdeck {

class DeckServer {
  public:
    // rate: how many times faster than real time the transport runs.
    DeckServer(std::shared_ptr<Deck> deck, std::filesystem::path socketPath, double rate = 1.0);
    ~DeckServer();
    DeckServer(const DeckServer&) = delete;
    DeckServer& operator=(const DeckServer&) = delete;

    // Starts listening; false with a message when the socket cannot be made.
    bool Start(std::string* error);
    // Closes every connection and the socket (the deck "unplugged"), then joins the threads.
    void Stop();

    // The socket for a deck of this name in the platform's deck folder.
    static std::filesystem::path DefaultSocketPath(const std::string& name);

  private:
    struct Connection;

    void AcceptLoop();
    void TransportLoop();
    void Serve(const std::shared_ptr<Connection>& connection);
    void ServeControl(Connection& connection);
    void ServeTransmit(const std::shared_ptr<Connection>& connection);
    void Broadcast(const std::vector<std::uint8_t>& frame);
    void BroadcastLoss(std::int64_t frames);

    std::shared_ptr<Deck> deck_;
    std::filesystem::path socketPath_;
    double rate_;
    platform::dv1394::deck::Fd listener_;
    platform::dv1394::deck::Fd wakeRead_, wakeWrite_;
    std::atomic<bool> stopping_{false};
    platform::Thread acceptThread_;
    platform::Thread transportThread_;

    std::mutex connectionsLock_;
    std::list<std::shared_ptr<Connection>> connections_;

    // Frames from transmitting clients wait here for the transport to take them, one a tick;
    // a full queue holds the sender back, which is how the deck paces what it is sent. Each
    // frame taken is acknowledged to its sender, which so knows when all it sent is on tape.
    struct Input {
        std::vector<std::uint8_t> frame;
        std::shared_ptr<Connection> sender;
    };
    std::mutex inputLock_;
    std::condition_variable inputChanged_;
    std::deque<Input> input_;
};

}  // namespace vdeck
