// The capture family against running virtual decks: preview, transport, timecode, capabilities,
// recording, unplugging and writing a file to tape.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <QWidget>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/com/com.h"
#include "platform/dv/subcode.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/support/dv_media.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_filters.h"
#include "tests/toolkit/capture/capture_deck_fixture.h"
#include "toolkit/capture/dv_capture.h"
#include "toolkit/tovik.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

extern char** environ;

using namespace capture_test;

namespace {

using namespace std::chrono_literals;
using velmora::test::ProcessEventsUntil;

TEST_F(CaptureDeck, OpensEachWayAndDrivesTheTransport) {
    auto deck = StartDeck("Deck");
    Open(0);
    EXPECT_EQ(Tovik_GetError(handle_), 0);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_PLAY);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_FREEZE, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_FREEZE);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_PLAY_FASTEST_REV, 0), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_PLAY_FASTEST_REV);
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_STOP, 25), 1);
    EXPECT_EQ(Tovik_GetControlStatus(handle_), ED_MODE_STOP);
    // The platform's shuttle mode has no AV/C command; its rate is not supported either.
    EXPECT_EQ(Tovik_Control(handle_, ED_MODE_SHUTTLE, 25), 0);
    Tovik_Close(handle_);

    Open(TOVIK_OPEN_PREVIEW);
    EXPECT_EQ(Tovik_SetPreviewWindowStyle(handle_, 0, 0x40000000), 1);
    TovikRect rect{10, 20, 330, 260};
    EXPECT_EQ(Tovik_SetPreviewWindowRect(handle_, &rect), 1);
    EXPECT_EQ(Tovik_ShowPreviewWindow(handle_, 5), 1);
    EXPECT_EQ(Tovik_ShowPreviewWindow(handle_, 0), 1);
    EXPECT_EQ(Tovik_StopRec(handle_), 0);
}

TEST_F(CaptureDeck, ShuttleLevelsReachTheDeckAsPlaySpeeds) {
    auto deck = StartDeck("Deck");
    Open(0);
    for (auto [level, forward, reverse] :
         {std::tuple{1u, 0x31, 0x41}, {8u, 0x38, 0x48}, {15u, 0x3F, 0x4F}}) {
        EXPECT_EQ(Tovik_Control(handle_, TOVIK_MODE_SHUTTLE_FORWARD, level), 1);
        EXPECT_EQ(deck->State().operand, forward);
        EXPECT_EQ(Tovik_Control(handle_, TOVIK_MODE_SHUTTLE_REVERSE, level), 1);
        EXPECT_EQ(deck->State().operand, reverse);
    }
    EXPECT_EQ(Tovik_Control(handle_, TOVIK_MODE_SHUTTLE_FORWARD, 16), 0);
}

