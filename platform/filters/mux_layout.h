#pragma once
// How the AVI Mux lays out a file around the frames it carries: as an AVI file (headers, the
// chunks and their indexes) or as raw DV (the frames back to back and nothing else). Both are a
// series of positioned writes; neither does any I/O of its own.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/filters/avi_format.h"

namespace platform::filters {

// What surrounds a chunk's data in the file: a header before it and padding after it.
struct ChunkFraming {
    std::uint8_t header[8] = {};
    std::size_t headerSize = 0;
    std::size_t padSize = 0;
};

class MuxLayout {
  public:
    virtual ~MuxLayout() = default;

    // What goes at the start of the file before the first chunk (possibly nothing).
    virtual avi::Patch Begin() = 0;
    // Places a chunk of `size` data bytes of `stream`: the position of its framing, after any
    // writes that must come first (appended to `before`).
    virtual HRESULT Place(int stream, std::uint32_t size, std::vector<avi::Patch>* before,
                          std::int64_t* position) = 0;
    // Takes back the chunk that the last Place put at `position`, when its bytes did not reach
    // the file; the file then ends before it again.
    virtual void Retract(int stream, std::int64_t position) = 0;
    // The largest size the file can reach if a chunk of `size` data bytes is placed next and
    // the file is then finished.
    virtual std::int64_t SpaceNeeded(std::uint32_t size) const = 0;
    // What finishing the file writes.
    virtual std::vector<avi::Patch> Finish() = 0;
    virtual ChunkFraming Framing(int stream, std::uint32_t size) const = 0;

    virtual std::int64_t Chunks(int stream) const = 0;
    // Where the file ends.
    virtual std::int64_t End() const = 0;
};

// An OpenDML AVI file of `streams`, with an 'IDIT' chunk of `dateText` unless it is empty.
std::unique_ptr<MuxLayout> MakeAviLayout(std::vector<avi::StreamFormat> streams,
                                         std::uint64_t riffLimit,
                                         std::vector<std::uint8_t> dateText);
// Raw DV: the chunks of stream 0 back to back from the start of the file, bit for bit.
std::unique_ptr<MuxLayout> MakeRawDvLayout();

}  // namespace platform::filters
