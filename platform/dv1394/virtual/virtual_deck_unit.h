#pragma once
// A running virtual deck as a DV unit: AV/C over its control connection, frames over separate
// receive and transmit connections, and a watcher that notices when the deck goes away.

#include <atomic>
#include <filesystem>
#include <mutex>

#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/virtual/deck_protocol.h"
#include "platform/kernel/thread.h"

namespace platform::dv1394 {

class VirtualDeckUnit final : public DvUnit {
  public:
    VirtualDeckUnit(std::filesystem::path socket, std::string name);
    ~VirtualDeckUnit() override;

    std::string Name() const override { return name_; }
    std::string Id() const override { return socket_.string(); }
    AvcStatus Transact(const std::vector<std::uint8_t>& command,
                       std::vector<std::uint8_t>* response,
                       std::chrono::milliseconds timeout) override;
    bool StartReceive(FrameSink sink) override;
    void StopReceive() override;
    bool StartTransmit() override;
    bool Transmit(const std::uint8_t* frame, std::size_t size) override;
    bool DrainTransmit(std::chrono::milliseconds stall) override;
    void StopTransmit() override;
    void SetLostHandler(std::function<void()> handler) override;
    bool IsLost() const override { return lost_; }
    std::int64_t LinkLosses() const override { return linkLosses_; }

  private:
    // Opens a connection of the given kind, past the deck's greeting.
    deck::Fd Open(deck::Message kind);
    bool EnsureControl();
    void MarkLost();
    void Watch(int fd);

    std::filesystem::path socket_;
    std::string name_;
    std::atomic<bool> lost_{false};
    std::atomic<std::int64_t> linkLosses_{0};  // as the deck reported them

    std::mutex controlLock_;  // one transaction at a time
    deck::Fd control_;
    std::uint32_t sequence_ = 0;

    std::mutex lostLock_;  // held while the handler runs, so it cannot be cleared mid-call
    std::function<void()> lostHandler_;
    bool lostReported_ = false;

    platform::Thread watcher_;
    std::atomic<bool> stopWatching_{false};

    deck::Fd receive_;
    std::atomic<bool> stoppingReceive_{false};
    platform::Thread receiver_;
    // Reads the deck's receipts for frames taken, waiting at most `wait` for the first one;
    // false when the connection failed. Under the transmit lock.
    bool ReadReceipts(std::chrono::milliseconds wait);

    std::mutex transmitLock_;
    deck::Fd transmit_;
    std::uint64_t framesSent_ = 0;   // under the transmit lock
    std::uint64_t framesTaken_ = 0;  // under the transmit lock
    std::atomic<bool> stoppingTransmit_{false};
};

// The name a deck greets with, or empty when nothing answers at the socket.
std::string ProbeDeck(const std::filesystem::path& socket);

}  // namespace platform::dv1394
