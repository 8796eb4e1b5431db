#include "cli/merge/pass_merger.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>

#include "cli/merge/dv_pass_reader.h"
#include "cli/merge/frame_merge.h"
#include "platform/dv/dif.h"
#include "platform/dv/dvinfo.h"
#include "platform/dv/frame_analysis.h"
#include "platform/filters/avi_format.h"
#include "platform/filters/file_io.h"
#include "platform/kernel/text.h"

namespace velmora::merge {
namespace avi = platform::avi;
namespace dv = platform::dv;

namespace {

constexpr std::int64_t kNoDate = INT64_MIN;
constexpr int kMaxPasses = 32;

// What places a frame on the tape: its time code and recording date, or for a frame without
// a time code the last frame of the capture that had one and how many frames after it.
struct Moment {
    bool anchored = false;  // some frame with a time code came before (or this is one)
    std::int64_t timecode = 0;
    std::int64_t date = kNoDate;
    std::int64_t after = 0;  // frames since that frame

    bool Same(const Moment& o) const {
        return anchored == o.anchored && timecode == o.timecode && after == o.after &&
               (date == o.date || date == kNoDate || o.date == kNoDate);
    }
    // Where the two cannot be found in each other's window: the order their values give.
    bool Before(const Moment& o) const {
        if (date != kNoDate && o.date != kNoDate && date != o.date) return date < o.date;
        if (timecode != o.timecode) return timecode < o.timecode;
        return after < o.after;
    }
};

struct WindowFrame {
    std::vector<std::uint8_t> bytes;
    dv::FrameAnalysis analysis;
    Moment moment;
};

struct Pass {
    DvPassReader reader;
    std::deque<WindowFrame> window;
    bool ended = false;
    Moment last;  // the moment of the last frame read
    PassTotals totals;
};

void Count(const dv::FrameAnalysis& frame, PassTotals* totals) {
    ++totals->frames;
    if (frame.videoErrorBlocks > 0 || frame.audioErrorBlocks > 0) ++totals->damagedFrames;
    totals->videoErrorBlocks += frame.videoErrorBlocks;
    totals->audioErrorBlocks += frame.audioErrorBlocks;
}

std::string TotalsJson(const PassTotals& t) {
    return "\"frames\":" + std::to_string(t.frames) +
           ",\"damaged_frames\":" + std::to_string(t.damagedFrames) +
           ",\"video_error_blocks\":" + std::to_string(t.videoErrorBlocks) +
           ",\"audio_error_blocks\":" + std::to_string(t.audioErrorBlocks);
}

// The type-1 DV AVI file being written, under a temporary name until it is whole.
class AviOutput {
  public:
    bool Open(const std::string& path, const std::vector<std::uint8_t>& first,
              const dv::FrameAnalysis& analysis, std::string* error) {
        path_ = path;
        fd_ = platform::filters::UniqueFd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd_.Valid()) return Fail(error);
        const bool pal = analysis.system == dv::System::Pal625;
        avi::StreamFormat video{avi::FourCC("iavs"),
                                avi::FourCC("dvsd"),
                                pal ? 1u : 1001u,
                                pal ? 25u : 30000u,
                                0,
                                720,
                                static_cast<std::uint16_t>(pal ? 576 : 480),
                                {}};
        DVINFO info{};
        dv::BuildDvInfo(first.data(), first.size(), &info);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&info);
        video.format.assign(raw, raw + sizeof info);
        writer_ = std::make_unique<avi::Writer>(std::vector<avi::StreamFormat>{std::move(video)},
                                                avi::Writer::kDefaultRiffLimit);
        if (analysis.recorded)
            writer_->SetDateChunk(
                avi::DateChunkText(dv::FormatRecorded(*analysis.recorded).c_str()));
        return Write(writer_->Begin(), error);
    }

    bool Add(const std::vector<std::uint8_t>& frame, std::string* error) {
        std::vector<avi::Patch> before;
        std::int64_t position = 0;
        const auto size = static_cast<std::uint32_t>(frame.size());
        if (FAILED(writer_->Place(0, size, &before, &position))) {
            *error = path_ + ": the file cannot index more frames";
            return false;
        }
        for (const auto& patch : before)
            if (!Write(patch, error)) return false;
        avi::Patch chunk{position, std::vector<std::uint8_t>(8)};
        const std::uint32_t header[2] = {avi::ChunkId(0, "dc"), size};
        std::memcpy(chunk.bytes.data(), header, 8);
        if (!Write(chunk, error)) return false;
        return Write(avi::Patch{position + 8, frame}, error);
    }

    bool Finish(std::string* error) {
        for (const auto& patch : writer_->Finish())
            if (!Write(patch, error)) return false;
        if (::ftruncate(fd_.Get(), writer_->End()) != 0 || ::fsync(fd_.Get()) != 0)
            return Fail(error);
        if (FAILED(fd_.Close())) return Fail(error);
        return true;
    }

