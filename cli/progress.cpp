#include "cli/progress.h"

#include <cinttypes>

#include "platform/kernel/text.h"

namespace capture {

namespace {

std::string JsonOrNull(const std::string& text) {
    return text.empty() ? "null" : platform::JsonQuote(text);
}

}  // namespace

std::string ProgressLine(const CaptureFigures& f) {
    std::string recorded = f.recorded.empty() ? "----------  --:--:--" : f.recorded;
    if (recorded.size() > 10 && recorded[10] == 'T') recorded[10] = ' ';
    char line[512];
    std::snprintf(
        line, sizeof line,
        "TC %s  %s  %" PRId64 " frames  %" PRId64 " dropped  %" PRId64 " damaged  %.1f MB  %s",
        f.timecode.empty() ? "--:--:--:--" : f.timecode.c_str(), recorded.c_str(), f.frames,
        f.dropped, f.damaged, double(f.bytes) / 1e6, f.file.empty() ? "-" : f.file.c_str());
    return line;
}

ProgressReporter::ProgressReporter(std::FILE* out, bool terminal)
    : out_(out), terminal_(terminal) {}

void ProgressReporter::Update(const CaptureFigures& figures) {
    const auto now = std::chrono::steady_clock::now();
    if (terminal_) {
        std::fprintf(out_, "\r%s\033[K", ProgressLine(figures).c_str());
        lineOpen_ = true;
    } else if (now >= nextPlain_ || figures.file != lastFile_) {
        std::fprintf(out_, "%s\n", ProgressLine(figures).c_str());
        nextPlain_ = now + std::chrono::seconds(5);
    }
    lastFile_ = figures.file;
    std::fflush(out_);
}

void ProgressReporter::Close() {
    if (lineOpen_) std::fputc('\n', out_);
    lineOpen_ = false;
    std::fflush(out_);
}

std::string SummaryText(const CaptureResult& r) {
    std::string out;
    char line[1024];
    for (const CapturedFile& file : r.files) {
        std::snprintf(line, sizeof line, "%s  %" PRId64 " frames  %s - %s  recorded %s\n",
                      file.path.c_str(), file.frames,
                      file.firstTimecode.empty() ? "--" : file.firstTimecode.c_str(),
                      file.lastTimecode.empty() ? "--" : file.lastTimecode.c_str(),
                      file.recorded.empty() ? "unknown" : file.recorded.c_str());
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "%zu file%s, %" PRId64 " frames, %" PRId64 " dropped, %" PRId64
                  " damaged, %.1f MB in %.0f s; ended: %s\n",
                  r.files.size(), r.files.size() == 1 ? "" : "s", r.figures.frames,
                  r.figures.dropped, r.figures.damaged, double(r.figures.bytes) / 1e6, r.seconds,
                  EndReasonName(r.reason));
    out += line;
    return out;
}

std::string SummaryJson(const CaptureResult& r) {
    std::string out = "{\"files\":[";
    for (std::size_t i = 0; i < r.files.size(); ++i) {
        const CapturedFile& f = r.files[i];
        if (i) out += ",";
        out += "{\"path\":" + platform::JsonQuote(f.path) +
               ",\"frames\":" + std::to_string(f.frames) +
               ",\"first_timecode\":" + JsonOrNull(f.firstTimecode) +
               ",\"last_timecode\":" + JsonOrNull(f.lastTimecode) +
               ",\"recorded\":" + JsonOrNull(f.recorded) +
               ",\"began_at\":" + platform::JsonQuote(f.reason) + "}";
    }
    out += "],\"frames\":" + std::to_string(r.figures.frames) +
           ",\"dropped\":" + std::to_string(r.figures.dropped) +
           ",\"damaged\":" + std::to_string(r.figures.damaged) +
           ",\"bytes\":" + std::to_string(r.figures.bytes) +
           ",\"ended\":" + platform::JsonQuote(EndReasonName(r.reason)) +
           ",\"exit_code\":" + std::to_string(r.exitCode);
    if (!r.message.empty()) out += ",\"error\":" + platform::JsonQuote(r.message);
    return out + "}\n";
}

}  // namespace capture
