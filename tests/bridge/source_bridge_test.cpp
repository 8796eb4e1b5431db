// The source bridge filter in a real graph: offered type, buffer negotiation, the render
// proc and its context, time stamps, end of stream, restarts, the test picture.

#include <gtest/gtest.h>

#include <atomic>

#include "bridge/source_bridge_filter.h"
#include "platform/com/com.h"
#include "platform/kernel/debug_output.h"
#include "tests/bridge/recording_sink.h"

namespace {

using bridge_test::Arrival;
using bridge_test::RecordingSink;
using platform::ComPtr;
using tovik::bridge::CSourceBridge;
using tovik::bridge::CSourceBridgePin;

constexpr REFERENCE_TIME kFrame = 333667;

// The render proc's script: the sizes it reports, and after how many calls it says "last".
struct Script {
    std::vector<LONG> sizes;
    int lastAt = 0;  // 1-based call that answers 0; 0: never
    std::atomic<int> calls{0};
    std::atomic<LONG> capacity{0};
    void* seenContext = nullptr;
};

LONG ScriptedProc(BYTE* buffer, LONG* size, void* context) {
    auto* script = static_cast<Script*>(context);
    const int call = ++script->calls;
    script->seenContext = context;
    script->capacity = *size;
    const LONG n = script->sizes[std::min<std::size_t>(call - 1, script->sizes.size() - 1)];
    std::fill(buffer, buffer + n, static_cast<BYTE>(call));
    *size = n;
    return call == script->lastAt ? 0 : 1;
}

CMediaType DvType() {
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&MEDIASUBTYPE_dvsd);
    type.SetFormatType(&FORMAT_None);
    type.SetSampleSize(120000);
    return type;
}

class SourceBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        HRESULT hr = E_FAIL;
        filter_ = CSourceBridge::CreateInstance(nullptr, &hr);
        ASSERT_EQ(hr, S_OK);
        filter_->NonDelegatingAddRef();
        bridge_ = static_cast<CSourceBridge*>(filter_);
        pin_ = static_cast<CSourceBridgePin*>(bridge_->GetPin(0));
        ASSERT_NE(pin_, nullptr);
    }
    void TearDown() override {
        if (control_) control_->Stop();
        graph_.Reset();
        control_.Reset();
        filter_->NonDelegatingRelease();
        CoUninitialize();
    }

    // Bridge -> recording sink in a graph, with the given buffer size and type.
    RecordingSink* Connect(LONG bufferSize, std::size_t limit) {
        bridge_->SetBufferSize(bufferSize);
        CMediaType type = DvType();
        bridge_->SetMediaType(&type);
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph_.PutVoid()),
                  S_OK);
        auto* sink = new RecordingSink(limit);
        sink_ = ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(sink));
        EXPECT_EQ(graph_->AddFilter(static_cast<IBaseFilter*>(bridge_), u"SoueceBridge"), S_OK);
        EXPECT_EQ(graph_->AddFilter(sink_.Get(), u"Sink"), S_OK);
        EXPECT_EQ(graph_->ConnectDirect(pin_, sink->GetPin(0), nullptr), S_OK);
        graph_.As(&control_);
        return sink;
    }

    CUnknown* filter_ = nullptr;
    CSourceBridge* bridge_ = nullptr;
    CSourceBridgePin* pin_ = nullptr;
    ComPtr<IGraphBuilder> graph_;
    ComPtr<IMediaControl> control_;
    ComPtr<IBaseFilter> sink_;
};

TEST_F(SourceBridgeTest, OffersTheLastTypeGivenAtPositionZeroOnly) {
    CMediaType first = DvType(), second = DvType();
    second.SetSubtype(&MEDIASUBTYPE_RGB24);
    const BYTE format[] = {1, 2, 3, 4, 5};
    second.SetFormat(format, sizeof format);
    bridge_->SetMediaType(&first);
    bridge_->SetMediaType(&second);
    second.SetSubtype(&MEDIASUBTYPE_YUY2);  // the bridge keeps a copy of its own
    CMediaType offered;
    ASSERT_EQ(pin_->GetMediaType(0, &offered), S_OK);
    EXPECT_EQ(offered.subtype, MEDIASUBTYPE_RGB24);
    ASSERT_EQ(offered.cbFormat, sizeof format);
    EXPECT_EQ(0, std::memcmp(offered.pbFormat, format, sizeof format));
    EXPECT_EQ(pin_->GetMediaType(1, &offered), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pin_->GetMediaType(-1, &offered), E_INVALIDARG);
    EXPECT_EQ(bridge_->SetMediaType(nullptr), E_POINTER);
}

