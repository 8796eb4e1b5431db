#pragma once
// What the AVI tests share: DV frames made by the ffmpeg command line, a source that pushes DV
// frames, a sink that hands every frame to a callback, and graphs that write an AVI file with
// our AVI Mux and read one back with our AVI Splitter.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/filters/avi_mux.h"
#include "platform/media/base/renderer.h"
#include "tests/platform/filters/filter_test_support.h"

namespace avi_test {

using namespace filter_test;

constexpr LONG kDvFrameSize = 120000;
constexpr REFERENCE_TIME kNtscFrame = 333667;

// The standard output of a shell command.
inline std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

inline std::vector<BYTE> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The test picture and a tone for `frames` NTSC frames (or a frame or two more).
inline std::string FfmpegSources(int frames) {
    return "ffmpeg -v error -y -f lavfi -i testsrc=size=720x480:rate=30000/1001 -f lavfi -i "
           "sine=frequency=1000:sample_rate=48000 -t " +
           std::to_string((frames + 0.5) / 29.97) + " -target ntsc-dv ";
}

// NTSC DV frames with 48 kHz audio, as ffmpeg's DV muxer writes them.
inline std::vector<std::vector<BYTE>> MakeDvFrames(const TempDir& dir, int count) {
    std::string path = dir.File("clip.dv");
    std::system((FfmpegSources(count) + "-f dv " + path).c_str());
    std::vector<BYTE> raw = ReadFile(path);
    std::vector<std::vector<BYTE>> frames;
    for (size_t at = 0; at + kDvFrameSize <= raw.size() && int(frames.size()) < count;
         at += kDvFrameSize)
        frames.emplace_back(raw.begin() + at, raw.begin() + at + kDvFrameSize);
    return frames;
}

// Fills frame i of a stream (returns false after the last one).
using FrameFunction = std::function<bool(std::int64_t index, BYTE* frame)>;

class DvStream final : public CSourceStream {
  public:
    DvStream(CSource* filter, HRESULT* hr, FrameFunction frames)
        : CSourceStream("dv stream", hr, filter, u"Out"), frames_(std::move(frames)) {}
    using CSourceStream::GetMediaType;
    HRESULT GetMediaType(CMediaType* type) override {
        *type = CMediaType(&MEDIATYPE_Interleaved);
        type->SetSubtype(&MEDIASUBTYPE_dvsd);
        type->SetFormatType(&FORMAT_DvInfo);
        DVINFO info{};
        type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info);
        type->SetSampleSize(kDvFrameSize);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES wanted{4, kDvFrameSize, 1, 0}, actual{};
        return allocator->SetProperties(&wanted, &actual);
    }
    HRESULT OnThreadCreate() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        if (!frames_(next_, data)) return S_FALSE;
        sample->SetActualDataLength(kDvFrameSize);
        REFERENCE_TIME start = next_ * kNtscFrame, end = start + kNtscFrame;
        sample->SetTime(&start, &end);
        sample->SetSyncPoint(TRUE);
        ++next_;
        return S_OK;
    }

  private:
    FrameFunction frames_;
    std::int64_t next_ = 0;
};

class DvSource final : public CSource {
  public:
    explicit DvSource(FrameFunction frames) : CSource("dv source", nullptr, GUID_NULL) {
        HRESULT hr = S_OK;
        new DvStream(this, &hr, std::move(frames));  // owned by the filter
    }
    static ComPtr<IBaseFilter> Create(FrameFunction frames) {
        return ComPtr<IBaseFilter>(new DvSource(std::move(frames)));
    }
};

inline FrameFunction FramesOf(const std::vector<std::vector<BYTE>>& frames) {
    return [&frames](std::int64_t i, BYTE* out) {
        if (i >= std::int64_t(frames.size())) return false;
        std::memcpy(out, frames[size_t(i)].data(), frames[size_t(i)].size());
        return true;
    };
}

