#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/com.h"
#include "platform/dv1394/dv_device_filter.h"
#include "platform/dv1394/dv_unit.h"
#include "platform/dv1394/virtual/deck_protocol.h"
#include "platform/dv1394/virtual/virtual_deck_unit.h"
#include "platform/kernel/text.h"
#include "platform/media/base/renderer.h"
#include "platform/media/base/source.h"
#include "platform/media/events.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "toolkit/graph/direct_show.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace {

using platform::ComPtr;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Keeps every frame it is given, with its arrival time.
class FrameCollector final : public CBaseRenderer {
  public:
    FrameCollector() : CBaseRenderer(GUID_NULL, "collector", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::lock_guard lock(lock_);
        frames.emplace_back(data, data + sample->GetActualDataLength());
        arrivals.push_back(Clock::now());
        return S_OK;
    }
    std::size_t Count() {
        std::lock_guard lock(lock_);
        return frames.size();
    }
    std::mutex lock_;
    std::vector<Bytes> frames;
    std::vector<Clock::time_point> arrivals;
};

// Plays frames from memory into "DV A/V In", as a file would.
class MemoryDvSource final : public CSource {
  public:
    explicit MemoryDvSource(std::vector<Bytes> frames) : CSource("memory dv", nullptr, GUID_NULL) {
        new Stream(this, std::move(frames));  // owned by the filter
    }

  private:
    class Stream final : public CSourceStream {
      public:
        Stream(MemoryDvSource* filter, std::vector<Bytes> frames)
            : CSourceStream("memory dv out", nullptr, filter, u"Output"),
              frames_(std::move(frames)) {}
        HRESULT GetMediaType(CMediaType* type) override {
            *type = CMediaType(&MEDIATYPE_Interleaved);
            type->SetSubtype(&MEDIASUBTYPE_dvsd);
            type->SetFormatType(&FORMAT_DvInfo);
            DVINFO info{};
            type->SetFormat(reinterpret_cast<BYTE*>(&info), sizeof info);
            return S_OK;
        }
        using CSourceStream::GetMediaType;
        HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
            request->cBuffers = 2;
            request->cbBuffer = 120000;
            ALLOCATOR_PROPERTIES actual{};
            return allocator->SetProperties(request, &actual);
        }
        HRESULT FillBuffer(IMediaSample* sample) override {
            if (next_ >= frames_.size()) return S_FALSE;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::copy(frames_[next_].begin(), frames_[next_].end(), data);
            sample->SetActualDataLength(120000);
            ++next_;
            return S_OK;
        }

      private:
        std::vector<Bytes> frames_;
        std::size_t next_ = 0;
    };
};

class Device : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        tapeBytes_.clear();
    }
    void TearDown() override {
        servers_.clear();
        CoUninitialize();
    }

    std::shared_ptr<vdeck::Deck> StartDeck(const std::string& name, int frames = 60,
                                           double rate = 1.0) {
        auto path = runtime_.Path() / (name + ".dv");
        EXPECT_TRUE(velmora::test::MakeDvTape(path, frames));
        return StartDeckOn(name, path, rate);
    }
    std::shared_ptr<vdeck::Deck> StartDeckOn(const std::string& name,
                                             const std::filesystem::path& path, double rate) {
        tapeBytes_ = velmora::test::ReadFileBytes(path);
        tapePath_ = path;
        std::string error;
        auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), name);
        auto server = std::make_unique<vdeck::DeckServer>(
            deck, vdeck::DeckServer::DefaultSocketPath(name), rate);
        EXPECT_TRUE(server->Start(&error)) << error;
        servers_.push_back(std::move(server));
        return deck;
    }

    ComPtr<IBaseFilter> BindDevice(int index) {
        IMoniker* moniker = CDirectShow::FindDevice("Microsoft DV Camera and VCR", index);
        if (!moniker) return nullptr;
        ComPtr<IBaseFilter> filter;
        moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.PutVoid());
        moniker->Release();
        return filter;
    }

    Bytes TapeFrame(std::size_t index) {
        return Bytes(tapeBytes_.begin() + index * 120000,
                     tapeBytes_.begin() + (index + 1) * 120000);
    }

    velmora::test::TempDir runtime_;
    std::vector<std::unique_ptr<vdeck::DeckServer>> servers_;
    Bytes tapeBytes_;
    std::filesystem::path tapePath_;
};