// Grants at most `grant` bytes per buffer.
class ShortAllocator final : public IMemAllocator {
  public:
    explicit ShortAllocator(LONG grant) : grant_(grant) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* request,
                                            ALLOCATOR_PROPERTIES* actual) override {
        asked = *request;
        *actual = *request;
        actual->cbBuffer = std::min(request->cbBuffer, grant_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Commit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Decommit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*,
                                        DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }
    ALLOCATOR_PROPERTIES asked{};

  private:
    LONG grant_;
};

TEST_F(SourceBridgeTest, DecideBufferSizeAsksForOneBufferAndFailsWhenGrantedLess) {
    bridge_->SetBufferSize(120000);
    ShortAllocator enough(1 << 20), shortOne(100000);
    ALLOCATOR_PROPERTIES request{4, 10, 1, 0};
    EXPECT_EQ(pin_->DecideBufferSize(&enough, &request), S_OK);
    EXPECT_EQ(enough.asked.cBuffers, 1);
    EXPECT_EQ(enough.asked.cbBuffer, 120000);
    request = {4, 10, 1, 0};
    EXPECT_EQ(pin_->DecideBufferSize(&shortOne, &request), E_FAIL);
}

TEST_F(SourceBridgeTest, SamplesAreStampedFromZeroWithTheReportedLengthsAndNoEndOfStream) {
    Script script{{1000, 50, 0}, 0};
    bridge_->SetRenderProc(&ScriptedProc, &script);
    RecordingSink* sink = Connect(120000, 3);
    ASSERT_EQ(control_->Run(), S_OK);
    auto arrivals = sink->WaitFor(3);
    control_->Stop();
    ASSERT_EQ(arrivals.size(), 3u);
    const REFERENCE_TIME starts[] = {0, kFrame, 2 * kFrame};
    const LONG lengths[] = {1000, 50, 0};  // an empty sample is delivered too
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(arrivals[i].endOfStream) << i;
        EXPECT_EQ(arrivals[i].start, starts[i]) << i;
        EXPECT_EQ(arrivals[i].end, starts[i] + kFrame) << i;
        EXPECT_EQ(arrivals[i].length, lengths[i]) << i;
    }
    EXPECT_EQ(script.capacity, 120000);
}

TEST_F(SourceBridgeTest, TheLastSampleFollowsTheEndOfStream) {
    Script script{{120000}, 1};
    bridge_->SetRenderProc(&ScriptedProc, &script);
    RecordingSink* sink = Connect(120000, 1);
    ASSERT_EQ(control_->Run(), S_OK);
    auto arrivals = sink->WaitFor(2);
    control_->Stop();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_TRUE(arrivals[0].endOfStream);
    EXPECT_FALSE(arrivals[1].endOfStream);
    EXPECT_EQ(arrivals[1].start, 0);
    EXPECT_EQ(arrivals[1].end, kFrame);
    EXPECT_EQ(arrivals[1].length, 120000);
    EXPECT_EQ(script.calls, 1);  // the sink refused more, so the loop ended
}

// After the last sample the stream is over: the render proc is not asked again, even when
// downstream would take more.
TEST_F(SourceBridgeTest, NothingIsAskedOfTheRenderProcAfterTheLastSample) {
    Script script{{5000}, 1};
    bridge_->SetRenderProc(&ScriptedProc, &script);
    RecordingSink* sink = Connect(120000, 100);
    ASSERT_EQ(control_->Run(), S_OK);
    ASSERT_EQ(sink->WaitFor(2).size(), 2u);
    control_->Stop();  // joins the streaming thread
    EXPECT_EQ(script.calls, 1);
    auto arrivals = sink->WaitFor(0);
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_TRUE(arrivals[0].endOfStream);
    EXPECT_EQ(arrivals[1].length, 5000);
}

