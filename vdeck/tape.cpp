#include "vdeck/tape.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace vdeck {

std::unique_ptr<Tape> Tape::Open(const std::string& path, std::string* error) {
    platform::dv1394::deck::Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + ": not a regular file";
        return nullptr;
    }
    if (info.st_size % kFrameSize != 0) {
        *error = path + ": not a tape of whole 120000-byte DV frames";
        return nullptr;
    }
    return std::unique_ptr<Tape>(new Tape(std::move(fd), info.st_size / kFrameSize));
}

std::int64_t Tape::FrameCount() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool Tape::ReadFrame(std::int64_t index, std::vector<std::uint8_t>* frame) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= frames_) return false;
    frame->resize(kFrameSize);
    std::size_t done = 0;
    while (done < kFrameSize) {
        ssize_t n = ::pread(fd_.Get(), frame->data() + done, kFrameSize - done,
                            static_cast<off_t>(index * kFrameSize + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Tape::WriteFrame(std::int64_t index, const std::uint8_t* frame, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (size != kFrameSize || index < 0 || index > frames_) return false;
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd_.Get(), frame + done, size - done,
                             static_cast<off_t>(index * kFrameSize + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    if (index == frames_) ++frames_;
    return true;
}

}  // namespace vdeck
