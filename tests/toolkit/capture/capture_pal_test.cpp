// The capture family with 625-line (PAL) decks: recordings as exact as the 525-line ones, PAL
// headers, stills of the PAL picture, timecode at 25 frames a second, 12-bit 32 kHz sound of
// both systems, write mode between decks of one system only, and a tape that changes system.

#include <gtest/gtest.h>

#include <fstream>

#include "tests/toolkit/capture/capture_deck_fixture.h"

using namespace capture_test;

namespace {

using namespace std::chrono_literals;
using velmora::test::ProcessEventsUntil;
using velmora::test::RunCommandOutput;

std::string Probe(const std::filesystem::path& file) {
    return RunCommandOutput(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate -of csv=p=0 '" +
        file.string() + "'");
}

TEST_F(CaptureDeck, APalTapeRecordsBitExactAsA625LineFile) {
    StartDeck("Pal", 8, 1.0, System::Pal625);
    Open(TOVIK_OPEN_PREVIEW);
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    auto path = runtime_.Path() / "pal.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    Wait(2500ms);
    TovikTimecode timecode{};
    timecode.size = 20;
    ASSERT_EQ(Tovik_GetTimecode(handle_, &timecode), 1);
    EXPECT_EQ(timecode.format, 2);  // 25 frames a second
    EXPECT_LT(timecode.frames, 25);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_FALSE(HasEvent(TOVIK_EC_RECORDING_STOPPED));

    EXPECT_EQ(Probe(path), "dvvideo,720,576,25/1\n");
    auto info = RunCommandOutput("mediainfo --Inform='Video;%Width% %Height% %FrameRate%' '" +
                                 path.string() + "'");
    EXPECT_EQ(info.substr(0, 14), "720 576 25.000") << info;
    Bytes file = velmora::test::ReadFileBytes(path);
    EXPECT_EQ(Le32(file, 32), 40000u);  // microseconds a frame
    Bytes frames = FramesOf(path);
    EXPECT_GT(frames.size(), 40u * 144000);
    ExpectFramesFromTape(frames);
}

TEST_F(CaptureDeck, StillsOfAPalDeckAreItsWholePicture) {
    auto deck = StartDeck("Pal", 3, 1.0, System::Pal625);
    Open(TOVIK_OPEN_PREVIEW);
    for (int i = 0; i < 30; ++i) Tovik_Control(handle_, ED_MODE_STEP_FWD, 0);
    const std::int64_t position = deck->Position();
    Wait(600ms);  // the paused deck repeats the still frame
    // The caller's 720x480 buffer cannot take the picture: refused, untouched.
    Bytes picture(1036800, 0x5A);
    int result = 7;
    EXPECT_EQ(Tovik_GetOneShot(handle_, picture.data(), &result), 0);
    EXPECT_TRUE(std::all_of(picture.begin(), picture.end(), [](auto b) { return b == 0x5A; }));

    auto path = runtime_.Path() / "pal.bmp";
    ASSERT_EQ(Tovik_SaveBmp(handle_, path.c_str()), 1);
    Bytes bmp = velmora::test::ReadFileBytes(path);
    ASSERT_EQ(bmp.size(), 54u + 720 * 576 * 3);
    EXPECT_EQ(Le32(bmp, 18), 720u);
    EXPECT_EQ(Le32(bmp, 22), 576u);
    Bytes reference = ReferencePicture(position);
    ASSERT_EQ(reference.size(), 720u * 576 * 3);
    EXPECT_GE(velmora::test::Psnr(Bytes(bmp.begin() + 54, bmp.end()), reference), 45.0);
}

// 12-bit 32 kHz sound, as camcorders record four channels, of both systems.
TEST_F(CaptureDeck, TwelveBitSoundTapesOfBothSystemsRecordBitExact) {
    for (System system : {System::Ntsc525, System::Pal625}) {
        const bool pal = system == System::Pal625;
        const std::string name = pal ? "Pal32" : "Ntsc32";
        StartDeck(name, 4, 2.0, system, 32000);
        Open(TOVIK_OPEN_PREVIEW, 0);
        Tovik_Control(handle_, ED_MODE_PLAY, 0);
        auto path = runtime_.Path() / (name + ".avi");
        ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
        Wait(1200ms);
        ASSERT_EQ(Tovik_StopRec(handle_), 1);
        Tovik_Close(handle_);
        handle_ = nullptr;
        servers_.clear();
        auto rate = RunCommandOutput(
            "ffprobe -v error -select_streams a:0 -show_entries "
            "stream=sample_rate -of csv=p=0 '" +
            path.string() + "'");
        EXPECT_EQ(rate, "32000\n") << name;
        Bytes frames = FramesOf(path);
        EXPECT_GT(frames.size(), 30u * frameSize_) << name;
        ExpectFramesFromTape(frames);
    }
}

TEST_F(CaptureDeck, WriteModePlaysAPalFileToAPalDeckAndRefusesTheOtherSystem) {
    // Files to write: a little of a PAL tape and of an NTSC tape.
    std::filesystem::path files[2];
    for (System system : {System::Ntsc525, System::Pal625}) {
        const bool pal = system == System::Pal625;
        StartDeck(pal ? "PalSource" : "NtscSource", 3, 2.0, system);
        Open(TOVIK_OPEN_PREVIEW);
        Tovik_Control(handle_, ED_MODE_PLAY, 0);
        files[pal] = runtime_.Path() / (pal ? "pal.avi" : "ntsc.avi");
        ASSERT_EQ(Tovik_StartRec(handle_, files[pal].c_str(), 1), 1);
        Wait(800ms);
        Tovik_StopRec(handle_);
        Tovik_Close(handle_);
        handle_ = nullptr;
        servers_.clear();
    }
    Bytes written = FramesOf(files[1]);
    ASSERT_GT(written.size(), 10u * 144000);

    // A blank tape in a PAL deck.
    auto blank = runtime_.Path() / "blank.dv";
    std::ofstream(blank).close();
    std::string error;
    auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(blank.string(), &error), "Recorder",
                                              System::Pal625);
    servers_.push_back(std::make_unique<vdeck::DeckServer>(
        deck, vdeck::DeckServer::DefaultSocketPath("Recorder"), 4.0));
    ASSERT_TRUE(servers_.back()->Start(&error));
    Open(TOVIK_OPEN_WRITE);
    EXPECT_EQ(Tovik_SetWriteFile(handle_, files[0].c_str(), 0), 0);  // 525 lines: refused
    ASSERT_EQ(Tovik_SetWriteFile(handle_, files[1].c_str(), 0), 1);
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_RECORD, 0), 1);
    ASSERT_EQ(Tovik_WriteStart(handle_), 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasEvent(EC_COMPLETE); }, 20s));
    EXPECT_EQ(Tovik_WriteStop(handle_), 1);
    Bytes tape = velmora::test::ReadFileBytes(blank);
    EXPECT_TRUE(tape == written) << tape.size() << " bytes on tape, " << written.size() << " sent";
}

