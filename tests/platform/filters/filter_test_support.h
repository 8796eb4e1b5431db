#pragma once
// What the filter tests share: a small push source, a graph with helpers, a sample-grabber
// callback that records what passes, and a temporary directory.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/kernel/text.h"
#include "platform/media/base/source.h"

namespace filter_test {

using platform::ComPtr;

// Byte j of sample i.
inline BYTE PatternByte(int sample, int j) {
    return static_cast<BYTE>(sample * 31 + j);
}

struct SourceSpec {
    int count = 1;
    LONG size = 64;
    GUID subtype = MEDIASUBTYPE_RGB24;
    bool timed = true;
    REFERENCE_TIME step = 10 * MILLISECONDS / 10;  // 1 ms apart
    std::vector<LONGLONG> starts;                  // explicit start times, when given
};

inline SourceSpec Samples(int count, LONG size) {
    SourceSpec spec;
    spec.count = count;
    spec.size = size;
    return spec;
}

// Samples of 4 bytes whose start times are the given values.
inline SourceSpec AtTimes(std::vector<LONGLONG> starts) {
    SourceSpec spec;
    spec.size = 4;
    spec.starts = std::move(starts);
    return spec;
}

// Sends `count` samples of `size` bytes with the pattern above, then ends the stream.
class TestStream final : public CSourceStream {
  public:
    TestStream(CSource* filter, HRESULT* hr, SourceSpec spec)
        : CSourceStream("test stream", hr, filter, u"Out"), spec_(std::move(spec)) {}
    using CSourceStream::GetMediaType;

    HRESULT GetMediaType(CMediaType* type) override {
        type->SetType(&MEDIATYPE_Video);
        type->SetSubtype(&spec_.subtype);
        type->SetFormatType(&FORMAT_None);
        type->SetSampleSize(static_cast<ULONG>(spec_.size));
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES wanted{2, spec_.size, 1, 0}, actual{};
        return allocator->SetProperties(&wanted, &actual);
    }
    HRESULT OnThreadCreate() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        int count = spec_.starts.empty() ? spec_.count : static_cast<int>(spec_.starts.size());
        if (next_ >= count) return S_FALSE;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        for (LONG j = 0; j < spec_.size; ++j) data[j] = PatternByte(next_, j);
        sample->SetActualDataLength(spec_.size);
        if (spec_.timed) {
            REFERENCE_TIME start = spec_.starts.empty() ? next_ * spec_.step : spec_.starts[next_];
            REFERENCE_TIME end = start + (spec_.starts.empty() ? spec_.step : spec_.size);
            sample->SetTime(&start, &end);
        }
        sample->SetSyncPoint(TRUE);
        ++next_;
        return S_OK;
    }

  private:
    SourceSpec spec_;
    int next_ = 0;  // on the streaming thread only
};

class TestSource final : public CSource {
  public:
    explicit TestSource(SourceSpec spec) : CSource("test source", nullptr, GUID_NULL) {
        HRESULT hr = S_OK;
        new TestStream(this, &hr, std::move(spec));  // owned by the filter (AddPin)
    }
    static ComPtr<IBaseFilter> Create(SourceSpec spec) {
        return ComPtr<IBaseFilter>(new TestSource(std::move(spec)));
    }
};

inline ComPtr<IPin> Pin(IBaseFilter* filter, const char16_t* name) {
    ComPtr<IPin> pin;
    if (filter) filter->FindPin(name, pin.Put());
    return pin;
}

// A new filter of the class, added to the graph under the name; null when it cannot be made.
inline ComPtr<IBaseFilter> Make(IGraphBuilder* graph, REFCLSID clsid, const char16_t* name) {
    ComPtr<IBaseFilter> filter;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.PutVoid());
    if (filter) graph->AddFilter(filter.Get(), name);
    return filter;
}

inline ComPtr<IBaseFilter> Create(REFCLSID clsid) {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.PutVoid()),
        S_OK);
    return filter;
}

// A filter graph that is stopped when the test leaves.
class Graph {
  public:
    Graph() {
        CoInitialize(nullptr);
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        control = graph.As<IMediaControl>();
        events = graph.As<IMediaEvent>();
    }
    ~Graph() {
        if (control) control->Stop();
    }
    ComPtr<IBaseFilter> Add(ComPtr<IBaseFilter> filter, const char16_t* name) {
        EXPECT_EQ(graph->AddFilter(filter.Get(), name), S_OK);
        return filter;
    }
    HRESULT Connect(IBaseFilter* from, const char16_t* out, IBaseFilter* to, const char16_t* in) {
        ComPtr<IPin> a = Pin(from, out), b = Pin(to, in);
        if (!a || !b) return VFW_E_NOT_FOUND;
        return graph->ConnectDirect(a.Get(), b.Get(), nullptr);
    }
    // Runs and answers the completion code (0 when it did not come within the time).
    LONG RunToCompletion(LONG milliseconds = 10000) {
        EXPECT_TRUE(SUCCEEDED(control->Run()));
        LONG code = 0;
        events->WaitForCompletion(milliseconds, &code);
        return code;
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
};

// Records what a sample grabber sees through its callback.
class Recorder final : public ISampleGrabberCB {
  public:
    static ComPtr<Recorder> Create() { return ComPtr<Recorder>(new Recorder); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid != IID_IUnknown && iid != IID_ISampleGrabberCB) return E_NOINTERFACE;
        *object = static_cast<ISampleGrabberCB*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample* sample) override {
        REFERENCE_TIME start, end;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::lock_guard lock(mutex_);
        timed.push_back(SUCCEEDED(sample->GetTime(&start, &end)));
        samples.emplace_back(data, data + sample->GetActualDataLength());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE* data, LONG length) override {
        std::lock_guard lock(mutex_);
        samples.emplace_back(data, data + length);
        return S_OK;
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return samples.size();
    }

    std::mutex mutex_;
    std::vector<bool> timed;
    std::vector<std::vector<BYTE>> samples;

  private:
    Recorder() = default;
    ~Recorder() = default;
    std::atomic<ULONG> refs_{0};
};

inline std::vector<BYTE> Pattern(int sample, LONG size) {
    std::vector<BYTE> bytes(static_cast<size_t>(size));
    for (LONG j = 0; j < size; ++j) bytes[j] = PatternByte(sample, j);
    return bytes;
}

// A directory of its own under the system's temporary directory, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-filters-XXXXXX");
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::u16string Wide(const std::string& path) {
    return platform::Utf8ToUtf16(path);
}

}  // namespace filter_test