  private:
    bool Write(const avi::Patch& patch, std::string* error) {
        const HRESULT hr = platform::filters::WriteAt(fd_.Get(), patch.position, patch.bytes.data(),
                                                      static_cast<LONG>(patch.bytes.size()));
        return SUCCEEDED(hr) || Fail(error);
    }
    bool Fail(std::string* error) {
        *error = path_ + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }

    std::string path_;
    platform::filters::UniqueFd fd_;
    std::unique_ptr<avi::Writer> writer_;
};

class Merger {
  public:
    explicit Merger(const MergeOptions& options) : options_(options) {}

    MergeResult Run() {
        const std::string avi = options_.output + ".part";
        const std::string report = options_.output + ".dvlog.jsonl.part";
        MergeResult result;
        if (!Work(avi, report, &result)) {
            std::remove(avi.c_str());
            std::remove(report.c_str());
            result.ok = false;
            return result;
        }
        if (std::rename(avi.c_str(), options_.output.c_str()) != 0 ||
            std::rename(report.c_str(), (options_.output + ".dvlog.jsonl").c_str()) != 0) {
            result.error = options_.output + ": cannot be written (" + std::strerror(errno) + ")";
            std::remove(avi.c_str());
            std::remove(report.c_str());
            return result;
        }
        result.ok = true;
        return result;
    }

  private:
    bool Work(const std::string& aviPath, const std::string& reportPath, MergeResult* result) {
        passes_.resize(options_.passes.size());
        for (std::size_t p = 0; p < passes_.size(); ++p) {
            if (!passes_[p].reader.Open(options_.passes[p], &result->error)) return false;
            if (!Fill(p, &result->error)) return false;
            if (passes_[p].window.empty()) {
                result->error = options_.passes[p] + ": holds no DV frame";
                return false;
            }
        }
        if (!CheckSameTape(&result->error)) return false;
        report_.open(reportPath, std::ios::binary | std::ios::trunc);
        if (!report_) {
            result->error = options_.output + ".dvlog.jsonl: cannot be written";
            return false;
        }
        WriteHeader();
        const auto& first = passes_[0].window.front();
        if (!output_.Open(aviPath, first.bytes, first.analysis, &result->error)) return false;
        while (true) {
            const int chosen = ChooseNext();
            if (chosen < 0) break;
            if (!Emit(chosen, result)) return false;
            for (std::size_t p = 0; p < passes_.size(); ++p)
                if (!Fill(p, &result->error)) return false;
        }
        if (!output_.Finish(&result->error)) return false;
        for (const auto& pass : passes_) result->passes.push_back(pass.totals);
        WriteSummary(*result);
        report_.flush();
        report_.close();
        if (!report_) {
            result->error = options_.output + ".dvlog.jsonl: cannot be written";
            return false;
        }
        return true;
    }

    bool Fill(std::size_t p, std::string* error) { return Fill(passes_[p], error); }

    // Reads frames of a capture until its window is full or it ends.
    bool Fill(Pass& pass, std::string* error) {
        const std::size_t p = static_cast<std::size_t>(&pass - passes_.data());
        while (!pass.ended && pass.window.size() < static_cast<std::size_t>(options_.window)) {
            WindowFrame frame;
            if (!pass.reader.Next(&frame.bytes, error)) {
                if (!error->empty()) return false;
                pass.ended = true;
                break;
            }
            frame.analysis = dv::AnalyseFrame(frame.bytes.data(), frame.bytes.size());
            if (!frame.analysis.isDv) continue;
            if (!CheckSystem(p, frame.analysis, error)) return false;
            if (frame.analysis.timecode.valid) {
                pass.last = Moment{
                    true, frame.analysis.timecode.count,
                    frame.analysis.recorded ? frame.analysis.recorded->EpochSeconds() : kNoDate, 0};
            } else {
                ++pass.last.after;
            }
            frame.moment = pass.last;
            Count(frame.analysis, &pass.totals);
            pass.window.push_back(std::move(frame));
        }
        return true;
    }

    bool CheckSystem(std::size_t p, const dv::FrameAnalysis& frame, std::string* error) {
        if (!system_) {
            system_ = frame.system;
            return true;
        }
        if (frame.system == *system_) return true;
        *error = options_.passes[p] + ": " + SystemName(frame.system) + " frames, but " +
                 options_.passes[0] + " is " + SystemName(*system_) +
                 "; captures of different systems cannot be merged";
        return false;
    }

    static std::string SystemName(dv::System system) {
        return system == dv::System::Pal625 ? "625-line (PAL)" : "525-line (NTSC)";
    }