TEST_F(Device, DecksAreListedInNameOrderUnderTheDvDeviceName) {
    StartDeck("Deck B", 2);
    StartDeck("Deck A", 2);
    EXPECT_EQ(CDirectShow::CountDevices("Microsoft DV Camera and VCR"), 2);
    IMoniker* second = CDirectShow::FindDevice("Microsoft DV Camera and VCR", 1);
    ASSERT_NE(second, nullptr);
    IPropertyBag* bag = nullptr;
    ASSERT_EQ(
        second->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)),
        S_OK);
    VARIANT name;
    VariantInit(&name);
    ASSERT_EQ(bag->Read(u"Description", &name, nullptr), S_OK);
    EXPECT_EQ(platform::Utf16ToUtf8(name.bstrVal), "Deck B");
    VariantClear(&name);
    bag->Release();
    second->Release();

    auto filter = BindDevice(1);
    ASSERT_TRUE(filter);
    ComPtr<IAMExtDevice> device = filter.As<IAMExtDevice>();
    LPOLESTR id = nullptr;
    ASSERT_EQ(device->get_ExternalDeviceID(&id), S_OK);
    EXPECT_EQ(platform::Utf16ToUtf8(id), "Deck B");
    CoTaskMemFree(id);
    LONG type = 0;
    EXPECT_EQ(device->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr), S_OK);
    EXPECT_EQ(type, ED_DEVTYPE_VCR);
}

TEST_F(Device, EveryTransportModeMovesTheTapeAndIsReportedBack) {
    auto deck = StartDeck("Deck", 200);
    auto filter = BindDevice(0);
    ASSERT_TRUE(filter);
    auto transport = filter.As<IAMExtTransport>();
    auto timecode = filter.As<IAMTimecodeReader>();
    struct Step {
        LONG mode;
        LONG reported;
    };
    const Step steps[] = {
        {ED_MODE_PLAY, ED_MODE_PLAY},
        {ED_MODE_FREEZE, ED_MODE_FREEZE},
        {ED_MODE_STEP_FWD, ED_MODE_FREEZE},
        {ED_MODE_STEP_REV, ED_MODE_FREEZE},
        {ED_MODE_PLAY_FASTEST_FWD, ED_MODE_PLAY_FASTEST_FWD},
        {ED_MODE_PLAY_FASTEST_REV, ED_MODE_PLAY_FASTEST_REV},
        {ED_MODE_PLAY_SLOWEST_FWD, ED_MODE_PLAY_SLOWEST_FWD},
        {ED_MODE_PLAY_SLOWEST_REV, ED_MODE_PLAY_SLOWEST_REV},
        {ED_MODE_FF, ED_MODE_FF},
        {ED_MODE_REW, ED_MODE_REW},
        {ED_MODE_RECORD_FREEZE, ED_MODE_RECORD_FREEZE},
        {ED_MODE_STOP, ED_MODE_STOP},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(transport->put_Mode(step.mode), S_OK) << step.mode;
        LONG mode = 0;
        ASSERT_EQ(transport->get_Mode(&mode), S_OK);
        // Winding may already have reached an end and stopped.
        if (step.mode == ED_MODE_FF || step.mode == ED_MODE_REW)
            EXPECT_TRUE(mode == step.reported || mode == ED_MODE_STOP) << step.mode;
        else
            EXPECT_EQ(mode, step.reported) << step.mode;
    }
    EXPECT_EQ(transport->put_Mode(ED_MODE_SHUTTLE), E_INVALIDARG);
    EXPECT_EQ(transport->put_Rate(2.5), E_NOTIMPL);

    // The timecode follows the tape: step to frame 31 -> 00:00:01.01.
    transport->put_Mode(ED_MODE_REW);
    for (int i = 0; i < 100 && deck->Position() != 0; ++i) Sleep(20);
    for (int i = 0; i < 31; ++i) transport->put_Mode(ED_MODE_STEP_FWD);
    TIMECODE_SAMPLE sample{};
    sample.dwFlags = ED_DEVCAP_TIMECODE_READ;
    ASSERT_EQ(timecode->GetTimecode(&sample), S_OK);
    EXPECT_EQ(sample.timecode.dwFrames, 0x00000101u);
    EXPECT_EQ(sample.timecode.wFrameRate, ED_FORMAT_SMPTE_30);  // the test tape counts non-drop
}