// A renderer that hands each sample to a callback: with the graph's clock, in time; after
// Unclocked(), at once.
class FrameSink final : public CBaseRenderer {
  public:
    using Callback = std::function<void(IMediaSample*)>;
    FrameSink(const char16_t* pin, Callback callback)
        : CBaseRenderer(GUID_NULL, "frame sink", nullptr, nullptr, pin),
          callback_(std::move(callback)) {}
    static ComPtr<IBaseFilter> Create(Callback callback, const char16_t* pin = u"In") {
        return ComPtr<IBaseFilter>(new FrameSink(pin, std::move(callback)));
    }
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        callback_(sample);
        return S_OK;
    }

  private:
    Callback callback_;
};

// Collects whole samples with their times.
struct Collected {
    std::mutex mutex;
    std::vector<std::vector<BYTE>> frames;
    std::vector<REFERENCE_TIME> starts;
    FrameSink::Callback Callback() {
        return [this](IMediaSample* sample) {
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            REFERENCE_TIME start = -1, end = -1;
            sample->GetTime(&start, &end);
            std::lock_guard lock(mutex);
            frames.emplace_back(data, data + sample->GetActualDataLength());
            starts.push_back(start);
        };
    }
};

// Source -> AVI Mux -> File Writer.
struct WriteGraph {
    Graph g;
    ComPtr<IBaseFilter> source, mux, writer;
    WriteGraph(FrameFunction frames, const std::string& path, ULONGLONG riffLimit = 0) {
        source = g.Add(DvSource::Create(std::move(frames)), u"DV Source");
        mux = g.Add(Create(CLSID_AviDest), u"AVI Mux");
        writer = g.Add(Create(CLSID_FileWriter), u"File Writer");
        if (riffLimit) mux.As<IVelmoraAviMuxSettings>()->SetRiffLimit(riffLimit);
        auto sink = writer.As<IFileSinkFilter2>();
        EXPECT_EQ(sink->SetFileName(Wide(path).c_str(), nullptr), S_OK);
        sink->SetMode(AM_FILE_OVERWRITE);
        EXPECT_EQ(g.Connect(source.Get(), u"Out", mux.Get(), u"Input 01"), S_OK);
        EXPECT_EQ(g.Connect(mux.Get(), u"AVI Out", writer.Get(), u"in"), S_OK);
    }
};

inline void WriteAvi(FrameFunction frames, const std::string& path, ULONGLONG riffLimit = 0,
                     LONG timeout = 60000) {
    WriteGraph w(std::move(frames), path, riffLimit);
    EXPECT_EQ(w.g.RunToCompletion(timeout), EC_COMPLETE);
    EXPECT_EQ(w.g.control->Stop(), S_OK);
}

// Async Reader -> AVI Splitter, and a sink on "Stream 00" when the file is accepted.
struct ReadGraph {
    Graph g;
    ComPtr<IBaseFilter> reader, splitter, sink;
    HRESULT connected = E_FAIL;
    ReadGraph(const std::string& path, FrameSink::Callback callback, bool clocked = false) {
        reader = g.Add(Create(CLSID_AsyncReader), u"Async Reader (File)");
        splitter = g.Add(Create(CLSID_AviSplitter), u"AVI Splitter");
        reader.As<IFileSourceFilter>()->Load(Wide(path).c_str(), nullptr);
        connected = g.Connect(reader.Get(), u"Output", splitter.Get(), u"input pin");
        if (FAILED(connected)) return;
        sink = g.Add(FrameSink::Create(std::move(callback)), u"Sink");
        if (!clocked) sink->SetSyncSource(nullptr);
        connected = g.Connect(splitter.Get(), u"Stream 00", sink.Get(), u"In");
    }
    ComPtr<IMediaSeeking> Seeking() {
        return Pin(splitter.Get(), u"Stream 00").As<IMediaSeeking>();
    }
};

// Tests over the 60 frames of one DV clip made by ffmpeg once for the suite.
class DvClipTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        clipDir_ = new TempDir;
        frames_ = MakeDvFrames(*clipDir_, 60);
    }
    static void TearDownTestSuite() {
        delete clipDir_;
        clipDir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(frames_.size(), 60u) << "ffmpeg made no DV clip"; }

    static inline TempDir* clipDir_ = nullptr;
    static inline std::vector<std::vector<BYTE>> frames_;
};

}  // namespace avi_test
