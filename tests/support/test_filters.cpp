#include "tests/support/test_filters.h"

#include <cstring>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"

namespace velmora::test {

void RegisterTestFilters() {
    static const bool registered = [] {
        platform::RegisterBuiltinClass(CLSID_TestFrameSource, &TestFrameSource::CreateInstance);
        platform::RegisterBuiltinClass(CLSID_TestSink, &TestSink::CreateInstance);
        platform::RegisterBuiltinClass(CLSID_TestTransform, &TestTransform::CreateInstance);
        platform::RegisterBuiltinClass(CLSID_TestTwoInputs, &TestTwoInputs::CreateInstance);
        platform::RegisterBuiltinClass(CLSID_TestInPlace, &TestInPlace::CreateInstance);
        return true;
    }();
    (void)registered;
}

namespace {
void SetTestType(CMediaType* type) {
    *type = CMediaType(&MEDIATYPE_Video);
    type->SetSubtype(&MEDIASUBTYPE_TestFrames);
    type->SetFormatType(&FORMAT_None);
    type->SetSampleSize(4);
}
}  // namespace

// ---- source ----

TestFrameStream::TestFrameStream(TestFrameSource* filter, HRESULT* result, int frames)
    : CSourceSeekingStream("test frames", result, filter, u"Output"), frames_(frames) {}

void TestFrameStream::SetFrameCount(int frames) {
    CAutoLock lock(&m_SeekLock);
    frames_ = frames;
}

HRESULT TestFrameStream::GetMediaType(CMediaType* type) {
    SetTestType(type);
    return S_OK;
}

HRESULT TestFrameStream::DecideBufferSize(IMemAllocator* allocator,
                                          ALLOCATOR_PROPERTIES* request) {
    request->cBuffers = std::max<LONG>(2, request->cBuffers);
    request->cbBuffer = std::max<LONG>(16, request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(request, &actual);
}

void TestFrameStream::OnSeek() {
    CAutoLock lock(&m_SeekLock);
    next_ = m_rtStart / kTestFrameDuration;
    delivered_ = 0;
}

HRESULT TestFrameStream::OnThreadStartPlay() {
    OnSeek();
    return CSourceSeekingStream::OnThreadStartPlay();
}

HRESULT TestFrameStream::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_SeekLock);
    std::int64_t stop = CurrentStop() / kTestFrameDuration;
    bool backwards = m_dRateSeeking < 0;
    // The first frame always; then forwards up to the stop (exclusive), backwards down to 0.
    if (delivered_ > 0) {
        if (backwards ? next_ < 0 : (next_ >= stop || next_ >= frames_)) return S_FALSE;
    } else if (next_ >= frames_) {
        return S_FALSE;
    }
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    auto number = static_cast<std::uint32_t>(next_);
    std::memcpy(data, &number, 4);
    sample->SetActualDataLength(4);
    double speed = backwards ? -m_dRateSeeking : m_dRateSeeking;
    REFERENCE_TIME start = static_cast<REFERENCE_TIME>(delivered_ * kTestFrameDuration / speed);
    REFERENCE_TIME end = static_cast<REFERENCE_TIME>((delivered_ + 1) * kTestFrameDuration / speed);
    sample->SetTime(&start, &end);
    sample->SetSyncPoint(TRUE);
    SetCurrentPosition(next_ * kTestFrameDuration);
    next_ += backwards ? -1 : 1;
    ++delivered_;
    return S_OK;
}

TestFrameSource::TestFrameSource(IUnknown* outer, int frames)
    : CSource("test frame source", outer, CLSID_TestFrameSource) {
    HRESULT hr = S_OK;
    stream_ = new TestFrameStream(this, &hr, frames);  // owned by the filter (AddPin)
}

HRESULT TestFrameSource::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    return CreateTestObject(new TestFrameSource(outer), iid, object);
}

// ---- sink ----

TestSink::TestSink(IUnknown* outer) : CBaseRenderer(CLSID_TestSink, "test sink", outer, nullptr) {}

HRESULT TestSink::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    return CreateTestObject(new TestSink(outer), iid, object);
}

HRESULT TestSink::DoRenderSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::uint32_t number = 0;
    if (sample->GetActualDataLength() >= 4) std::memcpy(&number, data, 4);
    std::lock_guard lock(lock_);
    frames_.push_back(number);
    return S_OK;
}

std::vector<std::uint32_t> TestSink::Frames() {
    std::lock_guard lock(lock_);
    return frames_;
}

void TestSink::Clear() {
    std::lock_guard lock(lock_);
    frames_.clear();
}

