#include "toolkit/graph/still.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace tovik {

namespace {

template <typename T>
void Put(BYTE* at, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

bool WriteAll(int fd, const BYTE* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A new file beside path with a name no other writer uses; -1 when none can be created.
int CreateTemporary(const std::string& path, std::string* tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *tempPath = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        int fd = ::open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A DV buffer or picture buffer that the still owns, or null when memory is short.
std::unique_ptr<BYTE[]> Allocate(std::size_t bytes) {
    return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[bytes]);
}

}  // namespace

int GrabOneShot(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, BYTE* picture,
                std::int32_t* out) {
    if (out) *out = -1;
    if (!streamGrabber || !picture) return 0;
    std::unique_ptr<BYTE[]> frame = Allocate(kDvFrameBytes);
    if (!frame) return 0;
    CMediaType dvType;
    if (FAILED(streamGrabber->GetConnectedMediaType(&dvType))) return 0;
    LONG size = kDvFrameBytes;
    if (FAILED(streamGrabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(frame.get()))))
        return 0;
    // Only the bytes the grabber held are the frame; a short one is decoded as it is.
    std::int32_t produced = -1;
    decoder.Decode(&dvType, frame.get(), size, picture, &produced);
    if (out) *out = produced;
    return 1;
}

int SaveStillBmp(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, const char* path) {
    if (!path || !*path) return 0;
    std::unique_ptr<BYTE[]> picture = Allocate(kPictureBytes);
    if (!picture) return 0;
    std::int32_t produced = -1;
    if (!GrabOneShot(streamGrabber, decoder, picture.get(), &produced) || produced != 0) return 0;
    return WriteBmpFile(path, picture.get()) ? 1 : 0;
}

std::array<BYTE, kBmpHeaderBytes> BmpHeader() {
    std::array<BYTE, kBmpHeaderBytes> h{};
    BYTE* p = h.data();
    Put<WORD>(p + 0, 0x4D42);  // "BM"
    Put<DWORD>(p + 2, static_cast<DWORD>(kBmpFileBytes));
    Put<DWORD>(p + 10, static_cast<DWORD>(kBmpHeaderBytes));
    Put<DWORD>(p + 14, 40);  // information header size
    Put<LONG>(p + 18, kPictureWidth);
    Put<LONG>(p + 22, kPictureHeight);  // positive: rows bottom-up
    Put<WORD>(p + 26, 1);
    Put<WORD>(p + 28, 24);
    Put<DWORD>(p + 30, 0);  // uncompressed
    Put<DWORD>(p + 34, static_cast<DWORD>(kPictureBytes));
    return h;  // resolution, colours used and important colours stay 0
}

bool WriteBmpFile(const char* path, const BYTE* picture) {
    if (!path || !*path || !picture) return false;
    std::string tempPath;
    int fd = CreateTemporary(path, &tempPath);
    if (fd < 0) return false;
    const auto header = BmpHeader();
    bool ok = WriteAll(fd, header.data(), header.size()) && WriteAll(fd, picture, kPictureBytes);
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempPath.c_str(), path) == 0;
    if (!ok) ::unlink(tempPath.c_str());
    return ok;
}

}  // namespace tovik