TEST_F(CaptureDeck, TimecodeFollowsTheTape) {
    StartDeck("Deck");
    Open(0);
    TovikTimecode timecode{19, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(Tovik_GetTimecode(handle_, &timecode), 0);
    timecode.size = 24;
    EXPECT_EQ(Tovik_GetTimecode(handle_, &timecode), 0);
    EXPECT_EQ(timecode.hours, 9);
    for (int i = 0; i < 45; ++i) Tovik_Control(handle_, ED_MODE_STEP_FWD, 0);
    timecode.size = 20;
    ASSERT_EQ(Tovik_GetTimecode(handle_, &timecode), 1);
    EXPECT_EQ(timecode.format, 0);  // drop-frame
    EXPECT_EQ(timecode.hours, 0);
    EXPECT_EQ(timecode.minutes, 0);
    EXPECT_EQ(timecode.seconds, 1);
    EXPECT_EQ(timecode.frames, 15);
}

TEST_F(CaptureDeck, CapabilitiesComeFromTheDecksAnswers) {
    auto deck = StartDeck("Deck");
    Open(0);
    TovikCapability capability{20, 0, 0, 0, 0};
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(capability.unitType, 4);
    EXPECT_EQ(capability.deviceType, ED_DEVTYPE_VCR);
    EXPECT_EQ(capability.medium, 0x10000);
    EXPECT_EQ(capability.transport, 0x7FFFu);

    vdeck::Faults faults;
    faults.onlyImplemented = std::set<std::uint16_t>{0xC375, 0xC460, 0x5171};
    deck->SetFaults(faults);
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(capability.transport, 0x4005u);

    faults = {};
    faults.rejectAll = true;
    deck->SetFaults(faults);
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(capability.transport, 0u);
    // A silent deck costs one time-out, not sixteen: the run stops at the first command left
    // unanswered, and the record says nothing was learned.
    faults = {};
    faults.silent = true;
    deck->SetFaults(faults);
    const auto heard = deck->CommandsHeard();
    capability = {20, 0, 0, 0x7FFF, 0x7FFF};
    EXPECT_EQ(Tovik_GetCapability(handle_, &capability), 1);
    EXPECT_EQ(deck->CommandsHeard() - heard, 1u);
    EXPECT_EQ(capability.unitType, 31);
    EXPECT_EQ(capability.deviceType, 4999);
    EXPECT_EQ(capability.medium, -1);
    EXPECT_EQ(capability.transport, 0u);
}

TEST_F(CaptureDeck, RecordsTheDecksFramesByteIdentical) {
    StartDeck("Deck", 14);
    Open(TOVIK_OPEN_PREVIEW);
    auto first = runtime_.Path() / "first.avi", second = runtime_.Path() / "second.avi";
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    ASSERT_EQ(Tovik_StartRec(handle_, first.c_str(), 1), 1);
    TovikProgress progress{};
    std::int64_t last = -1;
    bool grew = false;
    for (int i = 0; i < 10; ++i) {
        Wait(1000ms);
        Tovik_GetRecStatus(handle_, &progress);
        EXPECT_EQ(progress.active, 1);
        grew |= last >= 0 && progress.position > last;
        last = progress.position;
    }
    EXPECT_TRUE(grew);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    Tovik_GetRecStatus(handle_, &progress);
    EXPECT_EQ(progress.active, 0);
    EXPECT_EQ(progress.position, 0);

    // A second recording on the same object, with the preview cut while it runs.
    ASSERT_EQ(Tovik_StartRec(handle_, second.c_str(), 0), 1);
    IPin* preview = nullptr;
    IBaseFilter* tee = nullptr;
    handle_->Graph()->FindFilterByName(u"Smart Tee", &tee);
    tee->FindPin(u"Preview", &preview);
    IPin* peer = nullptr;
    EXPECT_EQ(preview->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    Wait(1000ms);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_EQ(preview->ConnectedTo(&peer), S_OK);
    if (peer) peer->Release();
    preview->Release();
    tee->Release();

    auto probe = velmora::test::RunCommandOutput(
        "ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames,"
        "r_frame_rate -of compact '" +
        first.string() + "'");
    EXPECT_NE(probe.find("codec_name=dvvideo"), std::string::npos) << probe;
    EXPECT_NE(probe.find("30000/1001"), std::string::npos) << probe;
    auto info = velmora::test::RunCommandOutput(
        "mediainfo --Inform='General;%VideoCount% %AudioCount%' '" + first.string() + "'");
    EXPECT_EQ(info.substr(0, 3), "1 1") << info;
    Bytes frames = FramesOf(first);
    EXPECT_GT(frames.size(), 280u * 120000);
    ExpectFramesFromTape(frames);
    EXPECT_GT(FramesOf(second).size(), 15u * 120000);
}

TEST_F(CaptureDeck, ARecordingThatCannotStartIsRefusedAndThePreviewGoesOn) {
    StartDeck("Deck", 4);
    Open(TOVIK_OPEN_PREVIEW);
    Tovik_Control(handle_, ED_MODE_PLAY, 0);
    auto missing = runtime_.Path() / "no such folder" / "take.avi";
    EXPECT_EQ(Tovik_StartRec(handle_, missing.c_str(), 0), 0);
    TovikProgress progress{};
    Tovik_GetRecStatus(handle_, &progress);
    EXPECT_EQ(progress.active, 0);
    EXPECT_TRUE(GraphRunning());
    EXPECT_EQ(Tovik_StopRec(handle_), 0);
    EXPECT_FALSE(HasEvent(EC_ERRORABORT));

    // The object is as it was: the next start into a folder that exists records.
    auto path = runtime_.Path() / "take.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    Wait(800ms);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    Bytes frames = FramesOf(path);
    EXPECT_GT(frames.size(), 5u * 120000);
    ExpectFramesFromTape(frames);
}

// Records onto a 20 MiB file system until it is full.
TEST_F(CaptureDeck, AFullDiskEndsTheRecordingWithACompleteFile) {
    velmora::test::SmallFileSystem disk(runtime_.Path() / "small", 20);
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const auto& small = disk.Path();

    auto deck = StartDeck("Deck", 14, 2.0);
    Open(TOVIK_OPEN_PREVIEW);
    Tovik_Control(handle_, ED_MODE_PLAY, 0);
    auto path = small / "full.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    LPARAM why = 0;
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return HasEvent(TOVIK_EC_RECORDING_STOPPED, &why); }, 30s));
    EXPECT_EQ(static_cast<HRESULT>(why), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_FALSE(HasEvent(EC_ERRORABORT));  // the connection stays
    TovikProgress progress{};
    Tovik_GetRecStatus(handle_, &progress);
    EXPECT_EQ(progress.active, 0);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_TRUE(GraphRunning());

    // A complete file: sizes, counts and the index agree with the frames on disk.
    Bytes file = velmora::test::ReadFileBytes(path);
    ASSERT_GT(file.size(), 100u * 120000);
    EXPECT_EQ(Le32(file, 4), file.size() - 8);  // one RIFF, ending where the file ends
    const std::size_t onDisk = FramesOnDisk(file);
    EXPECT_EQ(Le32(file, 48), onDisk);  // the main header's frame count
    Bytes frames = FramesOf(path);      // read through the index
    EXPECT_EQ(frames.size(), onDisk * 120000);
    ExpectFramesFromTape(frames);
    EXPECT_EQ(ProbedFrames(path), onDisk);

    // With room again the next recording works; the tape is wound back first, as it may have
    // reached its end meanwhile on a slow machine.
    std::filesystem::remove(path);
    window_.events.clear();
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_REW, 0), 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return deck->Position() == 0; }, 10s));
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    auto next = small / "next.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, next.c_str(), 1), 1);
    Wait(700ms);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_FALSE(HasEvent(TOVIK_EC_RECORDING_STOPPED));
    Bytes more = FramesOf(next);
    EXPECT_GT(more.size(), 5u * 120000);
    ExpectFramesFromTape(more);
}

