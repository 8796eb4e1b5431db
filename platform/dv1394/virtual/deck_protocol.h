#pragma once
// The wire protocol between a virtual deck and its clients, over a Unix stream socket. Every
// message is an 8-byte header (type, payload length; little-endian 32-bit) and its payload.
// A client's first message says what the connection is for: control (AV/C transactions),
// receive (the deck streams frames to it) or transmit (it streams frames to the deck).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::dv1394::deck {

enum class Message : std::uint32_t {
    kHello = 1,         // deck -> client, on every connection: the deck's name
    kOpenControl = 2,   // client -> deck
    kOpenReceive = 3,   // client -> deck
    kOpenTransmit = 4,  // client -> deck
    kAvcCommand = 5,    // client -> deck: sequence number (4 bytes) + AV/C frame
    kAvcResponse = 6,   // deck -> client: sequence number (4 bytes) + AV/C frame
    kFrame = 7,         // one DV frame, either way
    kFrameTaken = 8,    // deck -> client on a transmit connection: one frame left the queue
    kFramesLost = 9,    // deck -> client on a receive connection: frames lost on the link
                        // before the next one (4 bytes, their count)
};

inline constexpr std::uint32_t kMaxPayload = 1 << 20;

// The folder where running decks publish their sockets: $XDG_RUNTIME_DIR/velmora/decks, else
// /tmp/velmora-$UID/decks.
std::filesystem::path DeckDirectory();

// A deck found in that folder is trusted with frames and transport answers, so the folder and
// its sockets must be this user's alone: anyone else able to put a socket there could pose as
// a deck.
//
// For a deck about to publish its socket: creates the folders this system owns on the way
// (velmora, velmora-$UID, decks) with mode 0700 and closes existing ones of this user to
// others. False, with the reason, when one of them is not a folder of this user.
bool MakeDeckDirectory(std::string* error);
// For a client: the deck folder when each of those folders is a real folder (not a link) of
// this user that nobody else may enter; nothing otherwise, and then no deck is listed.
std::optional<std::filesystem::path> TrustedDeckDirectory();
// A socket that this user owns and that nobody else may connect to.
bool IsTrustedSocket(const std::filesystem::path& socket);
// Closes a deck's new socket to everyone but this user.
bool RestrictSocket(const std::filesystem::path& socket);

// A deck's name as it greets its clients: 1 to 255 bytes, none of them 0.
inline constexpr std::size_t kMaxDeckName = 255;

// Owns a file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// Writes a whole message; false when the peer is gone.
bool SendMessage(int fd, Message type, const void* payload, std::size_t size);
bool SendMessage(int fd, Message type, const std::vector<std::uint8_t>& payload);

enum class ReadStatus { kOk, kTimedOut, kClosed, kBadMessage };

// Reads one message, waiting at most `timeout` for it to begin (negative: no limit).
ReadStatus ReadMessage(int fd, Message* type, std::vector<std::uint8_t>* payload,
                       std::chrono::milliseconds timeout);

// Connects to a deck's socket; an empty Fd when nothing listens there.
Fd ConnectTo(const std::filesystem::path& socket);

}  // namespace platform::dv1394::deck
