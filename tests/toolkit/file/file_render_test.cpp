// Writing DV AVI files from the caller's procedures, in render mode and in synchronised render
// mode, with the source bridge registered in a temporary registry: what ffprobe reads of the
// files, and the pictures read back against the ones given.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "platform/com/com.h"
#include "platform/dv/audio.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "toolkit/file/file_reader.h"
#include "toolkit/tovik.h"

namespace {

namespace dv = velmora::test::dv;
constexpr int kFrames = 300;

// Picture k: smooth gradients that DV keeps well, with a level that changes from frame to frame.
void FillPicture(int k, std::uint8_t* out) {
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 720; ++x, out += 3) {
            out[0] = std::uint8_t((k * 3 + y / 4) & 0xFF);
            out[1] = std::uint8_t(x * 255 / 719);
            out[2] = std::uint8_t(y * 255 / 479);
        }
}

// Fills frame k's audio: 1 kHz on both channels, as many pairs as locked 48 kHz audio has.
LONG FillTone(int k, std::uint8_t* buffer) {
    const int pairs = platform::dv::LockedSamplesInFrame(platform::dv::System::Ntsc525, 48000, k);
    std::int64_t first = 0;
    for (int i = 0; i < k; ++i)
        first += platform::dv::LockedSamplesInFrame(platform::dv::System::Ntsc525, 48000, i);
    auto* pcm = reinterpret_cast<std::int16_t*>(buffer);
    for (int i = 0; i < pairs; ++i)
        pcm[2 * i] = pcm[2 * i + 1] =
            std::int16_t(8000 * std::sin(2 * M_PI * 1000.0 * double(first + i) / 48000.0));
    return pairs * 4;
}

struct Counters {
    std::atomic<int> video{0}, audio{0}, sync{0};
    std::atomic<bool> badCapacity{false};
};

int VideoProc(std::uint8_t* buffer, std::int32_t* size, void* user) {
    auto* c = static_cast<Counters*>(user);
    if (*size < std::int32_t(tovik::kPictureBytes)) c->badCapacity = true;
    const int k = c->video++;
    if (k >= kFrames) return 0;
    FillPicture(k, buffer);
    *size = std::int32_t(tovik::kPictureBytes);
    return 1;
}

int AudioProc(std::uint8_t* buffer, std::int32_t* size, void* user) {
    auto* c = static_cast<Counters*>(user);
    if (*size < std::int32_t(tovik::kFrameAudioBytes)) c->badCapacity = true;
    const int k = c->audio++;
    if (k >= kFrames) return 0;
    *size = FillTone(k, buffer);
    return 1;
}

int SyncProc(std::uint8_t* video, std::int32_t* videoSize, std::uint8_t* audio,
             std::int32_t* audioSize, void* user) {
    auto* c = static_cast<Counters*>(user);
    if (*videoSize != std::int32_t(tovik::kPictureBytes) ||
        *audioSize != std::int32_t(tovik::kFrameAudioBytes))
        c->badCapacity = true;
    const int k = c->sync++;
    if (k >= kFrames) return 0;
    FillPicture(k, video);
    *videoSize = std::int32_t(tovik::kPictureBytes);
    *audioSize = FillTone(k, audio);
    return 1;
}

class FileRenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_TRUE(velmora::test::RegisterBridge());
    }

    // Waits for the graph to finish the streams, then closes (which completes the file).
    static void FinishAndClose(TovikFileHandle file) {
        platform::ComPtr<IMediaEvent> events;
        ASSERT_TRUE(SUCCEEDED(file->Graph()->QueryInterface(IID_IMediaEvent, events.PutVoid())));
        LONG code = 0;
        EXPECT_EQ(events->WaitForCompletion(60000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        EXPECT_EQ(TovikFile_Close(file), 1);
    }

    void CheckFile(const std::string& path) {
        const std::string probe = velmora::test::RunCommandOutput(
            "ffprobe -v error -count_frames -show_entries stream=codec_type,nb_read_frames,"
            "sample_rate -of compact '" +
            path + "'");
        EXPECT_NE(probe.find("codec_type=video|nb_read_frames=300"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_type=audio|sample_rate=48000"), std::string::npos) << probe;
        TovikFileHandle file = TovikFile_Open(path.c_str(), TOVIK_FILE_FRAMES);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(TovikFile_GetLength(file), std::uint32_t(kFrames));
        dv::Bytes got(tovik::kPictureBytes), given(tovik::kPictureBytes);
        for (int k : {0, 150, 299}) {
            ASSERT_EQ(TovikFile_GetFrame(file, std::uint32_t(k), got.data(), nullptr, nullptr), 1);
            FillPicture(k, given.data());
            EXPECT_GE(dv::Psnr(got, given), 35.0) << k;
        }
        TovikFile_Close(file);
    }

    velmora::test::TempRegistry registry_;
    dv::TempDir dir_;
};

TEST_F(FileRenderTest, RenderModeWritesBothStreamsUntilEachProcEnds) {
    const std::string path = dir_ / "render.avi";
    Counters counters;
    TovikFileHandle file = TovikFile_Open(path.c_str(), TOVIK_FILE_RENDER);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TovikFile_SetSyncRenderingProc(file, &SyncProc, &counters), 0);
    EXPECT_EQ(TovikFile_SetRenderProc(file, &VideoProc, &counters, &AudioProc, &counters), 1);
    EXPECT_EQ(TovikFile_StartRendering(file, 0, 0, 0), 1);
    FinishAndClose(file);
    EXPECT_FALSE(counters.badCapacity);
    EXPECT_EQ(counters.video, kFrames + 1);
    EXPECT_EQ(counters.audio, kFrames + 1);
    CheckFile(path);
}

TEST_F(FileRenderTest, SynchronisedModePairsEveryPictureWithItsAudio) {
    const std::string path = dir_ / "sync.avi";
    Counters counters;
    TovikFileHandle file = TovikFile_Open(path.c_str(), TOVIK_FILE_RENDER | TOVIK_FILE_SYNC_RENDER);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TovikFile_SetSyncRenderingProc(file, &SyncProc, &counters), 1);
    EXPECT_EQ(TovikFile_StartRendering(file, 0, 0, 0), 1);
    FinishAndClose(file);
    EXPECT_FALSE(counters.badCapacity);
    EXPECT_EQ(counters.sync, kFrames + 1);
    CheckFile(path);
}

// Never returns 0: only closing ends it.
int EndlessSync(std::uint8_t*, std::int32_t* videoSize, std::uint8_t*, std::int32_t* audioSize,
                void* user) {
    ++static_cast<Counters*>(user)->sync;
    *videoSize = std::int32_t(tovik::kPictureBytes);
    *audioSize = 1600 * 4;
    return 1;
}

TEST_F(FileRenderTest, ClosingDuringSynchronisedRenderingDoesNotHang) {
    Counters counters;
    TovikFileHandle file = TovikFile_Open((dir_ / "closed.avi").c_str(), TOVIK_FILE_SYNC_RENDER);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(TovikFile_SetSyncRenderingProc(file, &EndlessSync, &counters), 1);
    ASSERT_EQ(TovikFile_StartRendering(file, 0, 0, 0), 1);
    while (counters.sync < 5) std::this_thread::yield();
    EXPECT_EQ(TovikFile_Close(file), 1);
}

TEST_F(FileRenderTest, ATargetThatCannotBeWrittenIsRefusedAtTheStart) {
    Counters counters;
    for (int flags : {TOVIK_FILE_RENDER, TOVIK_FILE_RENDER | TOVIK_FILE_SYNC_RENDER}) {
        const std::string path = dir_ / "no such folder" / "render.avi";
        TovikFileHandle file = TovikFile_Open(path.c_str(), flags);
        ASSERT_NE(file, nullptr);
        TovikFile_SetRenderProc(file, &VideoProc, &counters, &AudioProc, &counters);
        TovikFile_SetSyncRenderingProc(file, &SyncProc, &counters);
        EXPECT_EQ(TovikFile_StartRendering(file, 0, 0, 0), 0) << flags;
        EXPECT_EQ(TovikFile_Close(file), 1);
    }
}

TEST_F(FileRenderTest, RenderExportsRefuseNullHandlesAndOtherModes) {
    EXPECT_EQ(TovikFile_SetRenderProc(nullptr, &VideoProc, nullptr, &AudioProc, nullptr), 0);
    EXPECT_EQ(TovikFile_StartRendering(nullptr, 0, 0, 0), 0);
    EXPECT_EQ(TovikFile_SetSyncRenderingProc(nullptr, &SyncProc, nullptr), 0);
    // Bit 2 decides: flags 5 is synchronised render mode.
    TovikFileHandle file = TovikFile_Open((dir_ / "five.avi").c_str(), 5);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TovikFile_SetSyncRenderingProc(file, &SyncProc, nullptr), 1);
    int bytes = 0;
    EXPECT_EQ(TovikFile_GetFrame(file, 0, nullptr, nullptr, &bytes), 0);
    std::int16_t audio[4];
    EXPECT_EQ(TovikFile_GetAudio(file, 0, 1, audio), 0);
    EXPECT_EQ(TovikFile_Close(file), 1);
}

}  // namespace