// A tape whose recordings change from 525 to 625 lines: the recording ends at the change with
// the reason, holding every frame before it.
TEST_F(CaptureDeck, ARecordingStopsWhereTheTapeChangesSystem) {
    auto ntsc = runtime_.Path() / "first.dv", pal = runtime_.Path() / "second.dv";
    std::string error;
    ASSERT_TRUE(vdeck::MakeSampleTape(ntsc.string(), 1, 48000, &error, System::Ntsc525));
    ASSERT_TRUE(vdeck::MakeSampleTape(pal.string(), 1, 48000, &error, System::Pal625));
    auto mixed = runtime_.Path() / "mixed.dv";
    ASSERT_EQ(velmora::test::RunCommand("cat '" + ntsc.string() + "' '" + pal.string() + "' > '" +
                                        mixed.string() + "'"),
              0);
    StartDeckWith("Mixed", mixed, 1.0, System::Ntsc525);
    tape_ = velmora::test::ReadFileBytes(ntsc);  // the frames the file may hold
    Open(TOVIK_OPEN_PREVIEW);
    auto path = runtime_.Path() / "mixed.avi";
    ASSERT_EQ(Tovik_StartRec(handle_, path.c_str(), 1), 1);
    ASSERT_EQ(Tovik_Control(handle_, ED_MODE_PLAY, 0), 1);
    LPARAM why = 0;
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return HasEvent(TOVIK_EC_RECORDING_STOPPED, &why); }, 10s));
    EXPECT_EQ(static_cast<HRESULT>(why), VFW_E_INVALIDMEDIATYPE);
    TovikProgress progress{};
    Tovik_GetRecStatus(handle_, &progress);
    EXPECT_EQ(progress.active, 0);
    ASSERT_EQ(Tovik_StopRec(handle_), 1);
    EXPECT_FALSE(HasEvent(EC_ERRORABORT));
    EXPECT_EQ(Probe(path), "dvvideo,720,480,30000/1001\n");
    Bytes frames = FramesOf(path);
    EXPECT_GT(frames.size(), 20u * 120000);
    EXPECT_LE(frames.size(), 30u * 120000);
    ExpectFramesFromTape(frames);
}

}  // namespace