TEST_F(Device, RawCommandsReturnTheUnitsAnswerInTheSameBuffer) {
    StartDeck("Deck", 2);
    auto transport = BindDevice(0).As<IAMExtTransport>();
    BYTE buffer[512] = {0x02, 0x20, 0xC3, 0x75};
    LONG length = 4;
    ASSERT_EQ(transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                     reinterpret_cast<LPOLESTR*>(buffer)),
              S_OK);
    EXPECT_EQ(buffer[0], 0x0C);
    EXPECT_EQ(length, 4);
    BYTE other[512] = {0x02, 0x20, 0xC3, 0x99};
    length = 4;
    transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                           reinterpret_cast<LPOLESTR*>(other));
    EXPECT_EQ(other[0], 0x08);
    length = 513;
    EXPECT_EQ(transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                     reinterpret_cast<LPOLESTR*>(other)),
              E_INVALIDARG);
}

TEST_F(Device, ASilentUnitFailsWithinHalfASecond) {
    auto deck = StartDeck("Deck", 2);
    auto filter = BindDevice(0);
    auto transport = filter.As<IAMExtTransport>();
    vdeck::Faults faults;
    faults.silent = true;
    deck->SetFaults(faults);
    auto start = Clock::now();
    EXPECT_TRUE(FAILED(transport->put_Mode(ED_MODE_PLAY)));
    EXPECT_LT(Clock::now() - start, 500ms);
    // The queries that callers stop at a time-out say it was one.
    LONG type = 0;
    EXPECT_EQ(filter.As<IAMExtDevice>()->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr),
              HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    std::uint8_t unitInfo[16] = {0x01, 0xFF, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    LONG length = 8;
    EXPECT_EQ(transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                     reinterpret_cast<LPOLESTR*>(unitInfo)),
              HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    faults.silent = false;
    faults.rejectAll = true;
    deck->SetFaults(faults);
    EXPECT_TRUE(FAILED(transport->put_Mode(ED_MODE_PLAY)));
    faults.rejectAll = false;
    faults.interim = true;
    deck->SetFaults(faults);
    EXPECT_EQ(transport->put_Mode(ED_MODE_PLAY), S_OK);
}

TEST_F(Device, LosingTheDeckPostsDeviceLostOnceAndLaterCallsFail) {
    StartDeck("Deck", 2);
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     graph.PutVoid());
    auto filter = BindDevice(0);
    graph->AddFilter(filter.Get(), u"Microsoft DV Camera and VCR");
    auto transport = filter.As<IAMExtTransport>();
    ASSERT_EQ(transport->put_Mode(ED_MODE_STOP), S_OK);
    auto events = graph.As<IMediaEvent>();

    auto start = Clock::now();
    servers_.clear();  // the deck goes away
    LONG code = 0;
    LONG_PTR p1, p2;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 1000), S_OK);
    EXPECT_EQ(code, EC_DEVICE_LOST);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_TRUE(FAILED(transport->put_Mode(ED_MODE_PLAY)));
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 100), E_ABORT);  // once
}

// Builds device "DV A/V Out" -> collector and plays the tape.
class Capture : public Device {
  protected:
    void Build() {
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         graph.PutVoid());
        device = BindDevice(0);
        collector = new FrameCollector;
        collectorFilter = ComPtr<IBaseFilter>(collector);
        graph->AddFilter(device.Get(), u"Microsoft DV Camera and VCR");
        graph->AddFilter(collectorFilter.Get(), u"Collector");
        ComPtr<IPin> out, in;
        device->FindPin(u"DV A/V Out", out.Put());
        collectorFilter->FindPin(u"In", in.Put());
        ASSERT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK);
    }
    // A deck with `ntscFrames` of NTSC and then `palSeconds` of PAL; gives the PAL part.
    Bytes StartDeckChangingSystem(int ntscFrames, int palSeconds, double rate) {
        const auto pal = runtime_.Path() / "pal.dv", mixed = runtime_.Path() / "Mixed.dv";
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(pal.string(), palSeconds, 48000, &error,
                                          platform::dv::System::Pal625))
            << error;
        const Bytes palTape = velmora::test::ReadFileBytes(pal);
        EXPECT_TRUE(velmora::test::MakeDvTape(mixed, ntscFrames));
        std::ofstream(mixed, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char*>(palTape.data()), std::streamsize(palTape.size()));
        StartDeckOn("Mixed", mixed, rate);
        return palTape;
    }
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> device, collectorFilter;
    FrameCollector* collector = nullptr;
};