    // Every capture must share a moment of the tape with another one in its first window.
    bool CheckSameTape(std::string* error) const {
        for (std::size_t p = 0; p < passes_.size(); ++p) {
            bool shared = false;
            for (std::size_t q = 0; q < passes_.size() && !shared; ++q)
                if (q != p) shared = ShareMoment(passes_[p].window, passes_[q].window);
            if (!shared) {
                *error = options_.passes[p] +
                         ": none of its first frames has the time code and "
                         "recording date of a frame in " +
                         options_.passes[p == 0 ? 1 : 0] +
                         "; these are not captures of the same tape";
                return false;
            }
        }
        return true;
    }

    static bool ShareMoment(const std::deque<WindowFrame>& a, const std::deque<WindowFrame>& b) {
        for (const auto& x : a)
            if (x.analysis.timecode.valid)
                for (const auto& y : b)
                    if (x.moment.Same(y.moment)) return true;
        return false;
    }

    // Where `moment` first is in capture `q`'s window; -1 when it is not there.
    int Find(std::size_t q, const Moment& moment) const {
        const auto& window = passes_[q].window;
        for (std::size_t i = 0; i < window.size(); ++i)
            if (window[i].moment.Same(moment)) return static_cast<int>(i);
        return -1;
    }

    // The capture whose first waiting frame comes first on the tape; -1 when all have ended.
    int ChooseNext() const {
        int firstWaiting = -1;
        for (std::size_t p = 0; p < passes_.size(); ++p) {
            if (passes_[p].window.empty()) continue;
            if (firstWaiting < 0) firstWaiting = static_cast<int>(p);
            if (!Blocked(p)) return static_cast<int>(p);
        }
        return firstWaiting;  // the captures contradict each other: keep going in order
    }

    // Whether another capture holds frames that come before capture p's first waiting frame.
    bool Blocked(std::size_t p) const {
        const Moment& head = passes_[p].window.front().moment;
        for (std::size_t q = 0; q < passes_.size(); ++q) {
            if (q == p || passes_[q].window.empty()) continue;
            const int there = Find(q, head);
            if (there == 0) continue;
            if (there > 0) return true;
            const Moment& other = passes_[q].window.front().moment;
            if (Find(p, other) > 0) continue;  // q's frame comes after ours
            if (other.Before(head)) return true;
        }
        return false;
    }

    bool Emit(int chosen, MergeResult* result) {
        const Moment moment = passes_[chosen].window.front().moment;
        const std::size_t size = passes_[chosen].window.front().bytes.size();
        std::vector<FrameCopy> copies;
        std::vector<int> from;
        for (std::size_t q = 0; q < passes_.size(); ++q) {
            auto& window = passes_[q].window;
            if (window.empty() || !window.front().moment.Same(moment) ||
                window.front().bytes.size() != size)
                continue;
            copies.push_back({window.front().bytes.data(), &window.front().analysis});
            from.push_back(static_cast<int>(q));
        }
        MergedFrame merged = MergeFrame(copies, size);
        const auto analysis = dv::AnalyseFrame(merged.bytes.data(), merged.bytes.size());
        const std::int64_t missing = MissingBefore(analysis);
        if (!output_.Add(merged.bytes, &result->error)) return false;
        Count(analysis, &result->merged);
        result->missingFrames += missing;
        result->repairedBlocks += static_cast<std::int64_t>(merged.repaired.size());
        result->disputedSettled += merged.disputedSettled;
        result->disputedOpen += merged.disputedOpen;
        WriteFrame(analysis, missing, merged, from);
        // Every capture moves past this moment: a frame of another size there, or a frame the
        // capture holds twice in a row, is not written again.
        for (auto& pass : passes_)
            while (!pass.window.empty() && pass.window.front().moment.Same(moment)) {
                pass.window.pop_front();
                if (!Fill(pass, &result->error)) return false;
            }
        previous_ = analysis;
        ++emitted_;
        return true;
    }

    // Frames of the same recording that no capture holds between the last frame written and
    // this one: a forward time code step that the recording time agrees with.
    std::int64_t MissingBefore(const dv::FrameAnalysis& frame) const {
        if (!previous_ || !previous_->timecode.valid || !frame.timecode.valid) return 0;
        const std::int64_t step = frame.timecode.count - previous_->timecode.count;
        if (step <= 1) return 0;
        if (previous_->recorded.has_value() != frame.recorded.has_value()) return 0;
        if (frame.recorded) {
            const int rate = frame.system == dv::System::Pal625 ? 25 : 30;
            const std::int64_t seconds =
                frame.recorded->EpochSeconds() - previous_->recorded->EpochSeconds();
            if (seconds < (step - 1) / rate - 2 || seconds > step / rate + 2) return 0;
        }
        return step - 1;
    }

