// The file reader through the library's exports against type-1 AVI files of ffmpeg-made DV
// frames: frame pictures and audio as ffmpeg reads them, 32 kHz frames stretched to 48 kHz,
// sample-exact audio runs, and the calls that must answer 0 without touching a buffer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/dv/audio.h"
#include "tests/platform/dv/dv_media.h"
#include "tests/platform/filters/avi_test_support.h"
#include "toolkit/file/file_reader.h"
#include "toolkit/tovik.h"

namespace {

namespace dv = velmora::test::dv;
namespace pdv = platform::dv;
using Frames = std::vector<dv::Bytes>;
using Samples = std::vector<std::int16_t>;

constexpr int kFrames = 24;
constexpr std::size_t kRowBytes = 720 * 3;

// Everything read from a file, and what it was made of, built once for all tests.
struct Media {
    avi_test::TempDir dir;
    Frames frames;                       // the raw DV frames in the file
    std::vector<dv::Bytes> pictures;     // ffmpeg's decode, bottom-up like the decoder's
    Samples audio;                       // ffmpeg's reading of the frames' audio
    std::vector<std::size_t> firstPair;  // pair number of each frame's first pair
    std::string avi48, avi32;
    Frames frames32;
    std::vector<Samples> audio32;  // the 32 kHz pairs written into each frame
};

Media* g_media = nullptr;

void WriteType1(const Frames& frames, const std::string& path) {
    avi_test::WriteAvi(avi_test::FramesOf(frames), path);
}

// The same pictures with 32 kHz audio: a ramp on the left and its negation on the right.
void Make32k(Media& m) {
    std::int16_t next = -3000;
    for (std::size_t i = 0; i < m.frames.size(); ++i) {
        dv::Bytes frame = m.frames[i];
        const int pairs = pdv::LockedSamplesInFrame(pdv::System::Ntsc525, 32000, std::int64_t(i));
        Samples pcm;
        for (int p = 0; p < pairs; ++p, next += 5) {
            pcm.push_back(next);
            pcm.push_back(std::int16_t(-next));
        }
        pdv::AudioWriteFormat format;
        format.sampleRate = 32000;
        ASSERT_TRUE(pdv::WriteAudio(frame.data(), frame.size(), format, pcm.data(),
                                    std::size_t(pairs), std::size_t(pairs)));
        m.frames32.push_back(std::move(frame));
        m.audio32.push_back(std::move(pcm));
    }
    m.avi32 = m.dir.File("tone32.avi");
    WriteType1(m.frames32, m.avi32);
}

void MakeMedia(Media& m) {
    const std::string raw = m.dir.File("clip.dv");
    ASSERT_TRUE(dv::MakeNtscDv(raw, kFrames));
    m.frames = dv::SplitFrames(dv::ReadFile(raw));
    ASSERT_EQ(m.frames.size(), std::size_t(kFrames));
    for (const auto& p : dv::FfmpegPictures(raw)) m.pictures.push_back(dv::FlipRows(p, kRowBytes));
    m.audio = dv::FfmpegAudio(raw);
    std::size_t at = 0;
    for (const auto& f : m.frames) {
        m.firstPair.push_back(at);
        at += tovik::ReadAudioPack(f.data()).samples;
    }
    m.firstPair.push_back(at);
    ASSERT_GE(m.audio.size(), at * 2);
    m.avi48 = m.dir.File("clip.avi");
    WriteType1(m.frames, m.avi48);
    Make32k(m);
}

class FileReaderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitialize(nullptr);
        g_media = new Media;
        MakeMedia(*g_media);
    }
    static void TearDownTestSuite() {
        delete g_media;
        g_media = nullptr;
    }
    void SetUp() override { ASSERT_FALSE(HasFatalFailure()); }
    const Media& m() { return *g_media; }

    // Pairs first..first+count of ffmpeg's audio.
    Samples Expected(std::size_t first, std::size_t count) {
        return Samples(m().audio.begin() + std::ptrdiff_t(first * 2),
                       m().audio.begin() + std::ptrdiff_t((first + count) * 2));
    }
};

// Closes the handle when the test ends.
struct Handle {
    TovikFileHandle h;
    explicit Handle(TovikFileHandle handle) : h(handle) {}
    ~Handle() { TovikFile_Close(h); }
};

