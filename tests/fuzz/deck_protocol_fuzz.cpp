// libFuzzer target over the virtual deck's socket protocol, both ways. The first byte says
// which side the rest of the input plays:
//  - even: it is what a deck sends. A fake deck in this process greets every connection with
//    those bytes and hangs up; the toolkit's side probes it, runs an AV/C transaction, receives
//    and transmits through it, and must take nothing it says beyond what the protocol allows.
//  - odd: it is what a client sends. The messages are read as the deck reads them and handed
//    to a deck with a short tape: AV/C commands, frames to record, transport ticks.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/dv1394/virtual/deck_protocol.h"
#include "platform/dv1394/virtual/virtual_deck_unit.h"
#include "platform/kernel/thread.h"
#include "vdeck/deck.h"
#include "vdeck/tape.h"
#include "vdeck/tape_maker.h"

namespace {

namespace deck = platform::dv1394::deck;
using platform::dv1394::AvcStatus;
using platform::dv1394::VirtualDeckUnit;

// A socket that plays the current input to every connection, then hangs up.
class FakeDeck {
  public:
    explicit FakeDeck(const std::filesystem::path& path) : path_(path) {
        listener_ = deck::Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.Get(), 16) != 0)
            std::abort();
        thread_.Start([this] { Serve(); });
    }
    void Script(const std::uint8_t* data, std::size_t size) {
        std::lock_guard lock(mutex_);
        script_.assign(data, data + size);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    void Serve() {
        for (;;) {
            deck::Fd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) continue;
            std::vector<std::uint8_t> script;
            {
                std::lock_guard lock(mutex_);
                script = script_;
            }
            // Whatever the client sends is read away, so that it never waits on a full socket.
            ::fcntl(client.Get(), F_SETFL, O_NONBLOCK);
            std::size_t sent = 0;
            while (sent < script.size()) {
                ssize_t n =
                    ::send(client.Get(), script.data() + sent, script.size() - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && errno != EAGAIN) break;
                Drain(client.Get());
                pollfd wait{client.Get(), POLLOUT | POLLIN, 0};
                ::poll(&wait, 1, 100);
            }
            ::shutdown(client.Get(), SHUT_WR);
            Drain(client.Get());
        }
    }
    static void Drain(int fd) {
        char sink[65536];
        while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }

    std::filesystem::path path_;
    deck::Fd listener_;
    std::mutex mutex_;
    std::vector<std::uint8_t> script_;
    platform::Thread thread_;
};

FakeDeck* g_fakeDeck = nullptr;
std::string g_tapePath;

// The toolkit's side against a deck that says what the input says.
void AsClient(const std::uint8_t* data, std::size_t size) {
    g_fakeDeck->Script(data, size);
    const std::string name = platform::dv1394::ProbeDeck(g_fakeDeck->Path());
    if (name.size() > deck::kMaxDeckName) __builtin_trap();
    {
        VirtualDeckUnit unit(g_fakeDeck->Path(), "fuzz");
        std::vector<std::uint8_t> response;
        if (unit.Transact({0x01, 0x20, 0xD0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}, &response,
                          std::chrono::milliseconds(50)) == AvcStatus::kAnswered &&
            (response.empty() || response.size() > platform::dv1394::kMaxAvcFrame))
            __builtin_trap();
    }
    {
        VirtualDeckUnit unit(g_fakeDeck->Path(), "fuzz");
        std::atomic<std::size_t> frames{0};
        if (unit.StartReceive([&frames](const std::uint8_t* frame, std::size_t bytes) {
                if (!frame || bytes > deck::kMaxPayload) __builtin_trap();
                ++frames;
            })) {
            // The deck hangs up after its bytes, which the receiver notices as the deck going.
            for (int i = 0; i < 2000 && !unit.IsLost(); ++i) ::usleep(500);
        }
        unit.StopReceive();
    }
    {
        VirtualDeckUnit unit(g_fakeDeck->Path(), "fuzz");
        static const std::vector<std::uint8_t> frame(120000, 0x11);
        if (unit.StartTransmit()) {
            unit.Transmit(frame.data(), frame.size());
            unit.DrainTransmit(std::chrono::milliseconds(5));
        }
        unit.StopTransmit();
    }
}

// The deck's side: the input as the byte stream of one client connection.
void AsDeck(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    deck::Fd reading(pair[0]), writing(pair[1]);
    // The socket holds what a client may have sent so far; the rest is cut off.
    int room = 1 << 20;
    ::setsockopt(writing.Get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::fcntl(writing.Get(), F_SETFL, O_NONBLOCK);
    ssize_t put = ::send(writing.Get(), data, size, MSG_NOSIGNAL);
    (void)put;
    writing.Reset();
    std::string error;
    auto tape = vdeck::Tape::Open(g_tapePath, &error);
    if (!tape) std::abort();
    vdeck::Deck player(std::move(tape), "fuzz deck");
    deck::Message type;
    std::vector<std::uint8_t> payload;
    int messages = 0;
    while (messages++ < 64 &&
           deck::ReadMessage(reading.Get(), &type, &payload, std::chrono::milliseconds(0)) ==
               deck::ReadStatus::kOk) {
        if (type == deck::Message::kAvcCommand && payload.size() >= 4) {
            for (const auto& answer :
                 player.HandleAvc(std::vector<std::uint8_t>(payload.begin() + 4, payload.end())))
                if (answer.empty() || answer.size() > platform::dv1394::kMaxAvcFrame)
                    __builtin_trap();
        } else if (type == deck::Message::kFrame) {
            player.ReceiveInput(payload.data(), payload.size());
        }
        player.Tick();
    }
    // The tape goes back to its length for the next input.
    ::truncate(g_tapePath.c_str(), static_cast<off_t>(30 * vdeck::kFrameSize));
}

}  // namespace

static std::filesystem::path g_folder;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CoInitialize(nullptr);  // the tape is encoded through the DV filters
    char pattern[] = "/tmp/velmora-deck-fuzz-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    const std::filesystem::path folder(pattern);
    g_folder = folder;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_folder, ignored);
    });
    g_tapePath = (folder / "tape.dv").string();
    std::string error;
    if (!vdeck::MakeSampleTape(g_tapePath, 1, 48000, &error)) std::abort();
    ::truncate(g_tapePath.c_str(), static_cast<off_t>(30 * vdeck::kFrameSize));
    g_fakeDeck = new FakeDeck(folder / "deck");  // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1)
        AsDeck(data + 1, size - 1);
    else
        AsClient(data + 1, size - 1);
    return 0;
}