TEST_F(Capture, PlayedFramesArriveByteIdenticalToTheTape) {
    StartDeck("Deck", 90, 4.0);
    Build();
    graph.As<IMediaControl>()->Run();
    device.As<IAMExtTransport>()->put_Mode(ED_MODE_PLAY);
    for (int i = 0; i < 300 && collector->Count() < 30; ++i) Sleep(10);
    graph.As<IMediaControl>()->Stop();
    ASSERT_GE(collector->frames.size(), 30u);
    // Find the first frame on the tape; every later one must follow it.
    std::size_t first = 0;
    while (first < 90 && TapeFrame(first) != collector->frames[0]) ++first;
    ASSERT_LT(first, 90u) << "first frame not found on the tape";
    for (std::size_t i = 0; i < collector->frames.size() && first + i < 90; ++i)
        ASSERT_EQ(collector->frames[i], TapeFrame(first + i)) << i;
}

// Frames of the other DV system are dropped whole and counted; the first of them is kept for
// whoever goes over to that system, to tell by its time code how far the tape moved.
TEST_F(Capture, TheFirstFrameOfTheOtherSystemIsKeptWholeAndTheOthersCounted) {
    const Bytes palTape = StartDeckChangingSystem(10, 1, 4.0);
    Build();
    auto stats = device.As<IVelmoraDvLinkStats>();
    ASSERT_TRUE(stats);
    LONG written = -1;
    LONGLONG since = -1;
    EXPECT_EQ(stats->GetFirstForeignFrame(nullptr, 0, &written, &since), S_OK);
    EXPECT_EQ(written, 0);  // none came yet
    EXPECT_EQ(since, 0);

    graph.As<IMediaControl>()->Run();
    device.As<IAMExtTransport>()->put_Mode(ED_MODE_PLAY);
    const LONGLONG palFrames = LONGLONG(palTape.size() / 144000);
    LONGLONG foreign = 0;
    for (int i = 0; i < 500 && foreign < palFrames; ++i) {
        Sleep(10);
        stats->GetLosses(nullptr, nullptr, &foreign, nullptr);
    }
    graph.As<IMediaControl>()->Stop();
    EXPECT_EQ(foreign, palFrames);
    EXPECT_LE(collector->frames.size(), 10u);

    Bytes first(144000);
    EXPECT_EQ(stats->GetFirstForeignFrame(first.data(), 1000, &written, nullptr),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(written, 144000);
    ASSERT_EQ(stats->GetFirstForeignFrame(first.data(), LONG(first.size()), &written, &since),
              S_OK);
    EXPECT_EQ(written, 144000);
    EXPECT_EQ(since, palFrames);  // the stream from the first PAL frame on
    EXPECT_TRUE(first == Bytes(palTape.begin(), palTape.begin() + 144000));
}

// A graph that is paused when the tape changes system hears of it as soon as it runs.
TEST_F(Capture, AChangeOfSystemMetWhilePausedIsReportedOnceRunning) {
    StartDeckChangingSystem(5, 3, 1.0);
    Build();
    auto stats = device.As<IVelmoraDvLinkStats>();
    ASSERT_TRUE(stats);
    graph.As<IMediaControl>()->Pause();
    device.As<IAMExtTransport>()->put_Mode(ED_MODE_PLAY);
    LONGLONG foreign = 0;
    for (int i = 0; i < 300 && foreign < 3; ++i) {
        Sleep(10);
        stats->GetLosses(nullptr, nullptr, &foreign, nullptr);
    }
    ASSERT_GE(foreign, 3);
    graph.As<IMediaControl>()->Run();
    auto events = graph.As<IMediaEvent>();
    bool reported = false;
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (!reported && events->GetEvent(&code, &p1, &p2, 2000) == S_OK) {
        reported = code == EC_VELMORA_DV_SYSTEM_CHANGED;
        events->FreeEventParams(code, p1, p2);
    }
    graph.As<IMediaControl>()->Stop();
    EXPECT_TRUE(reported);
}

TEST_F(Capture, FramesArriveAtTheNtscRate) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "timing is not meaningful under a sanitizer";
#endif
    StartDeck("Deck", 330);
    Build();
    graph.As<IMediaControl>()->Run();
    device.As<IAMExtTransport>()->put_Mode(ED_MODE_PLAY);
    Sleep(10500);
    graph.As<IMediaControl>()->Stop();
    // Count over the frames that arrived within 10 s of the first.
    ASSERT_GT(collector->arrivals.size(), 10u);
    auto start = collector->arrivals.front();
    std::size_t count = 0;
    for (auto t : collector->arrivals)
        if (t - start < 10s) ++count;
    EXPECT_NEAR(static_cast<double>(count), 299.7, 3.0);
}

