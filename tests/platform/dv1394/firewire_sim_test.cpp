// The FireWire backend on a simulated bus: the same unit, stream and device filter code that
// runs on hardware, with a virtual deck behind an AV/C node in the test process.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/com/com.h"
#include "platform/dv/subcode.h"
#include "platform/dv1394/dv_device_filter.h"
#include "platform/dv1394/firewire/firewire_list.h"
#include "platform/dv1394/firewire/firewire_unit.h"
#include "platform/dv1394/firewire/gap_counter.h"
#include "tests/support/dv_media.h"
#include "tests/support/firewire_sim.h"
#include "tests/support/temp_registry.h"
#include "toolkit/graph/direct_show.h"
#include "vdeck/tape_maker.h"

namespace {

using namespace platform::dv1394;
using namespace platform::dv1394::firewire;
using namespace std::chrono_literals;
using platform::ComPtr;
using platform::dv::System;
using velmora::test::SimNodeOptions;
using velmora::test::SimNodeQuirks;
using velmora::test::SimulatedBus;
using velmora::test::SimulatedNode;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kWait = 30s;  // generous: sanitizers on two loaded cores

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = kWait) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Frames from a unit's receive thread, kept for the test's thread.
class Received {
  public:
    FrameSink Sink() {
        return [this](const std::uint8_t* frame, std::size_t size) {
            std::lock_guard lock(mutex_);
            frames_.emplace_back(frame, frame + size);
        };
    }
    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    std::vector<Bytes> Frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

  private:
    std::mutex mutex_;
    std::vector<Bytes> frames_;
};

class FirewireSim : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);  // no virtual decks listed
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        InstallBus(nullptr);
        CoUninitialize();
    }

    std::shared_ptr<SimulatedNode> PlugDeck(System system = System::Ntsc525, int seconds = 2,
                                            SimNodeOptions options = {}) {
        const auto path = dir_.Path() / ("tape" + std::to_string(tapes_++) + ".dv");
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), seconds, 48000, &error, system)) << error;
        tape_ = velmora::test::ReadFileBytes(path);
        frame_size_ = system == System::Pal625 ? kPalFrameSize : kNtscFrameSize;
        auto deck =
            std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), "Deck", system);
        auto node = std::make_shared<SimulatedNode>(deck, options);
        bus_->Plug(node);
        return node;
    }
    std::shared_ptr<DvUnit> OnlyUnit() {
        const UnitList units = ListFirewireUnits(bus_);
        EXPECT_EQ(units.size(), 1u);
        return units.empty() ? nullptr : units[0];
    }
    // The tape frame a frame is, by its subcode time code; -1 when it is none of them.
    long TapeIndexOf(const Bytes& frame) {
        if (index_.empty()) {
            for (std::size_t n = 0; (n + 1) * frame_size_ <= tape_.size(); ++n) {
                auto pack = platform::dv::FindSubcodePack(tape_.data() + n * frame_size_,
                                                          frame_size_, platform::dv::kPackTimecode);
                if (pack) index_[platform::dv::TimecodeFromPack(*pack)] = n;
            }
        }
        auto pack =
            platform::dv::FindSubcodePack(frame.data(), frame.size(), platform::dv::kPackTimecode);
        if (!pack) return -1;
        auto at = index_.find(platform::dv::TimecodeFromPack(*pack));
        if (at == index_.end() || frame.size() != frame_size_) return -1;
        const auto* tape = tape_.data() + at->second * frame_size_;
        return std::equal(frame.begin(), frame.end(), tape) ? static_cast<long>(at->second) : -1;
    }
    static Bytes Command(std::initializer_list<std::uint8_t> bytes) { return Bytes(bytes); }
    static AvcStatus Send(DvUnit& unit, const Bytes& command, Bytes* answer,
                          std::chrono::milliseconds timeout = 5s) {
        return unit.Transact(command, answer, timeout);
    }
    static void Play(DvUnit& unit, std::uint8_t operand = 0x75) {
        Bytes answer;
        ASSERT_EQ(Send(unit, {kAvcControl, kSubunitTape, kOpPlay, operand}, &answer),
                  AvcStatus::kAnswered);
        ASSERT_EQ(answer[0], kAvcAccepted);
    }
    ComPtr<IBaseFilter> BindDevice() {
        InstallBus(bus_);
        IMoniker* moniker = CDirectShow::FindDevice("Microsoft DV Camera and VCR", 0);
        if (!moniker) return nullptr;
        ComPtr<IBaseFilter> filter;
        moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.PutVoid());
        moniker->Release();
        return filter;
    }

    velmora::test::TempDir dir_;
    std::shared_ptr<SimulatedBus> bus_ = std::make_shared<SimulatedBus>();
    Bytes tape_;
    std::size_t frame_size_ = kNtscFrameSize;
    std::map<std::uint32_t, std::size_t> index_;
    int tapes_ = 0;
};

