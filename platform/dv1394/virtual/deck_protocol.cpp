#include "platform/dv1394/virtual/deck_protocol.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::dv1394::deck {

namespace {

// The folders this system owns on the way to the deck folder, outermost first.
std::vector<std::filesystem::path> OwnFolders() {
    std::filesystem::path base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        base = std::filesystem::path(runtime) / "velmora";
    else
        base = std::filesystem::path("/tmp") / ("velmora-" + std::to_string(::getuid()));
    return {base, base / "decks"};
}

constexpr mode_t kOthers = S_IRWXG | S_IRWXO;

// A real folder (not a link) of this user.
bool IsOwnFolder(const struct stat& info) {
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

}  // namespace

std::filesystem::path DeckDirectory() {
    return OwnFolders().back();
}

bool MakeDeckDirectory(std::string* error) {
    const auto folders = OwnFolders();
    std::error_code ec;
    std::filesystem::create_directories(folders.front().parent_path(), ec);
    for (const auto& folder : folders) {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = folder.string() + ": " + std::strerror(errno);
            return false;
        }
        struct stat info {};
        if (::lstat(folder.c_str(), &info) != 0 || !IsOwnFolder(info)) {
            *error = folder.string() + " is not a folder of this user: refusing to publish a deck";
            return false;
        }
        if ((info.st_mode & kOthers) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
            *error = folder.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::optional<std::filesystem::path> TrustedDeckDirectory() {
    const auto folders = OwnFolders();
    for (const auto& folder : folders) {
        struct stat info {};
        if (::lstat(folder.c_str(), &info) != 0 || !IsOwnFolder(info) ||
            (info.st_mode & kOthers) != 0)
            return std::nullopt;
    }
    return folders.back();
}

bool IsTrustedSocket(const std::filesystem::path& socket) {
    struct stat info {};
    return ::lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & kOthers) == 0;
}

bool RestrictSocket(const std::filesystem::path& socket) {
    return ::chmod(socket.c_str(), 0600) == 0;
}

namespace {

bool WriteAll(int fd, const void* data, std::size_t size) {
    auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, bytes, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void PutLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

}  // namespace

bool SendMessage(int fd, Message type, const void* payload, std::size_t size) {
    if (size > kMaxPayload) return false;
    std::uint8_t header[8];
    PutLe32(header, static_cast<std::uint32_t>(type));
    PutLe32(header + 4, static_cast<std::uint32_t>(size));
    return WriteAll(fd, header, sizeof header) && (size == 0 || WriteAll(fd, payload, size));
}

bool SendMessage(int fd, Message type, const std::vector<std::uint8_t>& payload) {
    return SendMessage(fd, type, payload.data(), payload.size());
}

ReadStatus ReadMessage(int fd, Message* type, std::vector<std::uint8_t>* payload,
                       std::chrono::milliseconds timeout) {
    if (timeout.count() >= 0) {
        pollfd waiting{fd, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) return ReadStatus::kTimedOut;
        if (ready < 0) return ReadStatus::kClosed;
    }
    std::uint8_t header[8];
    if (!ReadAll(fd, header, sizeof header)) return ReadStatus::kClosed;
    std::uint32_t size = GetLe32(header + 4);
    std::uint32_t kind = GetLe32(header);
    if (size > kMaxPayload || kind < 1 || kind > std::uint32_t(Message::kFramesLost))
        return ReadStatus::kBadMessage;
    *type = static_cast<Message>(kind);
    payload->resize(size);
    if (size > 0 && !ReadAll(fd, payload->data(), size)) return ReadStatus::kClosed;
    return ReadStatus::kOk;
}

Fd ConnectTo(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socket.string();
    if (path.size() >= sizeof address.sun_path) return Fd();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return Fd();
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fd();
    return fd;
}

}  // namespace platform::dv1394::deck
