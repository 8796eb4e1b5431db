// The player object against the state of its own graph, without a window: the pause at open
// and after a seek completes with a frame in each renderer, and Close leaves the graph stopped
// even while loop restarts come one after another.

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/com/com.h"
#include "platform/media/events.h"
#include "platform/media/ext_device.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/avi_test_support.h"
#include "tests/support/temp_registry.h"
#include "toolkit/player/file_player.h"

namespace {

using platform::ComPtr;
namespace dv = velmora::test::dv;

constexpr int kFrames = 60;

// A type-2 file as ffmpeg writes one and a type-1 file of our AVI Mux, of the same frames.
struct Media {
    avi_test::TempDir dir;
    std::string type1 = dir.File("type1.avi"), type2 = dir.File("type2.avi");
    Media() {
        const std::string raw = dir.File("tape.dv");
        if (!dv::MakeNtscDv(raw, kFrames)) return;
        dv::Run("ffmpeg -nostdin -v error -y -f dv -i '" + raw +
                "' -c:v copy -c:a pcm_s16le -f avi '" + type2 + "'");
        const auto frames = dv::SplitFrames(dv::ReadFile(raw));
        avi_test::WriteAvi(avi_test::FramesOf(frames), type1);
    }
};
Media* g_media = nullptr;

class PlayerGraph : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitialize(nullptr);
        g_media = new Media;
    }
    static void TearDownTestSuite() {
        delete g_media;
        g_media = nullptr;
        CoUninitialize();
    }
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_TRUE(velmora::test::RegisterBridge());
        params_.size = sizeof params_;
        params_.right = 720;
        params_.bottom = 480;
    }
    void TearDown() override { CoUninitialize(); }

    // Paused with every renderer holding its frame within the time given; open and a seek of
    // the position wait for that themselves, so the graph answers them at once.
    static ::testing::AssertionResult Settled(IGraphBuilder* graph, LONG milliseconds = 0) {
        OAFilterState state = State_Stopped;
        const HRESULT hr =
            ComPtr<IGraphBuilder>(graph).As<IMediaControl>()->GetState(milliseconds, &state);
        if (hr == S_OK && state == State_Paused) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "state " << state << ", result " << std::hex << hr;
    }

    velmora::test::TempRegistry registry_;
    TovikPlayParams params_{};
};

TEST_F(PlayerGraph, PauseCompletesAtOpenAndAfterEveryPausedSeek) {
    for (const std::string& file : {g_media->type2, g_media->type1}) {
        SCOPED_TRACE(file);
        CFilePlayer player;
        ASSERT_EQ(player.Open(&params_, file.c_str()), 1);
        EXPECT_TRUE(Settled(player.Graph()));
        for (std::int64_t n : {40, 7, kFrames - 1, 0}) {
            ASSERT_EQ(player.SetCurrentPos(n), 1);
            EXPECT_TRUE(Settled(player.Graph())) << "frame " << n;
            std::int64_t position = -1;
            EXPECT_EQ(player.GetCurrentPos(&position), 1);
            EXPECT_EQ(position, n);
        }
        // A step does not wait; its pause completes all the same.
        ASSERT_EQ(player.Control(ED_MODE_STEP_FWD), 1);
        EXPECT_TRUE(Settled(player.Graph(), 20000));
        EXPECT_EQ(player.Close(), 1);
    }
}

// A frame number whose time in 100-ns units wraps round 64 bits to the time `wrapped`.
std::int64_t FrameWrappingTo(std::int64_t wrapped, std::int64_t frameTime) {
    std::uint64_t inverse = std::uint64_t(frameTime);  // frameTime is odd: it has an inverse
    for (int i = 0; i < 6; ++i) inverse *= 2 - std::uint64_t(frameTime) * inverse;
    return std::int64_t(std::uint64_t(wrapped) * inverse);
}

TEST_F(PlayerGraph, PositionsBeyondAnyFileAreRefused) {
    constexpr std::int64_t kNtscFrame = 333667;
    CFilePlayer player;
    ASSERT_EQ(player.Open(&params_, g_media->type2.c_str()), 1);
    ASSERT_EQ(player.SetPlayRange(5, 20), 1);
    ASSERT_EQ(player.SetCurrentPos(8), 1);
    const std::int64_t huge[] = {INT64_MAX, INT64_MIN, INT64_MAX / kNtscFrame + 1,
                                 FrameWrappingTo(12 * kNtscFrame + 7, kNtscFrame)};
    for (std::int64_t position : huge) {
        SCOPED_TRACE(position);
        EXPECT_EQ(player.SetCurrentPos(position), 0);
        std::int64_t current = -1;
        EXPECT_EQ(player.GetCurrentPos(&current), 1);
        EXPECT_EQ(current, 8);
    }
    for (std::int64_t position : huge) {
        SCOPED_TRACE(position);
        EXPECT_EQ(player.SetPlayRange(position, 30), 0);
        EXPECT_EQ(player.SetPlayRange(7, position), 0);
    }
    // Nothing of a refused range was kept: stop goes to the first frame of the range before.
    ASSERT_EQ(player.Control(ED_MODE_STOP), 1);
    std::int64_t current = -1;
    EXPECT_EQ(player.GetCurrentPos(&current), 1);
    EXPECT_EQ(current, 5);
    // Ranges outside the file, however far, are stored without a test; the platform then
    // refuses what it cannot seek to.
    EXPECT_EQ(player.SetPlayRange(-3, 1000000000000), 1);
    EXPECT_EQ(player.SetCurrentPos(-1), 0);
    EXPECT_EQ(player.SetCurrentPos(kFrames - 2), 1);
    EXPECT_EQ(player.Close(), 1);
}

// Completions are queued faster than the player restarts the range, so a restart is under way
// whenever Close comes; none may run the graph after Close has stopped it.
TEST_F(PlayerGraph, CloseLeavesTheGraphStoppedWhileLoopRestartsGoOn) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        CFilePlayer player;
        ASSERT_EQ(player.Open(&params_, g_media->type2.c_str()), 1);
        ComPtr<IGraphBuilder> graph(player.Graph());  // outlives the player's own reference
        auto events = graph.As<IMediaEventEx>();
        ASSERT_EQ(events->CancelDefaultHandling(EC_COMPLETE), S_OK);  // every one is queued
        ASSERT_EQ(player.SetLoop(1), 1);
        ASSERT_EQ(player.SetPlayRange(10, 12), 1);
        ASSERT_EQ(player.Control(ED_MODE_PLAY), 1);
        auto sink = graph.As<IMediaEventSink>();
        for (int i = 0; i < 100; ++i) sink->Notify(EC_COMPLETE, S_OK, 0);
        EXPECT_EQ(player.Close(), 1);
        OAFilterState state = State_Running;
        EXPECT_EQ(graph.As<IMediaControl>()->GetState(0, &state), S_OK);
        EXPECT_EQ(state, State_Stopped);
    }
}

}  // namespace