TEST_F(CaptureDeck, AKilledRecordingKeepsEveryFrameThatReachedTheDisk) {
    StartDeck("Deck", 10);
    auto path = runtime_.Path() / "killed.avi";
    const std::string child = RECORD_CHILD_PATH;
    char* const argv[] = {const_cast<char*>(child.c_str()), const_cast<char*>(path.c_str()),
                          nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, child.c_str(), nullptr, nullptr, argv, environ), 0);
    std::error_code ec;
    bool grew = ProcessEventsUntil(
        [&] { return std::filesystem::file_size(path, ec) > 60u * 120008 && !ec; }, 30s);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(grew) << "the child never recorded";
    ASSERT_TRUE(WIFSIGNALED(status));

    Bytes file = velmora::test::ReadFileBytes(path);
    const std::size_t onDisk = FramesOnDisk(file);
    EXPECT_GE(onDisk, 60u);
    Bytes frames = FramesOf(path);
    EXPECT_EQ(frames.size(), onDisk * 120000);
    ExpectFramesFromTape(frames);
    EXPECT_EQ(ProbedFrames(path), onDisk);
}

TEST_F(CaptureDeck, UnpluggingWhileRecordingKeepsEverythingReceived) {
    StartDeck("Deck", 4);
    Open(TOVIK_OPEN_PREVIEW);
    auto path = runtime_.Path() / "unplugged.avi";
    Tovik_Control(handle_, ED_MODE_PLAY, 0);
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    Wait(1500ms);
    servers_.clear();
    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
            for (auto& [code, param] : window_.events)
                if (code == 31) return true;
            return false;
        },
        2s));
    Tovik_Close(handle_);
    handle_ = nullptr;
    Bytes frames = FramesOf(path);
    EXPECT_GT(frames.size(), 30u * 120000);
    ExpectFramesFromTape(frames);
}

