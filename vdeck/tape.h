#pragma once
// A tape: a file of DV frames (525-line frames of 120000 bytes, 625-line frames of 144000
// bytes), read and written in place. A tape may change system where a recording of the other
// system begins; each frame's header block says which it is. Recording past the end makes the
// tape longer; a blank tape takes the system of the first frame recorded onto it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dv/dif.h"
#include "platform/dv1394/virtual/deck_protocol.h"

namespace vdeck {

inline constexpr std::size_t kFrameSize = platform::dv::kFrameSize525;

class Tape {
  public:
    // Opens an existing tape file for reading and writing; null with a message on failure.
    static std::unique_ptr<Tape> Open(const std::string& path, std::string* error);

    std::int64_t FrameCount() const;
    // The system of the frame at `index` (the last frame's past the end); nothing for a blank
    // tape.
    std::optional<platform::dv::System> SystemAt(std::int64_t index) const;
    bool ReadFrame(std::int64_t index, std::vector<std::uint8_t>* frame) const;
    // Writes a whole frame at the index (at most one past the end), over a frame of the same
    // system; false for a frame of the other system there, one whose header block does not
    // agree with its size, or an I/O error.
    bool WriteFrame(std::int64_t index, const std::uint8_t* frame, std::size_t size);

  private:
    Tape(platform::dv1394::deck::Fd fd, std::vector<std::int64_t> offsets)
        : fd_(std::move(fd)), offsets_(std::move(offsets)) {}
    std::size_t SizeAt(std::int64_t index) const;

    mutable std::mutex mutex_;
    platform::dv1394::deck::Fd fd_;
    std::vector<std::int64_t> offsets_;  // where each frame begins, and the end of the last
};

}  // namespace vdeck