TEST_F(Device, FramesSentToTheDeckWhileRecordingLandOnTheTapeAllOfThem) {
    auto deck = StartDeck("Deck", 10, 4.0);
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; ++i) frames.emplace_back(120000, static_cast<std::uint8_t>(0x10 + i));
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     graph.PutVoid());
    auto device = BindDevice(0);
    ComPtr<IBaseFilter> source(new MemoryDvSource(frames));
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(device.Get(), u"Microsoft DV Camera and VCR");
    ComPtr<IPin> out, in;
    source->FindPin(u"Output", out.Put());
    device->FindPin(u"DV A/V In", in.Put());
    ASSERT_EQ(graph->ConnectDirect(out.Get(), in.Get(), nullptr), S_OK);
    // Paused first, as a program prepares a file before it tells the deck to record: the
    // frames wait for the run, so the deck misses none of them.
    graph.As<IMediaControl>()->Pause();
    Sleep(300);
    EXPECT_EQ(deck->Position(), 0);
    ASSERT_EQ(device.As<IAMExtTransport>()->put_Mode(ED_MODE_RECORD), S_OK);
    graph.As<IMediaControl>()->Run();
    LONG code = 0;
    ASSERT_EQ(graph.As<IMediaEvent>()->WaitForCompletion(10000, &code), S_OK);
    // The deck takes the last frames a tick or two after they were sent.
    for (int i = 0; i < 100 && deck->Position() < 12; ++i) Sleep(20);
    graph.As<IMediaControl>()->Stop();
    Bytes tape = velmora::test::ReadFileBytes(tapePath_);
    ASSERT_EQ(tape.size(), 12u * 120000);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(std::equal(frames[i].begin(), frames[i].end(), tape.begin() + i * 120000)) << i;
}

}  // namespace