TEST_F(CaptureDeck, WritesAFileOntoARecordingDeck) {
    // A file to write: record a little from one deck first.
    auto source = StartDeck("Source", 3);
    Open(TOVIK_OPEN_PREVIEW);
    auto file = runtime_.Path() / "out.avi";
    Tovik_Control(handle_, ED_MODE_PLAY, 0);
    ASSERT_EQ(Tovik_StartRec(handle_, file.c_str(), 1), 1);
    Wait(1500ms);
    Tovik_StopRec(handle_);
    Tovik_Close(handle_);
    handle_ = nullptr;
    servers_.clear();
    Bytes written = FramesOf(file);
    ASSERT_GT(written.size(), 20u * 120000);

    // An empty tape to record onto.
    auto blank = runtime_.Path() / "blank.dv";
    std::string error;
    ASSERT_TRUE(vdeck::MakeSampleTape(blank.string(), 1, 48000, &error));
    std::filesystem::resize_file(blank, 0);
    auto deck =
        std::make_shared<vdeck::Deck>(vdeck::Tape::Open(blank.string(), &error), "Recorder");
    servers_.push_back(std::make_unique<vdeck::DeckServer>(
        deck, vdeck::DeckServer::DefaultSocketPath("Recorder"), 4.0));
    ASSERT_TRUE(servers_.back()->Start(&error));

    Open(TOVIK_OPEN_WRITE);
    EXPECT_EQ(Tovik_WriteStart(handle_), 0);
    // A file that is not DV is refused and leaves nothing behind: the next file loads.
    auto text = runtime_.Path() / "notes.avi";
    std::ofstream(text) << "not a video file";
    EXPECT_EQ(Tovik_SetWriteFile(handle_, text.c_str(), 0), 0);
    EXPECT_EQ(Tovik_SetWriteFile(handle_, (runtime_.Path() / "missing.avi").c_str(), 0), 0);
    EXPECT_EQ(Tovik_WriteStart(handle_), 0);
    ASSERT_EQ(Tovik_SetWriteFile(handle_, file.c_str(), 0), 1);
    EXPECT_EQ(Tovik_SetWriteFile(handle_, file.c_str(), 0), 0);  // one file is cued already
    std::int64_t length = 0;
    Tovik_GetWriteFileLength(handle_, &length);
    EXPECT_EQ(length, static_cast<std::int64_t>(written.size() / 120000));
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_RECORD, 0), 1);
    ASSERT_EQ(Tovik_WriteStart(handle_), 1);
    TovikProgress progress{};
    Tovik_GetWriteStatus(handle_, &progress);
    EXPECT_EQ(progress.active, 1);
    // Completion means every frame is on the deck: a caller stops right away and loses none.
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasEvent(EC_COMPLETE); }, 20s));
    EXPECT_EQ(Tovik_WriteStop(handle_), 1);
    Bytes tape = velmora::test::ReadFileBytes(blank);
    ASSERT_EQ(tape.size(), written.size());
    for (std::size_t at = 0; at < tape.size(); at += 120000)
        ASSERT_TRUE(std::equal(tape.begin() + at, tape.begin() + at + 120000, written.begin() + at))
            << "frame " << at / 120000;
}

}  // namespace

namespace {

using velmora::test::Psnr;

TEST_F(CaptureDeck, StillsAreTheDecodedFrameOnScreen) {
    auto deck = StartDeck("Deck", 3);
    Open(TOVIK_OPEN_PREVIEW);
    auto early = runtime_.Path() / "early.bmp";
    EXPECT_EQ(Tovik_SaveBmp(handle_, early.c_str()), 0);  // nothing arrived yet
    EXPECT_FALSE(std::filesystem::exists(early));

    for (int i = 0; i < 40; ++i) Tovik_Control(handle_, ED_MODE_STEP_FWD, 0);
    const std::int64_t position = deck->Position();
    Wait(600ms);  // the paused deck repeats the still frame
    for (const char* name : {"one.bmp", "two.bmp"}) {
        auto path = runtime_.Path() / name;
        ASSERT_EQ(Tovik_SaveBmp(handle_, path.c_str()), 1);
        Bytes file = velmora::test::ReadFileBytes(path);
        ASSERT_EQ(file.size(), 1036854u);
        EXPECT_EQ(file[0], 'B');
        EXPECT_EQ(file[1], 'M');
        std::int32_t height = 0;
        std::uint16_t bits = 0;
        std::memcpy(&height, file.data() + 22, 4);
        std::memcpy(&bits, file.data() + 28, 2);
        EXPECT_EQ(height, 480);
        EXPECT_EQ(bits, 24);

        Bytes reference = ReferencePicture(position);
        ASSERT_EQ(reference.size(), 1036800u);
        Bytes pixels(file.begin() + 54, file.end());
        EXPECT_GE(Psnr(pixels, reference), 45.0) << name;
    }
    int result = 7;
    Bytes picture(1036800);
    EXPECT_EQ(Tovik_GetOneShot(handle_, picture.data(), &result), 1);
    EXPECT_EQ(result, 0);
}

}  // namespace