TEST_F(FileReaderTest, NullHandlesAndBadOpensAnswerZero) {
    char buffer[16] = {};
    int bytes = 5;
    EXPECT_EQ(TovikFile_Close(nullptr), 0);
    EXPECT_EQ(TovikFile_GetLength(nullptr), 0u);
    EXPECT_EQ(TovikFile_GetError(nullptr), 0);
    EXPECT_EQ(TovikFile_GetFrame(nullptr, 0, buffer, buffer, &bytes), 0);
    EXPECT_EQ(TovikFile_GetAudio(nullptr, 0, 1, buffer), 0);
    EXPECT_EQ(bytes, 5);
    EXPECT_EQ(TovikFile_Open(m().dir.File("missing.avi").c_str(), 0), nullptr);
    EXPECT_EQ(TovikFile_Open(m().dir.File("clip.dv").c_str(), 0), nullptr);  // not an AVI
    EXPECT_EQ(TovikFile_Open(nullptr, 0), nullptr);
}

// The reader's buffers take 720x480 frames: a 625-line file is refused, saying so.
TEST_F(FileReaderTest, APalFileIsRefusedWithItsOwnErrorCode) {
    const std::string pal = m().dir.File("pal.avi");
    ASSERT_TRUE(
        dv::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=720x576:rate=25 "
                "-frames:v 5 -c:v dvvideo -pix_fmt yuv420p -f avi -y '" +
                pal + "'"));
    for (int flags : {TOVIK_FILE_FRAMES, TOVIK_FILE_AUDIO}) {
        EXPECT_EQ(TovikFile_Open(pal.c_str(), flags), nullptr);
        EXPECT_EQ(TovikFile_GetError(nullptr), TOVIK_FILE_ERROR_625_LINES);
    }
    Handle ntsc(TovikFile_Open(m().avi48.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(ntsc.h, nullptr);
    EXPECT_EQ(TovikFile_GetError(nullptr), 0);
    EXPECT_EQ(TovikFile_Open(m().dir.File("missing.avi").c_str(), 0), nullptr);
    EXPECT_EQ(TovikFile_GetError(nullptr), TOVIK_FILE_ERROR_NOT_DV_AVI);
}

TEST_F(FileReaderTest, FramesDecodeAsFfmpegDoesWithTheirOwnAudio) {
    Handle file(TovikFile_Open(m().avi48.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file.h, nullptr);
    ASSERT_EQ(TovikFile_GetLength(file.h), std::uint32_t(kFrames));
    EXPECT_EQ(TovikFile_GetError(file.h), 0);
    dv::Bytes picture(tovik::kPictureBytes);
    Samples audio(tovik::kFrameAudioBytes / 2);
    // Out of order on purpose: each read seeks.
    for (std::uint32_t n : {std::uint32_t(kFrames / 2), 0u, std::uint32_t(kFrames - 1), 1u}) {
        int bytes = 0;
        ASSERT_EQ(TovikFile_GetFrame(file.h, n, picture.data(), audio.data(), &bytes), 1) << n;
        EXPECT_GE(dv::Psnr(picture, m().pictures[n]), 45.0) << n;
        const std::size_t pairs = m().firstPair[n + 1] - m().firstPair[n];
        ASSERT_EQ(bytes, int(pairs * 4)) << n;
        EXPECT_GE(bytes, 6320);
        EXPECT_LE(bytes, 6480);
        Samples got(audio.begin(), audio.begin() + std::ptrdiff_t(pairs * 2));
        EXPECT_EQ(got, Expected(m().firstPair[n], pairs)) << n;
    }
    // The file's audio comes in frames of different lengths, and GetFrame says so.
    std::set<std::size_t> lengths;
    for (std::size_t i = 0; i < 5; ++i) lengths.insert(m().firstPair[i + 1] - m().firstPair[i]);
    EXPECT_GT(lengths.size(), 1u);
}

TEST_F(FileReaderTest, GetFrameAnswersZeroWithoutTouchingBuffersOutsideTheFile) {
    Handle file(TovikFile_Open(m().avi48.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file.h, nullptr);
    dv::Bytes picture(tovik::kPictureBytes, 0xAB), audio(tovik::kFrameAudioBytes, 0xCD);
    int bytes = -7;
    EXPECT_EQ(TovikFile_GetFrame(file.h, kFrames, picture.data(), audio.data(), &bytes), 0);
    EXPECT_EQ(TovikFile_GetFrame(file.h, 0xFFFFFFFFu, picture.data(), audio.data(), &bytes), 0);
    EXPECT_EQ(bytes, -7);
    EXPECT_TRUE(std::all_of(picture.begin(), picture.end(), [](auto b) { return b == 0xAB; }));
    EXPECT_TRUE(std::all_of(audio.begin(), audio.end(), [](auto b) { return b == 0xCD; }));
    // Nothing asked for: the graph still runs and the call succeeds.
    EXPECT_EQ(TovikFile_GetFrame(file.h, 3, nullptr, nullptr, nullptr), 1);
    // An audio frame buffer needs somewhere to say how much it holds.
    EXPECT_EQ(TovikFile_GetFrame(file.h, 3, nullptr, audio.data(), nullptr), 0);
    // Frame access has no sample index.
    EXPECT_EQ(TovikFile_GetAudio(file.h, 0, 10, audio.data()), 0);
}

// A frame the decoder cannot decode and frames without audio never come back as the data of
// the frame read before them.
TEST_F(FileReaderTest, NothingOfAnEarlierFrameIsReturnedAsThisOnesData) {
    Frames frames(m().frames.begin(), m().frames.begin() + 8);
    frames[4][3] |= 0x80;  // says 625 lines in a 525-line frame's size: nothing to decode
    for (std::size_t n : {6u, 7u}) {
        // No audio source pack in any audio block: the frame carries no sound.
        for (std::size_t seq = 0; seq < 10; ++seq)
            for (std::size_t k = 0; k < 9; ++k)
                std::fill_n(frames[n].begin() + std::ptrdiff_t(seq * 12000 + (6 + 16 * k) * 80 + 3),
                            5, std::uint8_t(0xFF));
    }
    const std::string path = m().dir.File("damaged.avi");
    WriteType1(frames, path);
    Handle file(TovikFile_Open(path.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file.h, nullptr);
    dv::Bytes picture(tovik::kPictureBytes);
    Samples audio(tovik::kFrameAudioBytes / 2);
    int bytes = 0;
    ASSERT_EQ(TovikFile_GetFrame(file.h, 3, picture.data(), audio.data(), &bytes), 1);
    EXPECT_GT(bytes, 6000);
    EXPECT_EQ(TovikFile_GetFrame(file.h, 4, picture.data(), audio.data(), &bytes), 0);

    ASSERT_EQ(TovikFile_GetFrame(file.h, 5, picture.data(), audio.data(), &bytes), 1);
    std::fill(audio.begin(), audio.end(), std::int16_t(0x1234));
    bytes = -1;
    ASSERT_EQ(TovikFile_GetFrame(file.h, 6, picture.data(), audio.data(), &bytes), 1);
    EXPECT_GE(dv::Psnr(picture, m().pictures[6]), 45.0);
    EXPECT_EQ(bytes, 0);  // no sound in this frame, and none of frame 5's
    EXPECT_TRUE(std::all_of(audio.begin(), audio.end(), [](auto v) { return v == 0x1234; }));
}

TEST_F(FileReaderTest, ThirtyTwoKilohertzFramesAreStretchedToOneFrameOf48kHz) {
    Handle file(TovikFile_Open(m().avi32.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file.h, nullptr);
    Samples audio(tovik::kFrameAudioBytes / 2, 0);
    for (std::uint32_t n : {0u, 5u, std::uint32_t(kFrames - 1)}) {
        int bytes = 0;
        ASSERT_EQ(TovikFile_GetFrame(file.h, n, nullptr, audio.data(), &bytes), 1);
        ASSERT_EQ(bytes, 6408);
        const Samples& source = m().audio32[n];
        EXPECT_EQ(audio[0], source[0]);
        EXPECT_EQ(audio[1], source[1]);
        EXPECT_EQ(audio[3202], source[source.size() - 2]) << n;
        EXPECT_EQ(audio[3203], source[source.size() - 1]) << n;
        // A ramp stays a ramp: every output lies between the source's ends, in order.
        for (std::size_t i = 1; i < 1602; ++i) ASSERT_GE(audio[2 * i], audio[2 * i - 2]) << i;
    }
}

// The frames' pictures with audio of the given rate and quantization, `pairs(i)` pairs in
// frame i, whose AAUX source packs then claim AF_SIZE `claimed` (when not negative). Pair n of
// frame i holds (i * 7 + n % 200 - 100, its negation): small values, exact in 12 bits too.
std::string WriteClaimingFile(const Media& m, const char* name, const pdv::AudioWriteFormat& format,
                              int (*pairs)(std::size_t), int claimed) {
    Frames frames;
    for (std::size_t i = 0; i < 6; ++i) {
        dv::Bytes frame = m.frames[i];
        Samples pcm;
        for (int n = 0; n < pairs(i); ++n) {
            pcm.push_back(std::int16_t(int(i) * 7 + n % 200 - 100));
            pcm.push_back(std::int16_t(-pcm.back()));
        }
        if (!pdv::WriteAudio(frame.data(), frame.size(), format, pcm.data(), pcm.size() / 2,
                             pcm.size() / 2))
            return {};
        for (std::size_t seq = 0; claimed >= 0 && seq < 10; ++seq)
            for (std::size_t k = 0; k < pdv::kAudioBlocksPerSequence; ++k) {
                std::uint8_t* pack = frame.data() + pdv::AudioBlockOffset(int(seq), int(k)) + 3;
                if (pack[0] == pdv::kPackAauxSource)
                    pack[1] = std::uint8_t((pack[1] & 0xC0) | claimed);
            }
        frames.push_back(std::move(frame));
    }
    const std::string path = m.dir.File(name);
    WriteType1(frames, path);
    return path;
}

// A crafted AF_SIZE claims more pairs than the frame holds: what GetFrame converts and reports
// stays within the pairs the frame delivered, and GetAudio reads the missing pairs as silence,
// not as the frame before.
TEST_F(FileReaderTest, AudioNeverGoesBeyondThePairsAFrameDelivered) {
    // 32 kHz, 12-bit: the frame holds 1080 pairs; the pack claims 1053 + 63.
    pdv::AudioWriteFormat twelve{32000, pdv::Quantization::Nonlinear12, true};
    const std::string path32 = WriteClaimingFile(
        m(), "claims32.avi", twelve, [](std::size_t) { return 1080; }, 63);
    ASSERT_FALSE(path32.empty());
    Handle file32(TovikFile_Open(path32.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file32.h, nullptr);
    Samples audio(tovik::kFrameAudioBytes / 2, 0x1111);
    int bytes = 0;
    ASSERT_EQ(TovikFile_GetFrame(file32.h, 2, nullptr, audio.data(), &bytes), 1);
    ASSERT_EQ(bytes, 6408);
    EXPECT_EQ(audio[0], 2 * 7 - 100);
    EXPECT_EQ(audio[3202], 2 * 7 + 1079 % 200 - 100) << "the last pair is the frame's last";
    EXPECT_EQ(audio[3203], -(2 * 7 + 1079 % 200 - 100));

    // 48 kHz: the frame holds its capacity, 1620 pairs; the pack claims 1580 + 63.
    const std::string path48 = WriteClaimingFile(
        m(), "claims48.avi", pdv::AudioWriteFormat{}, [](std::size_t) { return 1620; }, 63);
    ASSERT_FALSE(path48.empty());
    Handle file48(TovikFile_Open(path48.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file48.h, nullptr);
    ASSERT_EQ(TovikFile_GetFrame(file48.h, 1, nullptr, audio.data(), &bytes), 1);
    EXPECT_EQ(bytes, int(tovik::kFrameAudioBytes));

    // 44.1 kHz counts as 48 kHz in the pack's arithmetic (1580 + AF_SIZE), but a frame
    // delivers fewer pairs: 1480 in even frames, 1460 in odd ones.
    auto pairs441 = [](std::size_t i) { return i % 2 ? 1460 : 1480; };
    pdv::AudioWriteFormat cd{44100, pdv::Quantization::Linear16, true};
    const std::string path441 = WriteClaimingFile(m(), "claims441.avi", cd, pairs441, -1);
    ASSERT_FALSE(path441.empty());
    Handle file441(TovikFile_Open(path441.c_str(), TOVIK_FILE_FRAMES));
    ASSERT_NE(file441.h, nullptr);
    std::fill(audio.begin(), audio.end(), std::int16_t(0x1111));
    ASSERT_EQ(TovikFile_GetFrame(file441.h, 3, nullptr, audio.data(), &bytes), 1);
    ASSERT_EQ(bytes, pairs441(3) * 4);
    EXPECT_EQ(audio[std::size_t(bytes / 2) - 2], 3 * 7 + (pairs441(3) - 1) % 200 - 100);
    EXPECT_EQ(audio[std::size_t(bytes / 2)], 0x1111) << "written past what was reported";

    // The audio mode indexes 1580 + AF_SIZE pairs a frame: the pairs frame 1 lacks are silent,
    // not what frame 0 had there.
    Handle audioMode(TovikFile_Open(path441.c_str(), TOVIK_FILE_AUDIO));
    ASSERT_NE(audioMode.h, nullptr);
    const std::size_t counted0 = 1580 + std::size_t(pairs441(0) - 1452);
    const std::size_t counted1 = 1580 + std::size_t(pairs441(1) - 1452);
    Samples run((counted0 + counted1) * 2, 0x2222);
    ASSERT_EQ(TovikFile_GetAudio(audioMode.h, 0, std::uint32_t(counted0 + counted1), run.data()),
              1);
    for (std::size_t n = 0; n < counted0 + counted1; ++n) {
        const bool frame1 = n >= counted0;
        const std::size_t k = frame1 ? n - counted0 : n;
        const bool delivered = k < std::size_t(pairs441(frame1 ? 1 : 0));
        const int left = delivered ? int(frame1) * 7 + int(k % 200) - 100 : 0;
        ASSERT_EQ(run[2 * n], left) << "pair " << n;
        ASSERT_EQ(run[2 * n + 1], -left) << "pair " << n;
    }
}

TEST_F(FileReaderTest, AudioModeReadsSampleRunsAcrossFrames) {
    Handle file(TovikFile_Open(m().avi48.c_str(), TOVIK_FILE_AUDIO));
    ASSERT_NE(file.h, nullptr);
    dv::Bytes picture(16, 0xAB);
    int bytes = -7;
    EXPECT_EQ(TovikFile_GetFrame(file.h, 0, picture.data(), picture.data(), &bytes), 0);
    EXPECT_EQ(bytes, -7);
    EXPECT_EQ(picture, dv::Bytes(16, 0xAB));

    const std::size_t total = m().firstPair[kFrames];
    auto read = [&](std::size_t first, std::size_t count, int* result) {
        Samples out(count * 2 + 8, 0x5A5A);
        *result =
            TovikFile_GetAudio(file.h, std::uint32_t(first), std::uint32_t(count), out.data());
        return out;
    };
    int result = 0;
    // Inside frame 2, then across frames 4 to 6 (and again, from the index), then at the end.
    const std::size_t inside = m().firstPair[2] + 100, across = m().firstPair[5] - 1700;
    for (auto [first, count] : {std::pair{inside, std::size_t(300)},
                                {across, std::size_t(3500)},
                                {across, std::size_t(3500)},
                                {total - 10, std::size_t(10)}}) {
        Samples out = read(first, count, &result);
        ASSERT_EQ(result, 1) << first;
        EXPECT_EQ(Samples(out.begin(), out.begin() + std::ptrdiff_t(count * 2)),
                  Expected(first, count))
            << first;
        EXPECT_EQ(out[count * 2], 0x5A5A) << "written past the run";
    }
    // A run past the end gives the samples up to the end and nothing beyond them.
    Samples tail = read(total - 50, 500, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Samples(tail.begin(), tail.begin() + 100), Expected(total - 50, 50));
    EXPECT_EQ(tail[100], 0x5A5A);
    // A first sample beyond the end, and an empty run.
    Samples none = read(total, 4, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(none[0], 0x5A5A);
    read(10, 0, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(TovikFile_GetAudio(file.h, 0, 4, nullptr), 0);
}

// A file of a few thousand frames whose audio is known sample by sample: every pair is its own
// sample number (low 15 bits left, the rest right), and the frames carry 1580 to 1620 pairs in
// an irregular order, so that a sample index one frame off anywhere reads the wrong pairs. The
// AVI RIFFs are kept small, so most frames lie in 'AVIX' continuations and are found through
// their OpenDML indexes.
class LongAudioFileTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kLongFrames = 4096 + 40;

    static std::size_t PairsOf(std::uint32_t frame) { return 1580 + (frame * 17) % 41; }
    static std::int16_t Left(std::size_t n) { return std::int16_t(n & 0x7FFF); }
    static std::int16_t Right(std::size_t n) { return std::int16_t(n >> 15); }

    static void SetUpTestSuite() {
        CoInitialize(nullptr);
        dir_ = new avi_test::TempDir;
        const std::string raw = dir_->File("pictures.dv");
        ASSERT_TRUE(dv::MakeNtscDv(raw, 4));
        const Frames pictures = dv::SplitFrames(dv::ReadFile(raw));
        ASSERT_FALSE(pictures.empty());
        first_ = new std::vector<std::size_t>{0};
        for (std::uint32_t i = 0; i < kLongFrames; ++i)
            first_->push_back(first_->back() + PairsOf(i));
        path_ = new std::string(dir_->File("long.avi"));
        bool written = true;
        avi_test::WriteAvi(
            [&](std::int64_t i, BYTE* out) {
                if (i >= kLongFrames) return false;
                const dv::Bytes& picture = pictures[std::size_t(i) % pictures.size()];
                std::memcpy(out, picture.data(), picture.size());
                Samples pcm;
                for (std::size_t n = (*first_)[std::size_t(i)]; n < (*first_)[std::size_t(i) + 1];
                     ++n) {
                    pcm.push_back(Left(n));
                    pcm.push_back(Right(n));
                }
                written = written && pdv::WriteAudio(out, picture.size(), pdv::AudioWriteFormat{},
                                                     pcm.data(), pcm.size() / 2, pcm.size() / 2);
                return true;
            },
            *path_, 64ull << 20);
        ASSERT_TRUE(written);
    }
    static void TearDownTestSuite() {
        delete path_;
        delete first_;
        delete dir_;
    }
    void SetUp() override { ASSERT_FALSE(HasFatalFailure()); }

    // Reads pairs first..first+count on the handle and compares them with the sample numbers.
    static void ExpectRun(TovikFileHandle file, std::size_t first, std::size_t count) {
        Samples out(count * 2 + 2, 0x5A5A);
        ASSERT_EQ(TovikFile_GetAudio(file, std::uint32_t(first), std::uint32_t(count), out.data()),
                  1)
            << first;
        for (std::size_t k = 0; k < count; ++k) {
            ASSERT_EQ(out[2 * k], Left(first + k)) << "pair " << first + k;
            ASSERT_EQ(out[2 * k + 1], Right(first + k)) << "pair " << first + k;
        }
        EXPECT_EQ(out[count * 2], 0x5A5A) << "written past the run";
    }
    static std::size_t FirstOf(std::uint32_t frame) { return (*first_)[frame]; }

    static inline avi_test::TempDir* dir_ = nullptr;
    static inline std::string* path_ = nullptr;
    static inline std::vector<std::size_t>* first_ = nullptr;  // first pair of each frame
};

TEST_F(LongAudioFileTest, SampleRunsLateInTheFileReadTheirOwnPairs) {
    // Each first request on a new handle builds the index from the start of the file.
    for (std::size_t first : {FirstOf(4096), FirstOf(4096) - 1, FirstOf(4094) + 700}) {
        Handle file(TovikFile_Open(path_->c_str(), TOVIK_FILE_AUDIO));
        ASSERT_NE(file.h, nullptr);
        ASSERT_EQ(TovikFile_GetLength(file.h), kLongFrames);
        ExpectRun(file.h, first, FirstOf(4097) + 3 - first);
    }
    // The index built by one late request, checked entry by entry around frame 4096 (where an
    // index filled in batches of a power of two would go from one batch to the next): the first
    // and the last pair of each frame. Every read corrects the entry after the frames it reads,
    // so the frames go downwards, leaving the entries still to be checked as the fill made them.
    Handle file(TovikFile_Open(path_->c_str(), TOVIK_FILE_AUDIO));
    ASSERT_NE(file.h, nullptr);
    ExpectRun(file.h, FirstOf(kLongFrames) - 10, 10);
    for (std::uint32_t frame = 4104; frame >= 4088; --frame) {
        ExpectRun(file.h, FirstOf(frame + 1) - 1, 1);
        ExpectRun(file.h, FirstOf(frame), 1);
    }
    // Longer runs from the index, and nothing beyond the end.
    ExpectRun(file.h, FirstOf(1000) + 5, 4000);
    ExpectRun(file.h, FirstOf(4095) - 2, 2 * 1620);
    std::int16_t none[4] = {};
    EXPECT_EQ(TovikFile_GetAudio(file.h, std::uint32_t(FirstOf(kLongFrames)), 1, none), 0);
}

}  // namespace
