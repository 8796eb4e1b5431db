// The whole chain with the real deck program: velmora-vdeck runs as its own process, the
// window drives it, and what the window recorded is checked with ffprobe and ffmpeg.

#include <QRegularExpression>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>

#include "app/strings.h"
#include "platform/dv/subcode.h"
#include "tests/app/deck_program_fixture.h"
#include "tests/support/dv_media.h"
#include "tests/support/test_filters.h"

namespace velmora::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace ids = app;

class DeckProgram : public DeckProgramTest {
  protected:
    void SetUp() override {
        DeckProgramTest::SetUp();
        StartDeckProgram(TapeSeconds(), DeckOptions());
        tape_ = ReadFileBytes(tapePath_);
        for (std::size_t n = 0; (n + 1) * 120000 <= tape_.size(); ++n) {
            auto pack = platform::dv::FindSubcodePack(tape_.data() + n * 120000, 120000,
                                                      platform::dv::kPackTimecode);
            if (pack) tapeByTimecode_[platform::dv::TimecodeFromPack(*pack)] = n;
        }
    }

    virtual int TapeSeconds() const { return 16; }
    virtual std::vector<std::string> DeckOptions() const { return {}; }

    // Every frame of the file is a frame of the tape, byte for byte; answers the frame count.
    std::size_t ExpectFramesFromTape(const std::filesystem::path& avi) {
        auto frames = ReadAviStream(avi.string());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const Bytes& frame = frames[i];
            EXPECT_EQ(frame.size(), 120000u) << i;
            if (frame.size() != 120000u) break;
            auto pack =
                platform::dv::FindSubcodePack(frame.data(), 120000, platform::dv::kPackTimecode);
            EXPECT_TRUE(pack) << i;
            if (!pack) break;
            auto at = tapeByTimecode_.find(platform::dv::TimecodeFromPack(*pack));
            EXPECT_NE(at, tapeByTimecode_.end()) << i;
            if (at == tapeByTimecode_.end()) break;
            EXPECT_TRUE(std::equal(frame.begin(), frame.end(), tape_.begin() + at->second * 120000))
                << "frame " << i;
        }
        return frames.size();
    }

    // The tape frame whose time code the display shows ("hh:mm:ss.ff DF").
    std::optional<std::size_t> FrameOnDisplay() {
        auto match = QRegularExpression(QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d) "))
                         .match(Text(ids::kIdTimecode));
        if (!match.hasMatch()) return std::nullopt;
        std::uint32_t bcd = 0;
        for (int i = 1; i <= 4; ++i) bcd = bcd << 8 | match.captured(i).toUInt(nullptr, 16);
        auto at = tapeByTimecode_.find(bcd);
        if (at == tapeByTimecode_.end()) return std::nullopt;
        return at->second;
    }

    Bytes tape_;
    std::map<std::uint32_t, std::size_t> tapeByTimecode_;
};

TEST_F(DeckProgram, RecordsTwoNumberedTakesSavesAStillAndNoticesTheDeckGoing) {
    Connect();
    Click(ids::kIdPlay);
    const auto folder = runtime_.Path();
    prompts_.files.push_back(QString::fromStdString((folder / "take.avi").string()));
    Click(ids::kIdChooseFile);
    Click(ids::kIdSerial);
    for (int take = 0; take < 2; ++take) {
        Click(ids::kIdRecord);
        ASSERT_TRUE(window_->Recording());
        Wait(5s);
        Click(ids::kIdRecord);
        ASSERT_FALSE(window_->Recording());
    }
    Click(ids::kIdStop);

    for (const char* name : {"take0000.avi", "take0001.avi"}) {
        const auto file = folder / name;
        ASSERT_TRUE(std::filesystem::exists(file)) << name;
        std::string probe = RunCommandOutput(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
            file.string() + "'");
        auto fields = QString::fromStdString(probe).trimmed().split(QLatin1Char(','));
        ASSERT_EQ(fields.size(), 4) << probe;
        EXPECT_EQ(fields[0], QStringLiteral("dvvideo"));
        EXPECT_EQ(fields[1], QStringLiteral("720"));
        EXPECT_EQ(fields[2], QStringLiteral("480"));
        const int frames = fields[3].toInt();
        EXPECT_GE(frames, 120) << name;  // five seconds at 29.97 frames a second, give or take
        EXPECT_LE(frames, 180) << name;
        EXPECT_EQ(ExpectFramesFromTape(file), static_cast<std::size_t>(frames)) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "take0002.avi"));

    // A still of the paused tape: the decoded tape frame the display names.
    for (int i = 0; i < 20; ++i) Click(ids::kIdNextFrame);
    Wait(800ms);
    auto frame = FrameOnDisplay();
    ASSERT_TRUE(frame) << Text(ids::kIdTimecode).toStdString();
    Click(ids::kIdSaveStill);
    const auto still = folder / "take0000.bmp";
    Bytes bmp = ReadFileBytes(still);
    ASSERT_EQ(bmp.size(), 1036854u);
    const auto raw = folder / "reference.bgr";
    ASSERT_EQ(
        RunCommand("ffmpeg -nostdin -v error -i '" + tapePath_.string() + "' -vf 'select=eq(n\\," +
                   std::to_string(*frame) + "),vflip' -vframes 1 -pix_fmt bgr24 -f rawvideo -y '" +
                   raw.string() + "'"),
        0);
    EXPECT_GE(Psnr(Bytes(bmp.begin() + 54, bmp.end()), ReadFileBytes(raw)), 45.0);

    deck_->Kill();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window_->Connected(); }));
    ASSERT_FALSE(prompts_.messages.empty());
    EXPECT_EQ(prompts_.messages.back().text, QStringLiteral("DV機器がオフラインになりました。"));
    EXPECT_EQ(Combo()->currentIndex(), 0);
    EXPECT_FALSE(Item(ids::kIdPlay)->isEnabled());
}

