#pragma once
// Reads the DV frames of one capture of a tape, one at a time in file order: a DV AVI file
// (the interleaved stream of a type-1 file, or the DV video stream of a type-2 file) or a raw
// DV file (frames back to back). Only the frame index of an AVI file is held in memory.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/filters/avi_format.h"
#include "platform/filters/file_io.h"

namespace velmora::merge {

class DvPassReader {
  public:
    // Opens `path`; false with a message naming the file when it cannot be read or holds no
    // DV stream.
    bool Open(const std::string& path, std::string* error);
    // The next frame (120000 or 144000 bytes) into `frame`. False at the end of the stream, or
    // on a read error, which `error` then describes (left empty at a normal end).
    bool Next(std::vector<std::uint8_t>* frame, std::string* error);

    const std::string& Path() const { return path_; }
    bool IsAvi() const { return avi_; }
    // Chunks of the DV stream that were not a whole DV frame (left out).
    std::int64_t Skipped() const { return skipped_; }

  private:
    bool OpenAvi(std::string* error);
    bool NextChunk(std::vector<std::uint8_t>* frame, std::string* error);
    bool NextRaw(std::vector<std::uint8_t>* frame, std::string* error);
    bool ReadBytes(std::int64_t position, std::size_t length, std::uint8_t* out);

    std::string path_;
    platform::filters::UniqueFd fd_;
    std::int64_t length_ = 0;
    bool avi_ = false;
    std::vector<platform::avi::IndexEntry> chunks_;
    std::size_t nextChunk_ = 0;
    std::int64_t rawPosition_ = 0;
    std::int64_t skipped_ = 0;
};

// Whether `size` bytes at `frame` are one whole DV frame of the size its header announces.
bool IsWholeDvFrame(const std::uint8_t* frame, std::size_t size);

}  // namespace velmora::merge
