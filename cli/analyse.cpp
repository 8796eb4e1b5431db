#include "cli/analyse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "platform/dv/dif.h"
#include "platform/filters/avi_format.h"
#include "toolkit/capture/dv_log_writer.h"

namespace velmora_capture {
namespace {

namespace avi = platform::avi;
namespace dv = platform::dv;

class File {
  public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool Valid() const { return fd_ >= 0; }
    std::int64_t Length() const {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? info.st_size : -1;
    }
    bool Read(std::int64_t position, std::uint32_t length, std::uint8_t* buffer) const {
        std::uint32_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_, buffer + done, length - done, position + done);
            if (n <= 0) return false;
            done += static_cast<std::uint32_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

// Calls frame(bytes) for every DV frame of the file, in order; false when the file is neither
// an AVI file with a DV stream nor raw DV.
bool ForEachFrame(const File& file,
                  const std::function<void(const std::vector<std::uint8_t>&)>& frame) {
    const std::int64_t length = file.Length();
    if (length <= 0) return false;
    std::uint8_t head[12] = {};
    if (length >= 12 && file.Read(0, 12, head) && std::equal(head, head + 4, "RIFF") &&
        std::equal(head + 8, head + 12, "AVI ")) {
        avi::ParsedFile parsed;
        const auto read = [&](std::int64_t at, std::uint32_t n, std::uint8_t* buffer) {
            return file.Read(at, n, buffer);
        };
        if (FAILED(avi::Parse(read, length, &parsed))) return false;
        // The DV stream: interleaved ('iavs', type 1) or video with the 'dvsd' handler (type 2).
        for (const auto& stream : parsed.streams) {
            const bool interleaved = stream.type == avi::FourCC("iavs");
            const bool video =
                stream.type == avi::FourCC("vids") &&
                (stream.handler == avi::FourCC("dvsd") || stream.handler == avi::FourCC("DVSD"));
            if (!interleaved && !video) continue;
            std::vector<std::uint8_t> bytes;
            for (const auto& chunk : stream.chunks) {
                bytes.resize(chunk.size);
                if (chunk.size > 0 && !file.Read(chunk.position, chunk.size, bytes.data()))
                    bytes.clear();
                frame(bytes);
            }
            return true;
        }
        return false;
    }
    // Raw DV: frames one after the other, each of the size its header block says.
    std::vector<std::uint8_t> bytes(dv::kFrameSize625);
    std::int64_t at = 0;
    while (at + static_cast<std::int64_t>(dv::kBlockSize) <= length) {
        if (!file.Read(at, dv::kBlockSize, bytes.data())) break;
        const std::size_t size = (bytes[3] & 0x80) ? dv::kFrameSize625 : dv::kFrameSize525;
        if (at == 0 && (bytes[0] >> 5) != 0) return false;  // no header block: not DV
        const std::size_t available =
            static_cast<std::size_t>(std::min<std::int64_t>(size, length - at));
        bytes.resize(available);
        if (!file.Read(at, static_cast<std::uint32_t>(available), bytes.data())) break;
        frame(bytes);
        at += static_cast<std::int64_t>(size);
        bytes.resize(dv::kFrameSize625);
    }
    return true;
}

// The report's path: beside the file, but never over an existing report (that of the capture
// itself knows what the link lost, which no later analysis can tell).
std::string ReportPath(const AnalyseOptions& options) {
    if (!options.output.empty()) return options.output;
    std::string path = tovik::DvLogPathFor(options.file);
    for (int n = 2; std::filesystem::exists(path); ++n)
        path = options.file + ".dvlog." + std::to_string(n) + ".jsonl";
    return path;
}

}  // namespace

int Analyse(const AnalyseOptions& options) {
    File file(options.file);
    if (!file.Valid()) {
        std::fprintf(stderr, "velmora-capture: cannot open %s\n", options.file.c_str());
        return 1;
    }
    const std::string report = ReportPath(options);
    tovik::DvLogWriter writer;
    if (!writer.StartAt(report, options.file, {options.file, "analyse"})) {
        std::fprintf(stderr, "velmora-capture: cannot write %s\n", report.c_str());
        return 1;
    }
    const bool read = ForEachFrame(file, [&](const std::vector<std::uint8_t>& frame) {
        writer.AddAnalysis(dv::AnalyseFrame(frame.data(), frame.size()), {});
    });
    writer.Finish();
    if (!read) {
        std::filesystem::remove(report);
        std::fprintf(stderr, "velmora-capture: %s is neither a DV AVI file nor raw DV\n",
                     options.file.c_str());
        return 1;
    }
    std::printf("velmora-capture: %lld frames of %s reported in %s\n",
                static_cast<long long>(writer.Frames()), options.file.c_str(), report.c_str());
    return 0;
}

}  // namespace velmora_capture