TEST_F(FirewireSim, TheDeviceListNamesTheUnitFromItsRom) {
    SimNodeOptions camera;
    camera.guid = 0x0080AB00000000C1ULL;
    camera.model = "Simulated camcorder";
    PlugDeck(System::Ntsc525, 1, camera);
    SimNodeOptions disk;  // an AV/C node without a tape subunit is no DV unit
    disk.guid = 0x0080AB00000000D1ULL;
    disk.tape_subunit = false;
    bus_->Plug(std::make_shared<SimulatedNode>(nullptr, disk));

    auto unit = OnlyUnit();
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->Name(), "Simulated camcorder");
    EXPECT_EQ(unit->Id(), "firewire:0080ab00000000c1");

    InstallBus(bus_);  // the device list of the graph sees the same unit
    const UnitList listed = ListFirewireUnits();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->Id(), unit->Id());
}

TEST_F(FirewireSim, TransportStateAnswersCarryTheModeAndEveryModeIsReportedBack) {
    auto node = PlugDeck(System::Ntsc525, 3);
    auto filter = BindDevice();
    ASSERT_TRUE(filter);
    auto transport = filter.As<IAMExtTransport>();
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
        {ED_MODE_PLAY_SLOWEST_REV, ED_MODE_PLAY_SLOWEST_REV},
        {ED_MODE_FF, ED_MODE_FF},
        {ED_MODE_REW, ED_MODE_REW},
        {ED_MODE_STOP, ED_MODE_STOP},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(transport->put_Mode(step.mode), S_OK) << step.mode;
        LONG mode = 0;
        ASSERT_EQ(transport->get_Mode(&mode), S_OK) << step.mode;
        if (step.mode == ED_MODE_FF || step.mode == ED_MODE_REW)  // may have reached an end
            EXPECT_TRUE(mode == step.reported || mode == ED_MODE_STOP) << step.mode;
        else
            EXPECT_EQ(mode, step.reported) << step.mode;
    }
    // The same through an INTERIM answer first, as slow units give.
    vdeck::Faults interim;
    interim.interim = true;
    node->Deck().SetFaults(interim);
    ASSERT_EQ(transport->put_Mode(ED_MODE_PLAY), S_OK);
    LONG mode = 0;
    ASSERT_EQ(transport->get_Mode(&mode), S_OK);
    EXPECT_EQ(mode, ED_MODE_PLAY);
}

TEST_F(FirewireSim, RejectedAndNotImplementedAnswersAreTheUnitsWord) {
    auto node = PlugDeck();
    auto unit = OnlyUnit();
    Bytes answer;
    ASSERT_EQ(Send(*unit, {kAvcControl, kSubunitTape, 0xC5, 0x00}, &answer), AvcStatus::kAnswered);
    EXPECT_EQ(answer, (Bytes{kAvcNotImplemented, kSubunitTape, 0xC5, 0x00}));
    vdeck::Faults none;
    none.noCassette = true;
    node->Deck().SetFaults(none);
    ASSERT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpPlay, 0x75}, &answer),
              AvcStatus::kAnswered);
    EXPECT_EQ(answer, (Bytes{kAvcRejected, kSubunitTape, kOpPlay, 0x75}));
    vdeck::Faults silent;
    silent.silent = true;
    node->Deck().SetFaults(silent);
    EXPECT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpPlay, 0x75}, &answer, 100ms),
              AvcStatus::kTimedOut);
}

