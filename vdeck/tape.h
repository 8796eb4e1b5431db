#pragma once
// A tape: a file of NTSC DV frames of 120000 bytes, read and written in place. Recording past
// the end makes the tape longer.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dv1394/virtual/deck_protocol.h"

namespace vdeck {

inline constexpr std::size_t kFrameSize = 120000;

class Tape {
  public:
    // Opens an existing tape file for reading and writing; null with a message on failure.
    static std::unique_ptr<Tape> Open(const std::string& path, std::string* error);

    std::int64_t FrameCount() const;
    bool ReadFrame(std::int64_t index, std::vector<std::uint8_t>* frame) const;
    // Writes a whole frame at the index (at most one past the end); false on an I/O error.
    bool WriteFrame(std::int64_t index, const std::uint8_t* frame, std::size_t size);

  private:
    Tape(platform::dv1394::deck::Fd fd, std::int64_t frames)
        : fd_(std::move(fd)), frames_(frames) {}

    mutable std::mutex mutex_;
    platform::dv1394::deck::Fd fd_;
    std::int64_t frames_;
};

}  // namespace vdeck