// A deck that plays at twice the speed fills a small disk in a few seconds, and its tape lasts
// for the take after that too.
class FullDisk : public DeckProgram {
  protected:
    int TapeSeconds() const override { return 40; }
    std::vector<std::string> DeckOptions() const override { return {"--rate", "2"}; }
    // The picture in the preview window, as it is drawn now.
    QImage PreviewPicture() { return Preview() ? Preview()->grab().toImage() : QImage(); }
};

// Records through the window onto a 20 MiB file system until it is full.
TEST_F(FullDisk, TheTakeEndsWithACompleteFileTheUserIsToldAndThePreviewGoesOn) {
    SmallFileSystem disk(runtime_.Path() / "small", 20);
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    Connect();
    Click(ids::kIdPlay);
    const QString base = QString::fromStdString((disk.Path() / "take").string());
    prompts_.files.push_back(base + QStringLiteral(".avi"));
    Click(ids::kIdChooseFile);
    Click(ids::kIdSerial);
    Click(ids::kIdRecord);  // "Monitor" is not ticked: the preview pauses while recording
    ASSERT_TRUE(window_->Recording());

    ASSERT_TRUE(ProcessEventsUntil([&] { return !prompts_.messages.empty(); }, 60s));
    ASSERT_EQ(prompts_.messages.size(), 1u);
    EXPECT_EQ(prompts_.messages[0].text,
              QStringLiteral("ディスクがいっぱいになったため、録画を停止しました。"));
    EXPECT_EQ(prompts_.messages[0].icon, app::PromptIcon::kError);
    // The take has ended as a stop ends it.
    EXPECT_FALSE(window_->Recording());
    EXPECT_EQ(Button(ids::kIdRecord)->text(), QStringLiteral("●"));
    EXPECT_EQ(Button(ids::kIdRecord)->toolTip(), app::LoadString(109));
    EXPECT_EQ(window_->SerialCounter(), 1);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0001.avi"));
    EXPECT_TRUE(window_->Connected());
    // The picture moves again.
    const QImage before = PreviewPicture();
    EXPECT_TRUE(ProcessEventsUntil([&] { return PreviewPicture() != before; }));

    // The file is complete: its sizes, counts and index agree with the frames on disk, and every
    // frame is one of the tape's.
    const auto full = disk.Path() / "take0000.avi";
    const Bytes file = ReadFileBytes(full);
    ASSERT_GT(file.size(), 100u * 120000);
    EXPECT_EQ(Le32At(file, 4), file.size() - 8);
    const std::size_t onDisk = AviFramesOnDisk(file);
    EXPECT_EQ(Le32At(file, 48), onDisk);
    EXPECT_EQ(ProbedVideoFrames(full), onDisk);
    EXPECT_EQ(ExpectFramesFromTape(full), onDisk);

    // With room again, the next take records.
    std::filesystem::remove(full);
    Click(ids::kIdRecord);
    ASSERT_TRUE(window_->Recording());
    Wait(1500ms);
    Click(ids::kIdRecord);
    EXPECT_EQ(prompts_.messages.size(), 1u);
    const auto next = disk.Path() / "take0001.avi";
    EXPECT_GT(ExpectFramesFromTape(next), 20u);
    EXPECT_EQ(ProbedVideoFrames(next), AviFramesOnDisk(ReadFileBytes(next)));
}

}  // namespace
}  // namespace velmora::test