namespace {

namespace deck = platform::dv1394::deck;

// A socket in the deck folder that greets its clients with the given name, as a deck would;
// given a script, it says that once the client has opened its connection, and hangs up.
class PlantedDeck {
  public:
    PlantedDeck(const std::filesystem::path& path, std::string greeting,
                std::vector<std::uint8_t> script = {})
        : path_(path), greeting_(std::move(greeting)), script_(std::move(script)) {
        listener_ = deck::Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ok_ = ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener_.Get(), 4) == 0 && ::chmod(path.c_str(), 0600) == 0;
        thread_.Start([this] {
            for (;;) {
                deck::Fd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!client) return;
                deck::SendMessage(client.Get(), deck::Message::kHello, greeting_.data(),
                                  greeting_.size());
                std::uint8_t open[8];  // the client says which connection it opens
                if (!script_.empty() &&
                    ::recv(client.Get(), open, sizeof open, MSG_WAITALL) == sizeof open)
                    ::send(client.Get(), script_.data(), script_.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~PlantedDeck() {
        ::shutdown(listener_.Get(), SHUT_RDWR);  // ends the accept
        thread_.Join();
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    bool Ok() const { return ok_; }

  private:
    std::filesystem::path path_;
    std::string greeting_;
    std::vector<std::uint8_t> script_;
    deck::Fd listener_;
    platform::Thread thread_;
    bool ok_ = false;
};

std::vector<std::string> ListedNames() {
    std::vector<std::string> names;
    for (const auto& unit : platform::dv1394::ListVirtualDecks()) names.push_back(unit->Name());
    return names;
}

mode_t ModeOf(const std::filesystem::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

using Names = std::vector<std::string>;

// The deck folder is this user's alone, whether under the runtime folder or /tmp: created
// 0700 whatever the umask, with sockets no one else may connect to.
TEST_F(Device, DeckFoldersAndSocketsAreMadeForThisUserAlone) {
    const mode_t previous = ::umask(022);
    StartDeck("Own");
    ::umask(previous);
    EXPECT_EQ(ModeOf(runtime_.Path() / "velmora"), 0700u);
    EXPECT_EQ(ModeOf(runtime_.Path() / "velmora" / "decks"), 0700u);
    EXPECT_EQ(ModeOf(runtime_.Path() / "velmora" / "decks" / "Own") & 077, 0u);
    EXPECT_EQ(ListedNames(), Names{"Own"});

    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(deck::DeckDirectory(),
              std::filesystem::path("/tmp/velmora-" + std::to_string(::getuid())) / "decks");
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
}

// Whoever else could put a socket into the folder could pose as a deck and feed the toolkit
// frames and answers: such folders and sockets are refused, and so are greetings that are not
// a deck's name.
TEST_F(Device, DecksOthersCouldHavePlantedAreNotListed) {
    StartDeck("Real");
    const auto decks = runtime_.Path() / "velmora" / "decks";
    {
        PlantedDeck open(decks / "open", "Open to all");
        ASSERT_TRUE(open.Ok());
        ::chmod((decks / "open").c_str(), 0666);
        PlantedDeck empty(decks / "empty", "");
        PlantedDeck zero(decks / "zero", std::string("A\0B", 3));
        PlantedDeck huge(decks / "huge", std::string(300, 'x'));
        PlantedDeck fine(decks / "fine", "Fine");
        EXPECT_EQ(ListedNames(), (Names{"Fine", "Real"}));
        if (::geteuid() == 0) {  // only root can give a socket to another user
            ASSERT_EQ(::chown((decks / "fine").c_str(), 4242, 4242), 0);
            EXPECT_EQ(ListedNames(), Names{"Real"});
        }
    }
    // A folder that others may enter lists nothing; a deck that starts closes it again.
    ::chmod(decks.c_str(), 0777);
    EXPECT_EQ(ListedNames(), Names{});
    StartDeck("Second");
    EXPECT_EQ(ModeOf(decks), 0700u);
    EXPECT_EQ(ListedNames(), (Names{"Real", "Second"}));
    ::chmod((runtime_.Path() / "velmora").c_str(), 0755);
    EXPECT_EQ(ListedNames(), Names{});
    ::chmod((runtime_.Path() / "velmora").c_str(), 0700);

    // A link in place of a folder leads elsewhere: neither listed nor published into.
    velmora::test::TempDir other;
    std::filesystem::create_directory_symlink(runtime_.Path() / "velmora",
                                              other.Path() / "velmora");
    ::setenv("XDG_RUNTIME_DIR", other.Path().c_str(), 1);
    EXPECT_EQ(ListedNames(), Names{});
    std::string error;
    EXPECT_FALSE(deck::MakeDeckDirectory(&error));
    EXPECT_NE(error.find("not a folder of this user"), std::string::npos) << error;
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);

    if (::geteuid() == 0) {  // a folder of another user, which only root can make here
        ASSERT_EQ(::chown(decks.c_str(), 4242, 4242), 0);
        EXPECT_EQ(ListedNames(), Names{});
        EXPECT_FALSE(deck::MakeDeckDirectory(&error));
        ASSERT_EQ(::chown(decks.c_str(), 0, 0), 0);
    }
}

// What a deck sends on a receive connection is untrusted: a frame message without bytes is
// passed over, and the frames around it arrive whole.
TEST_F(Device, AnEmptyFrameFromADeckNeverReachesTheFrameSink) {
    StartDeck("Real");
    const auto socket = runtime_.Path() / "velmora" / "decks" / "hollow";
    std::vector<std::uint8_t> script;
    auto put = [&script](deck::Message type, std::size_t size, std::uint8_t fill) {
        for (std::uint32_t field : {static_cast<std::uint32_t>(type), std::uint32_t(size)})
            for (int i = 0; i < 4; ++i) script.push_back(std::uint8_t(field >> (8 * i)));
        script.insert(script.end(), size, fill);
    };
    put(deck::Message::kFrame, 0, 0);
    put(deck::Message::kFrame, 1000, 0x5A);
    put(deck::Message::kFrame, 0, 0);
    PlantedDeck hollow(socket, "Hollow", script);
    ASSERT_TRUE(hollow.Ok());

    platform::dv1394::VirtualDeckUnit unit(socket, "hollow");
    std::mutex lock;
    std::vector<std::size_t> sizes;
    bool nullFrame = false;
    ASSERT_TRUE(unit.StartReceive([&](const std::uint8_t* frame, std::size_t size) {
        std::lock_guard guard(lock);
        nullFrame |= frame == nullptr;
        sizes.push_back(size);
    }));
    // The planted deck hangs up after its script, which the unit takes as the deck going.
    for (int i = 0; i < 400 && !unit.IsLost(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    unit.StopReceive();
    EXPECT_TRUE(unit.IsLost());
    EXPECT_FALSE(nullFrame);
    EXPECT_EQ(sizes, std::vector<std::size_t>{1000});
}

}  // namespace