TEST_F(FirewireSim, ALateAnswerIsNotTakenForTheNextCommandsAnswer) {
    auto node = PlugDeck();
    auto unit = OnlyUnit();
    Bytes answer;
    node->HoldNextAnswer();  // PLAY is answered only once the next command has arrived
    EXPECT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpPlay, 0x75}, &answer, 50ms),
              AvcStatus::kTimedOut);
    ASSERT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpPlay, 0x7D}, &answer),
              AvcStatus::kAnswered);
    EXPECT_EQ(answer, (Bytes{kAvcAccepted, kSubunitTape, kOpPlay, 0x7D}));
    EXPECT_EQ(node->Deck().State().operand, 0x7D);
}

TEST_F(FirewireSim, TimecodeFlagsAreMaskedAndTellTheFrameRate) {
    auto node = PlugDeck(System::Ntsc525, 2);
    auto filter = BindDevice();
    ASSERT_TRUE(filter);
    auto transport = filter.As<IAMExtTransport>();
    auto reader = filter.As<IAMTimecodeReader>();
    ASSERT_EQ(transport->put_Mode(ED_MODE_FREEZE), S_OK);
    for (int i = 0; i < 31; ++i) ASSERT_EQ(transport->put_Mode(ED_MODE_STEP_FWD), S_OK);
    TIMECODE_SAMPLE sample{};
    ASSERT_EQ(reader->GetTimecode(&sample), S_OK);
    EXPECT_EQ(sample.timecode.dwFrames, 0x00000101u);  // 00:00:01;01 of a drop-frame tape
    EXPECT_EQ(sample.timecode.wFrameRate, ED_FORMAT_SMPTE_30DROP);

    node->SetQuirks({.non_drop_timecode = true});
    ASSERT_EQ(reader->GetTimecode(&sample), S_OK);
    EXPECT_EQ(sample.timecode.dwFrames, 0x00000101u);
    EXPECT_EQ(sample.timecode.wFrameRate, ED_FORMAT_SMPTE_30);
}

TEST_F(FirewireSim, PalTimecodeRunsAt25Frames) {
    PlugDeck(System::Pal625, 2);
    auto filter = BindDevice();
    ASSERT_TRUE(filter);
    auto transport = filter.As<IAMExtTransport>();
    ASSERT_EQ(transport->put_Mode(ED_MODE_FREEZE), S_OK);
    for (int i = 0; i < 26; ++i) ASSERT_EQ(transport->put_Mode(ED_MODE_STEP_FWD), S_OK);
    TIMECODE_SAMPLE sample{};
    ASSERT_EQ(filter.As<IAMTimecodeReader>()->GetTimecode(&sample), S_OK);
    EXPECT_EQ(sample.timecode.dwFrames, 0x00000101u);
    EXPECT_EQ(sample.timecode.wFrameRate, ED_FORMAT_SMPTE_25);
}

TEST_F(FirewireSim, ReceivesTheTapeBitExactInBothSystems) {
    for (System system : {System::Ntsc525, System::Pal625}) {
        index_.clear();
        auto node = PlugDeck(system, 2);
        const UnitList units = ListFirewireUnits(bus_);
        ASSERT_FALSE(units.empty());
        auto unit = units.back();
        Received received;
        ASSERT_TRUE(unit->StartReceive(received.Sink()));
        EXPECT_EQ(node->OutputConnections(), 1);
        Play(*unit);
        ASSERT_TRUE(WaitFor([&] { return received.Count() >= 20; }));
        unit->StopReceive();
        EXPECT_EQ(node->OutputConnections(), 0);  // the connection is undone
        long previous = -1;
        for (const auto& frame : received.Frames()) {
            const long at = TapeIndexOf(frame);
            ASSERT_GE(at, 0) << "a frame that is not on the tape";
            if (previous >= 0) {
                EXPECT_EQ(at, previous + 1);
            }
            previous = at;
        }
        bus_->Unplug(node);
    }
}

