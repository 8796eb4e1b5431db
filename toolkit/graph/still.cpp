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

}  // namespace

namespace {

// The last DV frame that passed the grabber, with its stream type; false when there is none.
bool LastFrame(ISampleGrabber* streamGrabber, CMediaType* type, std::vector<BYTE>* frame,
               LONG* size) {
    if (!streamGrabber || FAILED(streamGrabber->GetConnectedMediaType(type))) return false;
    *size = 0;
    if (FAILED(streamGrabber->GetCurrentBuffer(size, nullptr)) || *size <= 0 ||
        *size > kDvFrameBytes625)
        return false;
    try {
        frame->resize(std::size_t(*size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return SUCCEEDED(streamGrabber->GetCurrentBuffer(size, reinterpret_cast<LONG*>(frame->data())));
}

bool Is625(const std::vector<BYTE>& frame, LONG size) {
    return size > kDvFrameBytes || (size >= 4 && (frame[3] & 0x80) != 0);  // the DSF bit
}

}  // namespace

int GrabOneShot(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, BYTE* picture,
                std::int32_t* out) {
    if (out) *out = -1;
    if (!streamGrabber || !picture) return 0;
    CMediaType dvType;
    std::vector<BYTE> frame;
    LONG size = 0;
    if (!LastFrame(streamGrabber, &dvType, &frame, &size) || Is625(frame, size)) return 0;
    // Only the bytes the grabber held are the frame: a short one is decoded as it is (and
    // gives no picture), never made whole with bytes it did not have.
    std::int32_t produced = -1;
    decoder.Decode(&dvType, frame.data(), size, picture, kPictureBytes, &produced);
    if (out) *out = produced;
    return 1;
}

bool GrabStill(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, StillPicture* still) {
    CMediaType dvType;
    std::vector<BYTE> frame;
    LONG size = 0;
    if (!LastFrame(streamGrabber, &dvType, &frame, &size)) return false;
    const bool pal = Is625(frame, size);
    still->height = pal ? kPictureHeight625 : kPictureHeight;
    const LONG pictureBytes = kPictureWidth * still->height * 3;
    try {
        still->pixels.resize(std::size_t(pictureBytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::int32_t produced = -1;
    return decoder.Decode(&dvType, frame.data(), size, still->pixels.data(), pictureBytes,
                          &produced) == 1 &&
           produced == 0;
}

int SaveStillBmp(ISampleGrabber* streamGrabber, CFrameDecoder& decoder, const char* path) {
    if (!path || !*path) return 0;
    StillPicture still;
    if (!GrabStill(streamGrabber, decoder, &still)) return 0;
    return WriteBmpFile(path, still.pixels.data(), still.height) ? 1 : 0;
}

std::array<BYTE, kBmpHeaderBytes> BmpHeader(LONG height) {
    const DWORD pictureBytes = DWORD(kPictureWidth * height * 3);
    std::array<BYTE, kBmpHeaderBytes> h{};
    BYTE* p = h.data();
    Put<WORD>(p + 0, 0x4D42);  // "BM"
    Put<DWORD>(p + 2, static_cast<DWORD>(kBmpHeaderBytes) + pictureBytes);
    Put<DWORD>(p + 10, static_cast<DWORD>(kBmpHeaderBytes));
    Put<DWORD>(p + 14, 40);  // information header size
    Put<LONG>(p + 18, kPictureWidth);
    Put<LONG>(p + 22, height);  // positive: rows bottom-up
    Put<WORD>(p + 26, 1);
    Put<WORD>(p + 28, 24);
    Put<DWORD>(p + 30, 0);  // uncompressed
    Put<DWORD>(p + 34, pictureBytes);
    return h;  // resolution, colours used and important colours stay 0
}

bool WriteBmpFile(const char* path, const BYTE* picture, LONG height) {
    if (!path || !*path || !picture || height <= 0) return false;
    std::string tempPath;
    int fd = CreateTemporary(path, &tempPath);
    if (fd < 0) return false;
    const auto header = BmpHeader(height);
    bool ok = WriteAll(fd, header.data(), header.size()) &&
              WriteAll(fd, picture, std::size_t(kPictureWidth * height * 3));
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempPath.c_str(), path) == 0;
    if (!ok) ::unlink(tempPath.c_str());
    return ok;
}

}  // namespace tovik