// ---- collector ----

TestFrameCollector::TestFrameCollector(IUnknown* outer)
    : CBaseRenderer(GUID_NULL, "test collector", outer, nullptr) {}

HRESULT TestFrameCollector::DoRenderSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::lock_guard lock(lock_);
    frames_.emplace_back(data, data + sample->GetActualDataLength());
    return S_OK;
}

std::vector<std::vector<std::uint8_t>> TestFrameCollector::Frames() {
    std::lock_guard lock(lock_);
    return frames_;
}

std::vector<std::vector<std::uint8_t>> ReadAviStream(const std::string& path) {
    using platform::ComPtr;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> reader, splitter;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGraphBuilder, graph.PutVoid())) ||
        FAILED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IBaseFilter, reader.PutVoid())) ||
        FAILED(CoCreateInstance(CLSID_AviSplitter, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IBaseFilter, splitter.PutVoid())))
        return {};
    auto* collector = new TestFrameCollector;
    ComPtr<IBaseFilter> sink(collector);
    graph->AddFilter(reader.Get(), u"Reader");
    graph->AddFilter(splitter.Get(), u"Splitter");
    graph->AddFilter(sink.Get(), u"Collector");
    std::u16string wide(path.begin(), path.end());
    if (FAILED(reader.As<IFileSourceFilter>()->Load(wide.c_str(), nullptr))) return {};
    ComPtr<IPin> out, in, stream, collect;
    reader->FindPin(u"Output", out.Put());
    splitter->FindPin(u"input pin", in.Put());
    if (!out || !in || FAILED(graph->ConnectDirect(out.Get(), in.Get(), nullptr))) return {};
    splitter->FindPin(u"Stream 00", stream.Put());
    sink->FindPin(u"In", collect.Put());
    if (!stream || FAILED(graph->ConnectDirect(stream.Get(), collect.Get(), nullptr))) return {};
    // Present every frame at once: no clock.
    for (auto* f : {reader.Get(), splitter.Get(), sink.Get()}) f->SetSyncSource(nullptr);
    graph.As<IMediaControl>()->Run();
    LONG code = 0;
    graph.As<IMediaEvent>()->WaitForCompletion(60000, &code);
    graph.As<IMediaControl>()->Stop();
    return collector->Frames();
}

// ---- transforms ----

TestTransform::TestTransform(IUnknown* outer)
    : CTransformFilter("test transform", outer, CLSID_TestTransform) {}

HRESULT TestTransform::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    return CreateTestObject(new TestTransform(outer), iid, object);
}

HRESULT TestTransform::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE *from = nullptr, *to = nullptr;
    in->GetPointer(&from);
    out->GetPointer(&to);
    LONG length = std::min(in->GetActualDataLength(), out->GetSize());
    std::memcpy(to, from, length);
    return out->SetActualDataLength(length);
}

HRESULT TestTransform::CheckInputType(const CMediaType* type) {
    return *type->Subtype() == MEDIASUBTYPE_TestFrames ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TestTransform::CheckTransform(const CMediaType* in, const CMediaType* out) {
    return *in == *out ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TestTransform::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    request->cBuffers = std::max<LONG>(1, request->cBuffers);
    request->cbBuffer = std::max<LONG>(16, request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(request, &actual);
}

HRESULT TestTransform::GetMediaType(int position, CMediaType* type) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    SetTestType(type);
    return S_OK;
}

TestInPlace::TestInPlace(IUnknown* outer)
    : CTransInPlaceFilter("test in place", outer, CLSID_TestInPlace) {}

HRESULT TestInPlace::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    return CreateTestObject(new TestInPlace(outer), iid, object);
}

HRESULT TestInPlace::Transform(IMediaSample*) {
    ++passed;
    return S_OK;
}

// ---- two inputs ----

TestTwoInputs::Pin::Pin(TestTwoInputs* filter, LPCWSTR name)
    : CBaseInputPin("test input", filter, &filter->lock_, nullptr, name) {}

TestTwoInputs::TestTwoInputs(IUnknown* outer)
    : CBaseFilter("two inputs", outer, &lock_, CLSID_TestTwoInputs),
      first_(std::make_unique<Pin>(this, u"Input 01")),
      second_(std::make_unique<Pin>(this, u"Input")) {}

HRESULT TestTwoInputs::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    return CreateTestObject(new TestTwoInputs(outer), iid, object);
}

CBasePin* TestTwoInputs::GetPin(int index) {
    return index == 0 ? first_.get() : index == 1 ? second_.get() : nullptr;
}

}  // namespace velmora::test