TEST_F(FirewireSim, LostPacketsSpoilOnlyTheFramesTheyHit) {
    auto node = PlugDeck(System::Ntsc525, 3);
    node->SetQuirks({.lose_packet_every = 1000});  // one frame in four loses a packet
    auto unit = OnlyUnit();
    Received received;
    ASSERT_TRUE(unit->StartReceive(received.Sink()));
    Play(*unit);
    ASSERT_TRUE(WaitFor([&] { return received.Count() >= 15; }));
    unit->StopReceive();
    long previous = -1;
    int gaps = 0;
    for (const auto& frame : received.Frames()) {
        const long at = TapeIndexOf(frame);
        ASSERT_GE(at, 0) << "a damaged frame was delivered";
        if (previous >= 0 && at != previous + 1) ++gaps;
        previous = at;
    }
    EXPECT_GE(gaps, 1);
}

TEST_F(FirewireSim, ABusResetMidStreamRestoresTheConnectionAndCountsTheFramesLost) {
    auto node = PlugDeck(System::Ntsc525, 4);
    auto unit = OnlyUnit();
    const NodeId before = bus_->IdOf(*node);
    Received received;
    ASSERT_TRUE(unit->StartReceive(received.Sink()));
    Play(*unit);
    ASSERT_TRUE(WaitFor([&] { return received.Count() >= 10; }));
    const std::size_t at_reset = received.Count();
    bus_->Reset(300ms);  // the plugs cannot be reached until the bus has settled
    EXPECT_NE(bus_->IdOf(*node), before);
    ASSERT_TRUE(WaitFor([&] { return received.Count() >= at_reset + 15; }))
        << "the stream did not resume after the reset";
    EXPECT_EQ(node->OutputConnections(), 1);

    // AV/C reaches the unit at its new ID.
    Bytes answer;
    ASSERT_EQ(Send(*unit, {kAvcStatus, kSubunitTape, kOpTransportState, 0x7F}, &answer),
              AvcStatus::kAnswered);
    EXPECT_EQ(answer[2], kOpPlay);
    unit->StopReceive();

    // Every frame is the tape's, and the frames missing across the reset are those counted.
    long previous = -1;
    std::uint64_t missing = 0;
    for (const auto& frame : received.Frames()) {
        const long at = TapeIndexOf(frame);
        ASSERT_GE(at, 0);
        if (previous >= 0 && at > previous + 1)
            missing += static_cast<std::uint64_t>(at - previous - 1);
        previous = at;
    }
    EXPECT_GE(missing, 1u);
    EXPECT_EQ(std::uint64_t(unit->LinkLosses()), missing);
}

TEST_F(FirewireSim, WritesFramesOntoTheDecksTape) {
    auto node = PlugDeck(System::Ntsc525, 2);
    const Bytes source = tape_;  // frames to write: the tape's own, written over a blank tape
    const auto blank = dir_.Path() / "blank.dv";
    std::ofstream(blank).close();
    std::string error;
    auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(blank.string(), &error), "Blank",
                                              System::Ntsc525);
    SimNodeOptions options;
    options.guid = 0x0080AB00000000E1ULL;
    auto recorder = std::make_shared<SimulatedNode>(deck, options);
    bus_->Unplug(node);
    bus_->Plug(recorder);
    auto unit = OnlyUnit();

    Bytes answer;
    ASSERT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpRecord, 0x75}, &answer),
              AvcStatus::kAnswered);
    ASSERT_EQ(answer[0], kAvcAccepted);
    ASSERT_TRUE(unit->StartTransmit());
    constexpr std::size_t kFrames = 20;
    for (std::size_t i = 0; i < kFrames; ++i)
        ASSERT_TRUE(unit->Transmit(source.data() + i * kNtscFrameSize, kNtscFrameSize));
    ASSERT_TRUE(unit->DrainTransmit(10s));
    ASSERT_TRUE(WaitFor([&] { return recorder->FramesRecorded() >= kFrames; }));
    ASSERT_EQ(Send(*unit, {kAvcControl, kSubunitTape, kOpWind, 0x60}, &answer),
              AvcStatus::kAnswered);
    unit->StopTransmit();

    const Bytes written = velmora::test::ReadFileBytes(blank);
    ASSERT_GE(written.size(), kFrames * kNtscFrameSize);
    EXPECT_TRUE(
        std::equal(source.begin(), source.begin() + kFrames * kNtscFrameSize, written.begin()))
        << "the deck's tape does not hold the frames sent, in order";
}