    void WriteHeader() {
        std::string line = "{\"file\":" + platform::JsonQuote(options_.output) +
                           ",\"device\":\"merge\",\"kind\":\"merge\",\"passes\":[";
        for (std::size_t p = 0; p < options_.passes.size(); ++p)
            line += (p ? "," : "") + platform::JsonQuote(options_.passes[p]);
        report_ << line << "]}\n";
    }

    void WriteFrame(const dv::FrameAnalysis& analysis, std::int64_t missing,
                    const MergedFrame& merged, const std::vector<int>& from) {
        dv::FrameLoss loss;
        loss.bus = missing;
        totals_.Add(analysis, loss);
        std::string line = dv::FrameJson(emitted_, analysis, loss);
        line.pop_back();  // the closing brace
        std::vector<int> passes(from);
        line += ",\"passes\":\"" + FormatRanges(passes) +
                "\",\"base\":" + std::to_string(from[merged.base]);
        if (!merged.repaired.empty()) {
            line += ",\"repaired\":{";
            bool firstPass = true;
            for (std::size_t c = 0; c < from.size(); ++c) {
                std::vector<int> blocks;
                for (const auto& [block, copy] : merged.repaired)
                    if (copy == static_cast<int>(c)) blocks.push_back(block);
                if (blocks.empty()) continue;
                line += (firstPass ? "\"" : ",\"") + std::to_string(from[c]) + "\":\"" +
                        FormatRanges(blocks) + "\"";
                firstPass = false;
            }
            line += "}";
        }
        if (!merged.residual.empty())
            line += ",\"residual\":\"" + FormatRanges(merged.residual) + "\"";
        if (merged.disputedSettled)
            line += ",\"disputed_settled\":" + std::to_string(merged.disputedSettled);
        if (merged.disputedOpen)
            line += ",\"disputed_open\":" + std::to_string(merged.disputedOpen);
        report_ << line << "}\n";
        for (const auto& event : tracker_.Feed(emitted_, analysis, missing)) {
            totals_.AddEvent(event);
            report_ << dv::EventJson(event) << "\n";
        }
    }

    void WriteSummary(const MergeResult& result) {
        std::string line = "{\"merge\":{\"result\":{" + TotalsJson(result.merged) +
                           ",\"missing_frames\":" + std::to_string(result.missingFrames) +
                           ",\"repaired_blocks\":" + std::to_string(result.repairedBlocks) +
                           ",\"disputed_settled\":" + std::to_string(result.disputedSettled) +
                           ",\"disputed_open\":" + std::to_string(result.disputedOpen) +
                           "},\"passes\":[";
        for (std::size_t p = 0; p < result.passes.size(); ++p)
            line += std::string(p ? "," : "") +
                    "{\"file\":" + platform::JsonQuote(options_.passes[p]) + "," +
                    TotalsJson(result.passes[p]) + "}";
        report_ << line << "]}}\n" << totals_.SummaryJson() << "\n";
    }

    const MergeOptions& options_;
    std::vector<Pass> passes_;
    std::optional<dv::System> system_;
    std::ofstream report_;
    AviOutput output_;
    std::optional<dv::FrameAnalysis> previous_;
    std::int64_t emitted_ = 0;
    dv::FrameEventTracker tracker_;
    dv::FrameTotals totals_;
};

}  // namespace

MergeResult MergePasses(const MergeOptions& options) {
    if (options.passes.size() < 2 || options.passes.size() > kMaxPasses || options.window < 1) {
        MergeResult result;
        result.error = "between 2 and 32 captures are needed";
        return result;
    }
    return Merger(options).Run();
}

int RunMergeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() < 3 || args.size() > kMaxPasses + 1) {
        err << "usage: velmora-capture --merge OUT.avi PASS PASS [PASS...]\n"
               "  merges 2 to 32 captures (DV AVI or raw DV) of one tape, block by block\n";
        return 2;
    }
    MergeOptions options;
    options.output = args[0];
    options.passes.assign(args.begin() + 1, args.end());
    for (const auto& pass : options.passes)
        if (pass == options.output) {
            err << options.output << ": the result would overwrite a capture\n";
            return 2;
        }
    const MergeResult result = MergePasses(options);
    if (!result.ok) {
        err << "velmora-capture: " << result.error << "\n";
        return 1;
    }
    out << options.output << ": " << result.merged.frames << " frames, "
        << result.merged.damagedFrames << " still damaged, " << result.missingFrames
        << " missing from every capture\n";
    for (std::size_t p = 0; p < result.passes.size(); ++p)
        out << "  " << options.passes[p] << ": " << result.passes[p].frames << " frames, "
            << result.passes[p].damagedFrames << " damaged\n";
    return 0;
}

}  // namespace velmora::merge
