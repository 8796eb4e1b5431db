#pragma once
// Small filters on the runtime's base classes, for tests and benchmarks: a seekable source of
// numbered frames, a pass-through transform, an in-place counter, a sink that records what it
// presents, and a filter with two similarly named input pins.

#include <mutex>
#include <vector>

#include "platform/media/base/renderer.h"
#include "platform/media/base/source.h"
#include "platform/media/base/transform.h"

namespace velmora::test {

// {A1D0F001-5E1B-4C59-9C1E-7E57F11E0001} and following.
inline constexpr CLSID CLSID_TestFrameSource = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x01}};
inline constexpr CLSID CLSID_TestSink = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x02}};
inline constexpr CLSID CLSID_TestTransform = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x03}};
inline constexpr CLSID CLSID_TestTwoInputs = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x04}};
inline constexpr CLSID CLSID_TestInPlace = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x05}};
inline constexpr GUID MEDIASUBTYPE_TestFrames = {0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x00, 0x10}};

inline constexpr REFERENCE_TIME kTestFrameDuration = 333667;

// Adds the test classes to the built-in class table (once).
void RegisterTestFilters();

class TestFrameSource;

// Delivers frames numbered from the start position; each sample holds its number (32 bits).
class TestFrameStream final : public CSourceSeekingStream {
public:
    TestFrameStream(TestFrameSource* filter, HRESULT* result, int frames);
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT GetMediaType(CMediaType* type) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    void SetFrameCount(int frames);

protected:
    REFERENCE_TIME Duration() override { return frames_ * kTestFrameDuration; }
    REFERENCE_TIME FrameDuration() override { return kTestFrameDuration; }
    bool CanPlayBackwards() override { return true; }
    void OnSeek() override;
    HRESULT OnThreadStartPlay() override;

private:
    int frames_;
    std::int64_t next_ = 0;        // frame to deliver next
    std::int64_t delivered_ = 0;   // frames delivered in this segment
};

class TestFrameSource final : public CSource {
public:
    explicit TestFrameSource(IUnknown* outer, int frames = 300);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    TestFrameStream* Stream() { return stream_; }

private:
    TestFrameStream* stream_;
};

// Records the frame numbers it presents.
class TestSink final : public CBaseRenderer {
public:
    explicit TestSink(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample* sample) override;
    std::vector<std::uint32_t> Frames();
    void Clear();

private:
    std::mutex lock_;
    std::vector<std::uint32_t> frames_;
};

// Keeps a copy of every sample it presents.
class TestFrameCollector final : public CBaseRenderer {
public:
    explicit TestFrameCollector(IUnknown* outer = nullptr);
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample* sample) override;
    std::vector<std::vector<std::uint8_t>> Frames();

private:
    std::mutex lock_;
    std::vector<std::vector<std::uint8_t>> frames_;
};

// Every sample of an AVI file's first stream, read through the Async Reader and AVI Splitter
// (the caller has initialised COM); empty when the file cannot be read.
std::vector<std::vector<std::uint8_t>> ReadAviStream(const std::string& path);

// Copies each frame into a buffer of its own.
class TestTransform final : public CTransformFilter {
public:
    explicit TestTransform(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
    HRESULT CheckInputType(const CMediaType* type) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
};

// Counts the samples that pass.
class TestInPlace final : public CTransInPlaceFilter {
public:
    explicit TestInPlace(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    HRESULT Transform(IMediaSample* sample) override;
    HRESULT CheckInputType(const CMediaType*) override { return S_OK; }
    std::atomic<int> passed{0};
};

// Two input pins, "Input" and "Input 01", that take anything and keep nothing.
class TestTwoInputs final : public CBaseFilter {
public:
    explicit TestTwoInputs(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int index) override;

private:
    class Pin final : public CBaseInputPin {
    public:
        Pin(TestTwoInputs* filter, LPCWSTR name);
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    };
    CCritSec lock_;
    std::unique_ptr<Pin> first_, second_;
};

// Creates an object of class T and answers the interface asked for.
template <typename T>
HRESULT CreateTestObject(T* object, REFIID iid, void** out) {
    object->NonDelegatingAddRef();
    HRESULT hr = object->NonDelegatingQueryInterface(iid, out);
    object->NonDelegatingRelease();
    return hr;
}

}  // namespace velmora::test