TEST_F(SourceBridgeTest, StopAndRunRestartTheStampsAtZero) {
    Script script{{10}, 0};
    bridge_->SetRenderProc(&ScriptedProc, &script);
    RecordingSink* sink = Connect(1000, 2);
    for (int run = 0; run < 2; ++run) {
        sink->Clear();
        ASSERT_EQ(control_->Run(), S_OK);
        auto arrivals = sink->WaitFor(2);
        ASSERT_EQ(control_->Stop(), S_OK);
        ASSERT_EQ(arrivals.size(), 2u) << run;
        EXPECT_EQ(arrivals[0].start, 0) << run;
        EXPECT_EQ(arrivals[1].start, kFrame) << run;
    }
}

TEST_F(SourceBridgeTest, TheContextComesBackWholeOnTheStreamingThread) {
    // An address above 4 GiB: a context cut to 32 bits would not find its way back.
    struct alignas(64) Holder {
        Script script{{8}, 1};
    };
    auto holder = std::make_unique<Holder>();
    void* context = &holder->script;
    ASSERT_GT(reinterpret_cast<std::uintptr_t>(context), 0xFFFFFFFFu);
    std::vector<std::string> lines;
    std::mutex linesLock;
    auto previous = platform::SetDebugSink([&](std::string_view line) {
        std::lock_guard lock(linesLock);
        lines.emplace_back(line);
    });
    bridge_->SetRenderProc(&ScriptedProc, context);
    RecordingSink* sink = Connect(64, 1);
    ASSERT_EQ(control_->Run(), S_OK);
    ASSERT_EQ(sink->WaitFor(2).size(), 2u);
    control_->Stop();
    platform::SetDebugSink(previous);
    EXPECT_EQ(holder->script.seenContext, context);
    std::lock_guard lock(linesLock);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "!SBAX:Registed render proc.\n");
    EXPECT_EQ(lines[1], "!SBAX:FullBuffer()\n");
}

TEST_F(SourceBridgeTest, WithoutARenderProcTheTestPictureIsCutToTheBuffer) {
    RecordingSink* small = Connect(120000, 1);
    ASSERT_EQ(control_->Run(), S_OK);
    auto arrivals = small->WaitFor(1);
    control_->Stop();
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_EQ(arrivals[0].start, 0);
    ASSERT_EQ(arrivals[0].data.size(), 120000u);
    // The bottom rows of the picture come first; they are black.
    EXPECT_EQ(std::count(arrivals[0].data.begin(), arrivals[0].data.end(), 0), 120000);

    graph_->Disconnect(pin_);
    graph_->Disconnect(small->GetPin(0));
    bridge_->SetBufferSize(tovik::bridge::kTestPictureBytes);
    ComPtr<IBaseFilter> big(static_cast<IBaseFilter*>(new RecordingSink(1)));
    auto* bigSink = static_cast<RecordingSink*>(big.Get());
    ASSERT_EQ(graph_->AddFilter(big.Get(), u"Big"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(pin_, bigSink->GetPin(0), nullptr), S_OK);
    ASSERT_EQ(control_->Run(), S_OK);
    arrivals = bigSink->WaitFor(1);
    control_->Stop();
    ASSERT_EQ(arrivals.size(), 1u);
    const auto& picture = arrivals[0].data;
    ASSERT_EQ(picture.size(), 1036800u);
    EXPECT_EQ(picture, tovik::bridge::TestPicture());
    // Light grey text near the top left corner: 6 rows from the top, a few pixels in.
    std::size_t lit = 0;
    for (int row = 5; row < 19; ++row)
        for (int x = 5; x < 17; ++x) lit += picture[(479 - row) * 2160 + x * 3] == 0xF0;
    EXPECT_GT(lit, 20u);
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 0xF0) +
                  std::count(picture.begin(), picture.end(), 0),
              static_cast<std::ptrdiff_t>(picture.size()));
}

}  // namespace
