#include "vdeck/tape.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vdeck {

namespace {

using platform::dv::kFrameSize525;
using platform::dv::kFrameSize625;

bool ReadAt(int fd, std::int64_t position, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, data + done, size - done, off_t(position + std::int64_t(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// The size of the frame that begins at `position`, from its header block (section 0, the DSF
// bit of its fourth byte); 0 when no header block begins there.
// The frame size a frame's first DIF block gives: 0 when that block is not a header.
std::size_t FrameSizeOf(const std::uint8_t* header) {
    if ((header[0] >> 5) != 0) return 0;
    return header[3] & 0x80 ? kFrameSize625 : kFrameSize525;
}

std::size_t FrameSizeAt(int fd, std::int64_t position) {
    std::uint8_t header[4];
    if (!ReadAt(fd, position, header, sizeof header)) return 0;
    return FrameSizeOf(header);
}

}  // namespace

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
    std::vector<std::int64_t> offsets{0};
    while (offsets.back() < info.st_size) {
        const std::size_t size = FrameSizeAt(fd.Get(), offsets.back());
        if (size == 0 || offsets.back() + std::int64_t(size) > info.st_size) {
            *error = path + ": not a tape of whole DV frames (frame " +
                     std::to_string(offsets.size() - 1) + ")";
            return nullptr;
        }
        offsets.push_back(offsets.back() + std::int64_t(size));
    }
    return std::unique_ptr<Tape>(new Tape(std::move(fd), std::move(offsets)));
}

std::int64_t Tape::FrameCount() const {
    std::lock_guard lock(mutex_);
    return std::int64_t(offsets_.size()) - 1;
}

// Under the lock.
std::size_t Tape::SizeAt(std::int64_t index) const {
    return std::size_t(offsets_[std::size_t(index) + 1] - offsets_[std::size_t(index)]);
}

std::optional<platform::dv::System> Tape::SystemAt(std::int64_t index) const {
    std::lock_guard lock(mutex_);
    const std::int64_t frames = std::int64_t(offsets_.size()) - 1;
    if (frames == 0) return std::nullopt;
    index = std::clamp<std::int64_t>(index, 0, frames - 1);
    return SizeAt(index) == kFrameSize625 ? platform::dv::System::Pal625
                                          : platform::dv::System::Ntsc525;
}

bool Tape::ReadFrame(std::int64_t index, std::vector<std::uint8_t>* frame) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= std::int64_t(offsets_.size()) - 1) return false;
    frame->resize(SizeAt(index));
    return ReadAt(fd_.Get(), offsets_[std::size_t(index)], frame->data(), frame->size());
}

bool Tape::WriteFrame(std::int64_t index, const std::uint8_t* frame, std::size_t size) {
    std::lock_guard lock(mutex_);
    const std::int64_t frames = std::int64_t(offsets_.size()) - 1;
    if ((size != kFrameSize525 && size != kFrameSize625) || index < 0 || index > frames)
        return false;
    if (index < frames ? SizeAt(index) != size : frames > 0 && SizeAt(frames - 1) != size)
        return false;  // a frame never overwrites one of the other system
    // The tape file is framed by each frame's header block: a frame whose header is missing or
    // names the other system would leave a tape that no longer opens.
    if (FrameSizeOf(frame) != size) return false;
    const std::int64_t at = offsets_[std::size_t(index)];
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd_.Get(), frame + done, size - done, off_t(at + std::int64_t(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    if (index == frames) offsets_.push_back(at + std::int64_t(size));
    return true;
}

}  // namespace vdeck