TEST_F(FirewireSim, UnpluggingTellsTheLossOnceAndEndsEverything) {
    auto node = PlugDeck();
    auto unit = OnlyUnit();
    std::mutex mutex;
    std::condition_variable changed;
    int lost = 0;
    unit->SetLostHandler([&] {
        std::lock_guard lock(mutex);
        ++lost;
        changed.notify_all();
    });
    Received received;
    ASSERT_TRUE(unit->StartReceive(received.Sink()));
    Play(*unit);
    ASSERT_TRUE(WaitFor([&] { return received.Count() >= 3; }));
    bus_->Unplug(node);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return lost > 0; }));
    }
    EXPECT_TRUE(unit->IsLost());
    Bytes answer;
    EXPECT_EQ(Send(*unit, {kAvcStatus, kSubunitTape, kOpTransportState, 0x7F}, &answer),
              AvcStatus::kLost);
    unit->StopReceive();
    EXPECT_FALSE(unit->StartTransmit());
    bus_->Reset();  // later resets tell nothing more
    unit->SetLostHandler([&] { ++lost; });
    unit->SetLostHandler(nullptr);
    EXPECT_EQ(lost, 1);
}

// ---- the machine's FireWire set-up -----------------------------------------------------------

TEST_F(FirewireSim, DescribesTheNodesAndTheDeviceFiles) {
    PlugDeck(System::Ntsc525, 1);
    const auto dev = dir_.Path() / "dev";
    std::filesystem::create_directories(dev);
    for (const char* name : {"fw0", "fw1", "fw12", "fwx", "video0"})
        std::ofstream(dev / name).close();

    const FirewireReport report = DescribeFirewire(*bus_, dev.string());
    ASSERT_EQ(report.nodes.size(), 1u);  // this machine's own node is left out
    const auto& node = report.nodes[0];
    EXPECT_EQ(node.guid, SimNodeOptions{}.guid);
    EXPECT_EQ(node.vendor, "Velmora Test");
    EXPECT_EQ(node.model, "Simulated DV deck");
    EXPECT_EQ(node.vendor_id, 0x0080ABu);
    EXPECT_TRUE(node.tape);
    ASSERT_EQ(report.device_files.size(), 3u);
    EXPECT_EQ(report.device_files[0].path, (dev / "fw0").string());
    EXPECT_EQ(report.device_files[2].path, (dev / "fw12").string());

    const auto empty = dir_.Path() / "empty";
    std::filesystem::create_directories(empty);
    EXPECT_NE(DescribeFirewire(*bus_, empty.string()).advice.find("firewire-ohci"),
              std::string::npos);
}

TEST(FirewireDeviceFiles, PermissionFollowsOwnerGroupAndOthers) {
    struct stat file {};
    file.st_uid = 1000;
    file.st_gid = 44;  // e.g. video
    file.st_mode = S_IFCHR | 0660;
    EXPECT_TRUE(MayReadWrite(file, 1000, {1000}));
    EXPECT_TRUE(MayReadWrite(file, 1001, {1001, 44}));
    EXPECT_FALSE(MayReadWrite(file, 1001, {1001}));
    EXPECT_TRUE(MayReadWrite(file, 0, {0}));  // root
    file.st_mode = S_IFCHR | 0640;
    EXPECT_FALSE(MayReadWrite(file, 1001, {44}));  // read-only for the group
    file.st_mode = S_IFCHR | 0606;
    EXPECT_FALSE(MayReadWrite(file, 1001, {44}));  // the group's bits decide, not others'
    EXPECT_TRUE(MayReadWrite(file, 1002, {1002}));
}

TEST(FirewireGapCounter, CountsFramesByTimecodeAcrossABreak) {
    // 00:01:00;02 is the first label of minute one on a drop-frame tape: frame 1800.
    EXPECT_EQ(FrameNumberOfTimecodePack(0x00010002 | 0x40, false), 1800);
    EXPECT_EQ(FrameNumberOfTimecodePack(0x00100000 | 0x40, false), 17982);  // ten minutes
    EXPECT_EQ(FrameNumberOfTimecodePack(0x00010002, false), 1802);          // non-drop
    EXPECT_EQ(FrameNumberOfTimecodePack(0x01000000, true), 90000);          // an hour at 25
}

}  // namespace
