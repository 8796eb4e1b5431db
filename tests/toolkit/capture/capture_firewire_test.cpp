// The capture family against a FireWire unit on the simulated bus: the device list, transport,
// timecode and capabilities, recordings of both systems, a bus reset in the middle of a
// recording and unplugging, all through the FireWire backend's own code.

#include <gtest/gtest.h>

#include "platform/dv1394/firewire/bus_access.h"
#include "platform/media/events.h"
#include "tests/support/firewire_sim.h"
#include "tests/toolkit/capture/capture_deck_fixture.h"

using namespace capture_test;

namespace {

using velmora::test::SimNodeOptions;
using velmora::test::SimulatedBus;
using velmora::test::SimulatedNode;

constexpr auto kWait = 30s;  // generous: sanitizers on two loaded cores

class CaptureFirewire : public CaptureDeck {
  protected:
    void TearDown() override {
        CaptureDeck::TearDown();
        platform::dv1394::firewire::InstallBus(nullptr);
    }
    std::shared_ptr<SimulatedNode> PlugDeck(System system, int seconds) {
        const auto path = runtime_.Path() / "tape.dv";
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), seconds, 48000, &error, system)) << error;
        tapePath_ = path;
        tape_ = velmora::test::ReadFileBytes(path);
        frameSize_ = system == System::Pal625 ? 144000 : 120000;
        auto deck =
            std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), "Deck", system);
        auto node = std::make_shared<SimulatedNode>(deck, SimNodeOptions{});
        bus_->Plug(node);
        platform::dv1394::firewire::InstallBus(bus_);
        return node;
    }
    bool WaitUntil(const std::function<bool()>& done) { return ProcessEventsUntil(done, kWait); }
    // Tape positions of a recording's frames, in order.
    std::vector<long> TapePositions(const Bytes& frames) {
        auto index = TapeByTimecode();
        std::vector<long> positions;
        for (std::size_t at = 0; at + frameSize_ <= frames.size(); at += frameSize_) {
            auto pack = platform::dv::FindSubcodePack(frames.data() + at, frameSize_,
                                                      platform::dv::kPackTimecode);
            auto found = pack ? index.find(platform::dv::TimecodeFromPack(*pack)) : index.end();
            positions.push_back(found == index.end() ? -1 : static_cast<long>(found->second));
        }
        return positions;
    }

    std::shared_ptr<SimulatedBus> bus_ = std::make_shared<SimulatedBus>();
};

TEST_F(CaptureFirewire, DrivesTheTransportAndReadsTimecodeAndCapabilities) {
    auto node = PlugDeck(System::Ntsc525, 3);
    Open(0);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_PLAY);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_FREEZE, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_FREEZE);
    EXPECT_EQ(Tovik_Control(handle_, TOVIK_MODE_SHUTTLE_REVERSE, 15), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_PLAY_FASTEST_REV);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_STOP, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_STOP);

    Tovik_Control(handle_, ED_MODE_REW, 0);
    ASSERT_TRUE(WaitUntil([&] { return node->Deck().Position() == 0; }));
    Tovik_Control(handle_, ED_MODE_FREEZE, 0);
    for (int i = 0; i < 45; ++i) Tovik_Control(handle_, ED_MODE_STEP_FWD, 0);
    TovikTimecode timecode{20, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(Tovik_GetTimecode(handle_, &timecode), 1);
    EXPECT_EQ(timecode.format, 0);  // drop-frame, as the unit's answer says
    EXPECT_EQ(timecode.seconds, 1);
    EXPECT_EQ(timecode.frames, 15);

    TovikCapability capability{20, 0, 0, 0, 0};
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(capability.unitType, 4);
    EXPECT_EQ(capability.deviceType, ED_DEVTYPE_VCR);
    EXPECT_EQ(capability.medium, 0x10000);
    EXPECT_EQ(capability.transport, 0x7FFFu);

    // A unit whose answers are longer than the command: the UNIT INFO answer does not fit the
    // small buffer it is read into and is refused; the rest is learned as before.
    node->SetQuirks({.pad_answers_to = 64});
    capability = {20, 0, 0, 0, 0};
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(capability.unitType, 31);
    EXPECT_EQ(capability.deviceType, ED_DEVTYPE_VCR);
    EXPECT_EQ(capability.medium, 0x10000);
    EXPECT_EQ(capability.transport, 0x7FFFu);
}

TEST_F(CaptureFirewire, RecordsTheTapeBitExactInBothSystems) {
    for (System system : {System::Ntsc525, System::Pal625}) {
        auto node = PlugDeck(system, 3);
        Open(TOVIK_OPEN_PREVIEW);
        const auto path = runtime_.Path() / "recording.avi";
        ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
        ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
        const auto start = node->FramesSent();
        ASSERT_TRUE(WaitUntil([&] { return node->FramesSent() >= start + 30; }));
        ASSERT_EQ(Tovik_StopRec(handle_), 1);
        Tovik_Close(handle_);
        handle_ = nullptr;
        const Bytes frames = FramesOf(path);
        EXPECT_GE(frames.size(), 15 * frameSize_);
        ExpectFramesFromTape(frames);
        bus_->Unplug(node);
    }
}

TEST_F(CaptureFirewire, ARecordingGoesOnAfterABusResetAndTheFramesLostAreReported) {
    auto node = PlugDeck(System::Ntsc525, 6);
    Open(TOVIK_OPEN_PREVIEW);
    const auto path = runtime_.Path() / "reset.avi";
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return node->FramesSent() >= 20; }));
    const long at_reset = static_cast<long>(node->Deck().Position());
    bus_->Reset(300ms);  // the connection cannot be restored until the bus has settled
    const auto sent = node->FramesSent();
    ASSERT_TRUE(WaitUntil([&] { return node->FramesSent() >= sent + 20; }))
        << "the unit's stream did not come back";
    LPARAM lost = 0;
    ASSERT_TRUE(WaitUntil([&] { return HasEvent(EC_VELMORA_DV_FRAMES_LOST, &lost); }));
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_GE(lost, 1);

    const Bytes frames = FramesOf(path);
    ExpectFramesFromTape(frames);
    const auto positions = TapePositions(frames);
    ASSERT_FALSE(positions.empty());
    EXPECT_GT(positions.back(), at_reset + 10) << "nothing was recorded after the reset";
    long missing = 0;
    for (std::size_t i = 1; i < positions.size(); ++i)
        missing += std::max(0L, positions[i] - positions[i - 1] - 1);
    EXPECT_GE(missing, lost);  // the file lacks at least the frames the reset cost
}

TEST_F(CaptureFirewire, UnpluggingEndsTheRecordingAndIsToldOnce) {
    auto node = PlugDeck(System::Ntsc525, 4);
    Open(TOVIK_OPEN_PREVIEW);
    const auto path = runtime_.Path() / "unplugged.avi";
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return node->FramesSent() >= 20; }));
    bus_->Unplug(node);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent(EC_DEVICE_LOST); }));
    Wait(300ms);
    int told = 0;
    for (auto& [code, param] : window_.events) told += code == EC_DEVICE_LOST;
    EXPECT_EQ(told, 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), -1);
    Tovik_Close(handle_);
    handle_ = nullptr;
    const Bytes frames = FramesOf(path);
    EXPECT_GE(frames.size(), 10u * frameSize_);
    ExpectFramesFromTape(frames);
}

}  // namespace
