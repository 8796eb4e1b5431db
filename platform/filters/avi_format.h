#pragma once
// The AVI RIFF layout with the OpenDML (AVI 2.0) extensions: a writer that lays a file out as a
// series of positioned writes, and a parser that reads the streams and their frame index back
// through a bounded byte reader. Neither does any I/O of its own.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/com/hresult.h"

namespace platform::avi {

constexpr std::uint32_t FourCC(const char (&text)[5]) {
    return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
           std::uint32_t(std::uint8_t(text[2])) << 16 | std::uint32_t(std::uint8_t(text[3])) << 24;
}

// The chunk identifier of stream `index`'s data: two decimal digits and a two-letter suffix.
std::uint32_t ChunkId(int index, const char (&suffix)[3]);

// Bytes to be written at a position of the file.
struct Patch {
    std::int64_t position;
    std::vector<std::uint8_t> bytes;
};

// What the writer needs to know of one stream.
struct StreamFormat {
    std::uint32_t type;     // 'iavs', 'vids' or 'auds'
    std::uint32_t handler;  // 'dvsd' or 0
    std::uint32_t scale;    // rate / scale = frames (or audio blocks) per second
    std::uint32_t rate;
    std::uint32_t sampleSize;  // 0 for frames, the block size of audio
    std::uint16_t width = 0, height = 0;
    std::vector<std::uint8_t> format;  // the 'strf' payload
};

// Lays out an AVI file of OpenDML RIFFs: 'RIFF AVI ' with the headers, a 'movi' list, its 'ix##'
// standard indexes and the legacy 'idx1'; then 'RIFF AVIX' continuations, each with its own
// 'movi' list and indexes. A RIFF closes before a chunk would make it longer than the limit.
class Writer {
  public:
    // Room in each stream's super index: this many RIFFs at most.
    static constexpr std::uint32_t kSuperIndexEntries = 1024;
    static constexpr std::uint64_t kDefaultRiffLimit = 1ull << 30;
    static constexpr std::uint64_t kMinRiffLimit = 64 * 1024;
    static constexpr std::uint64_t kMaxRiffLimit = 0xF0000000ull;

    Writer(std::vector<StreamFormat> streams, std::uint64_t riffLimit);

    // Gives the file an 'IDIT' chunk (the date the recording was made, as text) in its header
    // list. Only before Begin.
    void SetDateChunk(std::vector<std::uint8_t> text);

    // The headers and the opening of the first 'movi' list, for position 0.
    Patch Begin();
    // Places a chunk of `size` data bytes of `stream`: the position of its 8-byte header, after
    // any writes that close the RIFF it no longer fits in (appended to `before`). Fails
    // (E_OUTOFMEMORY) when no further RIFF can be indexed.
    HRESULT Place(int stream, std::uint32_t size, std::vector<Patch>* before,
                  std::int64_t* position);
    // Takes back the chunk of `stream` that the last Place put at `position`, when its bytes
    // did not reach the file; the file then ends before it again.
    void Retract(int stream, std::int64_t position);
    // The largest size the file can reach if a chunk of `size` data bytes is placed next and the
    // file is then finished: room for the chunk and for every index that closing may write.
    std::int64_t SpaceNeeded(std::uint32_t size) const;
    // Closes the last RIFF and rewrites the headers with the final counts.
    std::vector<Patch> Finish();

    std::int64_t Chunks(int stream) const { return streams_[stream].total; }
    std::int64_t End() const { return end_; }
    std::size_t HeaderSize() const { return headerSize_; }

  private:
    struct Entry {
        std::int64_t dataPosition;
        std::uint32_t size;
    };
    struct SuperEntry {
        std::int64_t position;
        std::uint32_t size;
        std::uint32_t duration;
    };
    struct Stream {
        StreamFormat format;
        std::uint32_t chunkId;
        std::vector<Entry> riffEntries;  // chunks of the RIFF being written
        std::vector<SuperEntry> super;
        std::int64_t total = 0;  // chunks written
        std::int64_t ticks = 0;  // length in stream units
        std::uint32_t largest = 0;
    };

    std::uint64_t IndexBytes() const;
    void OpenRiff(std::vector<Patch>* out);
    void CloseRiff(std::vector<Patch>* out);
    Patch Headers() const;
    Patch StandardIndex(const Stream& stream, std::int64_t position) const;
    Patch LegacyIndex(std::int64_t position) const;

    std::vector<Stream> streams_;
    std::uint64_t riffLimit_;
    std::size_t headerSize_ = 0;
    std::vector<std::uint8_t> dateChunk_;  // the 'IDIT' payload, or empty
    std::int64_t end_ = 0;                 // where the next chunk goes
    std::int64_t riffStart_ = 0;           // the 'RIFF' of the RIFF being written
    std::int64_t moviStart_ = 0;           // its 'LIST' ... 'movi'
    bool firstRiff_ = true;
    bool finished_ = false;
    std::vector<std::pair<int, Entry>> firstRiffChunks_;  // for 'idx1', in file order
    std::int64_t firstRiffFrames_ = 0;
    std::uint32_t firstRiffSize_ = 0;  // 0 until the first RIFF closes
};

// The 'IDIT' text of a recording date given as "YYYY-MM-DDTHH:MM:SS": "Wed Dec 09 06:46:38
// 2026", a line end and a terminating zero, as other programs write and read it. Empty when the
// text is not such a date.
std::vector<std::uint8_t> DateChunkText(const char* recorded);

// Reads `length` bytes at `position` into `buffer`; false for a short read or an error.
using ReadFunction =
    std::function<bool(std::int64_t position, std::uint32_t length, std::uint8_t* buffer)>;

// One chunk of a stream's data, as the index gives it: where its data begins and its size.
struct IndexEntry {
    std::int64_t position;
    std::uint32_t size;
};

struct ParsedStream {
    std::uint32_t type = 0, handler = 0;
    std::uint32_t scale = 0, rate = 0, sampleSize = 0, length = 0;
    std::vector<std::uint8_t> format;
    std::uint32_t chunkId = 0;  // '00dc', '01wb', ...; 0 where the index does not say
    std::vector<IndexEntry> chunks;
};

struct ParsedFile {
    std::uint32_t microSecPerFrame = 0;
    std::vector<ParsedStream> streams;
};

// Reads the headers and the index of an AVI file of `fileLength` bytes: the OpenDML indexes
// when every stream has them, else 'idx1', else the chunks found walking the 'movi' lists (a
// file whose recording was cut off). Every size and offset is checked against the file;
// VFW_E_INVALID_FILE_FORMAT for anything that is not a usable AVI file.
HRESULT Parse(const ReadFunction& read, std::int64_t fileLength, ParsedFile* out);

}  // namespace platform::avi
