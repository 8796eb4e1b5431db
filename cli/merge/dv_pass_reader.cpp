#include "cli/merge/dv_pass_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/dv/dif.h"

namespace velmora::merge {
namespace avi = platform::avi;
namespace dv = platform::dv;

bool IsWholeDvFrame(const std::uint8_t* frame, std::size_t size) {
    const auto layout = dv::LayoutOf(frame, size);
    return layout && layout->frameSize == size;
}

namespace {

// The stream of a parsed AVI file that carries whole DV frames: the interleaved stream of a
// type-1 file, else a video stream whose handler or format says DV.
int DvStreamOf(const avi::ParsedFile& file) {
    for (std::size_t i = 0; i < file.streams.size(); ++i)
        if (file.streams[i].type == avi::FourCC("iavs")) return static_cast<int>(i);
    for (std::size_t i = 0; i < file.streams.size(); ++i) {
        const auto& s = file.streams[i];
        if (s.type != avi::FourCC("vids")) continue;
        std::uint32_t compression = 0;
        if (s.format.size() >= 20) std::memcpy(&compression, s.format.data() + 16, 4);
        constexpr std::uint32_t kDvCodes[] = {avi::FourCC("dvsd"), avi::FourCC("DVSD"),
                                              avi::FourCC("dv25"), avi::FourCC("DV25"),
                                              avi::FourCC("dvc "), avi::FourCC("CDVC")};
        for (std::uint32_t code : {s.handler, compression})
            for (std::uint32_t dvCode : kDvCodes)
                if (code == dvCode) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

bool DvPassReader::ReadBytes(std::int64_t position, std::size_t length, std::uint8_t* out) {
    LONG done = 0;
    const HRESULT hr =
        platform::filters::ReadAt(fd_.Get(), position, out, static_cast<LONG>(length), &done);
    return SUCCEEDED(hr) && static_cast<std::size_t>(done) == length;
}

bool DvPassReader::Open(const std::string& path, std::string* error) {
    path_ = path;
    fd_ = platform::filters::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd_.Valid() || ::fstat(fd_.Get(), &info) != 0) {
        *error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = path + ": not a regular file";
        return false;
    }
    length_ = info.st_size;
    std::uint8_t head[12] = {};
    if (length_ >= 12 && !ReadBytes(0, sizeof head, head)) {
        *error = path + ": cannot be read";
        return false;
    }
    avi_ =
        length_ >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
    if (avi_) return OpenAvi(error);
    std::uint8_t first[dv::kBlockSize] = {};
    if (length_ < static_cast<std::int64_t>(dv::kFrameSize525) ||
        !ReadBytes(0, sizeof first, first) ||
        static_cast<dv::Section>(first[0] >> 5) != dv::Section::Header) {
        *error = path + ": neither a DV AVI file nor raw DV";
        return false;
    }
    return true;
}

bool DvPassReader::OpenAvi(std::string* error) {
    avi::ParsedFile parsed;
    const auto read = [this](std::int64_t position, std::uint32_t length, std::uint8_t* buffer) {
        return ReadBytes(position, length, buffer);
    };
    if (FAILED(avi::Parse(read, length_, &parsed))) {
        *error = path_ + ": not a readable AVI file";
        return false;
    }
    const int stream = DvStreamOf(parsed);
    if (stream < 0) {
        *error = path_ + ": an AVI file without a DV stream";
        return false;
    }
    chunks_ = std::move(parsed.streams[stream].chunks);
    return true;
}

bool DvPassReader::Next(std::vector<std::uint8_t>* frame, std::string* error) {
    error->clear();
    return avi_ ? NextChunk(frame, error) : NextRaw(frame, error);
}

bool DvPassReader::NextChunk(std::vector<std::uint8_t>* frame, std::string* error) {
    while (nextChunk_ < chunks_.size()) {
        const auto chunk = chunks_[nextChunk_++];
        if (chunk.size != dv::kFrameSize525 && chunk.size != dv::kFrameSize625) {
            ++skipped_;  // an empty chunk for a dropped frame, or something else
            continue;
        }
        frame->resize(chunk.size);
        if (!ReadBytes(chunk.position, chunk.size, frame->data())) {
            *error = path_ + ": read error at byte " + std::to_string(chunk.position);
            return false;
        }
        if (IsWholeDvFrame(frame->data(), frame->size())) return true;
        ++skipped_;
    }
    return false;
}

bool DvPassReader::NextRaw(std::vector<std::uint8_t>* frame, std::string* error) {
    while (rawPosition_ + static_cast<std::int64_t>(dv::kFrameSize525) <= length_) {
        frame->resize(dv::kFrameSize525);
        if (!ReadBytes(rawPosition_, dv::kFrameSize525, frame->data())) {
            *error = path_ + ": read error at byte " + std::to_string(rawPosition_);
            return false;
        }
        if (static_cast<dv::Section>((*frame)[0] >> 5) != dv::Section::Header) {
            // Out of step with the frames: look for the next header block.
            rawPosition_ += dv::kBlockSize;
            ++skipped_;
            continue;
        }
        const bool pal = ((*frame)[3] & 0x80) != 0;
        if (pal) {
            if (rawPosition_ + static_cast<std::int64_t>(dv::kFrameSize625) > length_) break;
            frame->resize(dv::kFrameSize625);
            if (!ReadBytes(rawPosition_ + dv::kFrameSize525, dv::kFrameSize625 - dv::kFrameSize525,
                           frame->data() + dv::kFrameSize525)) {
                *error = path_ + ": read error at byte " + std::to_string(rawPosition_);
                return false;
            }
        }
        rawPosition_ += static_cast<std::int64_t>(frame->size());
        return true;
    }
    return false;
}

}  // namespace velmora::merge
