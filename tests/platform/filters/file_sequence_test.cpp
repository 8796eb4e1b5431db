// A recording split into a sequence of files while the graph runs: the AVI Mux asks a splitter
// about every frame and the File Writer goes over to the next file between two frames. The
// files are AVI files, or raw DV files split the same way.

#include <map>
#include <set>
#include <thread>

#include "platform/filters/avi_format.h"
#include "platform/filters/file_output.h"
#include "platform/filters/file_sequence.h"
#include "tests/platform/filters/avi_test_support.h"

namespace {

using namespace avi_test;
using namespace std::chrono_literals;

// Begins a new file at the frames given, named part0.avi, part1.avi, ... (or with the extension
// given) in `dir`, the first with the recording date given.
class IndexSplitter final : public IVelmoraFrameSplitter {
  public:
    IndexSplitter(const TempDir& dir, std::set<std::int64_t> at, std::string firstDate = {},
                  std::string extension = ".avi")
        : dir_(dir),
          at_(std::move(at)),
          firstDate_(std::move(firstDate)),
          extension_(std::move(extension)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid != IID_IUnknown && iid != IID_IVelmoraFrameSplitter) return E_NOINTERFACE;
        *object = static_cast<IVelmoraFrameSplitter*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the stack

    HRESULT STDMETHODCALLTYPE FrameArrived(const BYTE*, LONG) override {
        ++arrived_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE NextFrame(VelmoraNextFile* next) override {
        std::lock_guard lock(mutex_);
        seenAhead.push_back(arrived_ - decided_ - 1);
        if (at_.count(decided_)) {
            std::string path = Path(files.size());
            files.push_back(path);
            next->path = platform::CoTaskMemString(Wide(path));
            if (files.size() == 1)
                std::snprintf(next->recorded, sizeof next->recorded, "%s", firstDate_.c_str());
        }
        if (!files.empty()) ++framesIn[files.back()];
        ++decided_;
        return S_OK;
    }

    std::string Path(std::size_t n) const {
        return dir_.File(("part" + std::to_string(n) + extension_).c_str());
    }
    std::int64_t Arrived() const { return arrived_; }

    std::mutex mutex_;
    std::vector<std::string> files;
    std::map<std::string, std::int64_t> framesIn;
    std::vector<std::int64_t> seenAhead;  // frames seen past each frame when it was decided

  private:
    const TempDir& dir_;
    std::set<std::int64_t> at_;
    std::string firstDate_;
    std::string extension_;
    std::atomic<std::int64_t> arrived_{0};
    std::int64_t decided_ = 0;
    std::atomic<ULONG> refs_{1};
};

class FileSequenceTest : public DvClipTest {
  protected:
    // The frames of a file: read by our AVI Splitter, or cut from a raw DV file.
    static std::vector<std::vector<BYTE>> ReadBack(const std::string& path) {
        if (path.ends_with(".dv")) {
            const std::vector<BYTE> bytes = ReadFile(path);
            EXPECT_EQ(bytes.size() % kDvFrameSize, 0u) << path;
            std::vector<std::vector<BYTE>> frames;
            for (std::size_t at = 0; at + kDvFrameSize <= bytes.size(); at += kDvFrameSize)
                frames.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                                    bytes.begin() + std::ptrdiff_t(at + kDvFrameSize));
            return frames;
        }
        Collected got;
        ReadGraph r(path, got.Callback());
        EXPECT_EQ(r.connected, S_OK) << path;
        EXPECT_EQ(r.g.RunToCompletion(60000), EC_COMPLETE) << path;
        r.g.control->Stop();
        return std::move(got.frames);
    }
    static std::string Probe(const std::string& path, const std::string& entries) {
        return Capture("ffprobe -v error -count_frames -select_streams v:0 -show_entries " +
                       entries + " -of default=nw=1 '" + path + "'");
    }
    // Frame i of an endless stream: the clip over and over.
    static FrameFunction Endless() {
        return [](std::int64_t i, BYTE* out) {
            const auto& frame = frames_[std::size_t(i % 60)];
            std::memcpy(out, frame.data(), frame.size());
            return true;
        };
    }
    void ExpectFramesInOrder(const std::vector<std::string>& files, std::int64_t count) {
        std::int64_t next = 0;
        for (const auto& file : files) {
            for (const auto& frame : ReadBack(file)) {
                ASSERT_EQ(frame, frames_[std::size_t(next % 60)]) << file << " frame " << next;
                ++next;
            }
        }
        EXPECT_EQ(next, count);
    }

    TempDir dir_;
};

TEST_F(FileSequenceTest, SplitsFallOnTheFramesAskedWithEveryFrameInExactlyOneFile) {
    IndexSplitter splitter(dir_, {0, 20, 21, 59}, "2003-03-10T15:04:43");
    const std::string placeholder = dir_.File("placeholder.avi");
    // A small RIFF limit, so that the files are OpenDML files of several RIFFs.
    WriteGraph w(FramesOf(frames_), placeholder, 300000);
    ASSERT_EQ(w.mux.As<IVelmoraFileSequence>()->SetSplitter(&splitter, 2), S_OK);
    EXPECT_EQ(w.g.RunToCompletion(60000), EC_COMPLETE);
    EXPECT_EQ(w.g.control->Stop(), S_OK);

    // The file named before the first frame was never written, and is gone.
    EXPECT_FALSE(std::filesystem::exists(placeholder));
    ASSERT_EQ(splitter.files.size(), 4u);
    EXPECT_EQ(splitter.framesIn[splitter.Path(0)], 20);
    EXPECT_EQ(splitter.framesIn[splitter.Path(1)], 1);
    EXPECT_EQ(splitter.framesIn[splitter.Path(2)], 38);
    EXPECT_EQ(splitter.framesIn[splitter.Path(3)], 1);
    ExpectFramesInOrder(splitter.files, 60);
    const std::int64_t counts[] = {20, 1, 38, 1};
    for (std::size_t n = 0; n < 4; ++n) {
        std::string probed = Probe(splitter.Path(n), "stream=codec_name,nb_read_frames");
        EXPECT_NE(probed.find("codec_name=dvvideo"), std::string::npos) << probed;
        EXPECT_NE(probed.find("nb_read_frames=" + std::to_string(counts[n])), std::string::npos)
            << n << ": " << probed;
    }
    // Every frame was decided with two frames seen past it, but for the last two.
    for (std::size_t i = 0; i < splitter.seenAhead.size(); ++i)
        EXPECT_EQ(splitter.seenAhead[i], std::min<std::int64_t>(2, 59 - std::int64_t(i))) << i;
    // The first file carries its recording date for other programs; the others have none.
    std::string date = Capture(
        "ffprobe -v error -show_entries format_tags=creation_time "
        "-of default=nw=1 '" +
        splitter.Path(0) + "'");
    EXPECT_NE(date.find("2003-03-10"), std::string::npos) << date;
    EXPECT_NE(date.find("15:04:43"), std::string::npos) << date;
    date = Capture("ffprobe -v error -show_entries format_tags=creation_time -of default=nw=1 '" +
                   splitter.Path(1) + "'");
    EXPECT_EQ(date.find("creation_time"), std::string::npos) << date;
}

TEST_F(FileSequenceTest, RawDvFilesAreTheFramesBackToBackSplitAtTheSameFrames) {
    IndexSplitter splitter(dir_, {0, 20, 21, 59}, "2003-03-10T15:04:43", ".dv");
    const std::string placeholder = dir_.File("placeholder.dv");
    WriteGraph w(FramesOf(frames_), placeholder);
    auto settings = w.mux.As<IVelmoraAviMuxSettings>();
    ASSERT_EQ(settings->SetFileFormat(VELMORA_MUX_RAW_DV), S_OK);
    EXPECT_EQ(settings->SetFileFormat(VelmoraMuxFileFormat(7)), E_INVALIDARG);
    ASSERT_EQ(w.mux.As<IVelmoraFileSequence>()->SetSplitter(&splitter, 2), S_OK);
    ASSERT_TRUE(SUCCEEDED(w.g.control->Run()));
    // The format is that of the whole run.
    EXPECT_EQ(settings->SetFileFormat(VELMORA_MUX_AVI), VFW_E_NOT_STOPPED);
    LONG code = 0;
    EXPECT_EQ(w.g.events->WaitForCompletion(60000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(w.g.control->Stop(), S_OK);

    EXPECT_FALSE(std::filesystem::exists(placeholder));
    ASSERT_EQ(splitter.files.size(), 4u);
    const std::int64_t counts[] = {20, 1, 38, 1};
    std::size_t first = 0;
    for (std::size_t n = 0; n < 4; ++n) {
        // Nothing but the frames, bit for bit: no header, index or date.
        std::vector<BYTE> expected;
        for (std::int64_t i = 0; i < counts[n]; ++i, ++first)
            expected.insert(expected.end(), frames_[first].begin(), frames_[first].end());
        EXPECT_TRUE(ReadFile(splitter.Path(n)) == expected) << splitter.Path(n);
        std::string probed = Probe(splitter.Path(n), "stream=codec_name,nb_read_frames");
        EXPECT_NE(probed.find("codec_name=dvvideo"), std::string::npos) << probed;
        EXPECT_NE(probed.find("nb_read_frames=" + std::to_string(counts[n])), std::string::npos)
            << n << ": " << probed;
    }
    // Set back for the next run.
    VelmoraMuxFileFormat format = VELMORA_MUX_RAW_DV;
    ASSERT_EQ(settings->SetFileFormat(VELMORA_MUX_AVI), S_OK);
    ASSERT_EQ(settings->GetFileFormat(&format), S_OK);
    EXPECT_EQ(format, VELMORA_MUX_AVI);
}

TEST_F(FileSequenceTest, EveryFrameThatArrivedIsWrittenWhenALiveRunStops) {
    for (auto [writeHeldFirst, format] : {std::pair{false, VELMORA_MUX_AVI},
                                          {true, VELMORA_MUX_AVI},
                                          {false, VELMORA_MUX_RAW_DV},
                                          {true, VELMORA_MUX_RAW_DV}}) {
        SCOPED_TRACE(writeHeldFirst ? "held frames written before stopping" : "stopped at once");
        SCOPED_TRACE(format == VELMORA_MUX_AVI ? "AVI" : "raw DV");
        TempDir dir;
        std::set<std::int64_t> at;
        for (std::int64_t i = 0; i < 100000; i += 25) at.insert(i);
        IndexSplitter splitter(dir, at, {}, format == VELMORA_MUX_AVI ? ".avi" : ".dv");
        WriteGraph w(Endless(), dir.File("placeholder"));
        ASSERT_EQ(w.mux.As<IVelmoraAviMuxSettings>()->SetFileFormat(format), S_OK);
        auto sequence = w.mux.As<IVelmoraFileSequence>();
        ASSERT_EQ(sequence->SetSplitter(&splitter, 3), S_OK);
        ASSERT_TRUE(SUCCEEDED(w.g.control->Run()));
        for (int tries = 0; tries < 6000 && splitter.Arrived() < 70; ++tries)
            std::this_thread::sleep_for(5ms);
        if (writeHeldFirst) {
            EXPECT_EQ(sequence->WriteHeldFrames(), S_OK);
        }
        EXPECT_EQ(w.g.control->Stop(), S_OK);
        const std::int64_t arrived = splitter.Arrived();
        ASSERT_GE(arrived, 70);
        std::int64_t inFiles = 0;
        for (auto& [file, count] : splitter.framesIn) {
            inFiles += count;
            std::string probed = Probe(file, "stream=nb_read_frames");
            EXPECT_NE(probed.find("nb_read_frames=" + std::to_string(count)), std::string::npos)
                << file << ": " << probed;
        }
        EXPECT_EQ(inFiles, arrived);
        ExpectFramesInOrder(splitter.files, arrived);
        // Files begin every 25 frames, also among the frames held when the run stopped.
        ASSERT_EQ(std::int64_t(splitter.files.size()), (arrived + 24) / 25);
        for (std::size_t n = 0; n + 1 < splitter.files.size(); ++n)
            EXPECT_EQ(splitter.framesIn[splitter.files[n]], 25) << n;
    }
}

TEST_F(FileSequenceTest, ANextFileThatCannotBeCreatedFailsTheRecordingAndKeepsTheFileBefore) {
    class BadSecondFile final : public IVelmoraFrameSplitter {
      public:
        explicit BadSecondFile(std::string good) : good_(std::move(good)) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE FrameArrived(const BYTE*, LONG) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE NextFrame(VelmoraNextFile* next) override {
            if (decided_ == 0) next->path = platform::CoTaskMemString(Wide(good_));
            if (decided_ == 10)
                next->path = platform::CoTaskMemString(u"/nonexistent-folder/next.avi");
            ++decided_;
            return S_OK;
        }

      private:
        std::string good_;
        int decided_ = 0;
    };
    for (auto format : {VELMORA_MUX_AVI, VELMORA_MUX_RAW_DV}) {
        SCOPED_TRACE(format == VELMORA_MUX_AVI ? "AVI" : "raw DV");
        const std::string first = dir_.File(format == VELMORA_MUX_AVI ? "first.avi" : "first.dv");
        BadSecondFile splitter(first);
        WriteGraph w(FramesOf(frames_), dir_.File("placeholder"));
        ASSERT_EQ(w.mux.As<IVelmoraAviMuxSettings>()->SetFileFormat(format), S_OK);
        ASSERT_EQ(w.mux.As<IVelmoraFileSequence>()->SetSplitter(&splitter, 1), S_OK);
        ASSERT_TRUE(SUCCEEDED(w.g.control->Run()));
        LONG code = 0;
        w.g.events->WaitForCompletion(20000, &code);
        EXPECT_EQ(code, EC_ERRORABORT);
        EXPECT_EQ(w.g.control->Stop(), S_OK);
        HRESULT failure = S_OK;
        EXPECT_EQ(w.mux.As<IVelmoraWriteStatus>()->GetWriteFailure(&failure), S_OK);
        EXPECT_TRUE(FAILED(failure));
        ExpectFramesInOrder({first}, 10);
    }
}

TEST(DateChunkText, IsTheDateAsOtherProgramsWriteItAndNothingForAnythingElse) {
    auto text = [](const char* recorded) {
        auto bytes = platform::avi::DateChunkText(recorded);
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(text("2026-12-09T06:46:38"), std::string("Wed Dec 09 06:46:38 2026\n", 26));
    EXPECT_EQ(text("1999-12-31T23:59:59"), std::string("Fri Dec 31 23:59:59 1999\n", 26));
    EXPECT_EQ(text("2000-02-29T00:00:00"), std::string("Tue Feb 29 00:00:00 2000\n", 26));
    for (const char* bad : {"", "2026-13-01T00:00:00", "2026-12-09 06:46:38", "2026-12-09T24:00:00",
                            "2026-12-09T06:46:38Z", "yesterday"})
        EXPECT_EQ(text(bad), "") << bad;
    EXPECT_EQ(text(nullptr), "");
}

}  // namespace
