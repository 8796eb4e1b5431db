// velmora-capture --analyse on files another program wrote: ffmpeg's raw DV and its type-2 AVI
// carry the time code and recording date they were made with; other files are refused and an
// existing report is never overwritten.

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"

namespace {

using velmora::test::RunCommand;

std::vector<std::string> Lines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int Analyse(const std::filesystem::path& file) {
    return RunCommand(std::string(VELMORA_CAPTURE_PATH) + " --analyse '" + file.string() +
                      "' >/dev/null 2>&1");
}

TEST(Analyse, ReadsTheTimecodeAndRecordingDateOfFfmpegsFiles) {
    velmora::test::TempDir dir;
    const auto dv = dir.Path() / "ff.dv", avi = dir.Path() / "ff.avi";
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -y -loglevel error -f lavfi -i "
                         "testsrc=size=720x480:rate=30000/1001 -f lavfi -i sine=sample_rate=48000 "
                         "-t 1 -c:v dvvideo -pix_fmt yuv411p -c:a pcm_s16le -ac 2 "
                         "-timecode '01:02:03;04' -metadata creation_time=2024-05-06T10:20:30Z "
                         "-f dv '" +
                         dv.string() + "'"),
              0);
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -y -loglevel error -i '" + dv.string() + "' -c copy '" +
                         avi.string() + "'"),
              0);
    for (const auto& file : {dv, avi}) {
        ASSERT_EQ(Analyse(file), 0) << file;
        const auto lines = Lines(file.string() + ".dvlog.jsonl");
        ASSERT_GE(lines.size(), 3u) << file;
        EXPECT_EQ(lines[1].rfind(R"({"frame":0,"timecode":"01:02:03;04",)"
                                 R"("recorded":"2024-05-06T10:20:30","video_errors":0,)",
                                 0),
                  0u)
            << lines[1];
        EXPECT_EQ(lines.back().rfind(R"({"summary":{"frames":)", 0), 0u);
        EXPECT_NE(lines.back().find(R"("last_timecode":"01:02:04;)"), std::string::npos);
    }
    // A second analysis keeps the first report and writes beside it.
    ASSERT_EQ(Analyse(dv), 0);
    EXPECT_TRUE(std::filesystem::exists(dv.string() + ".dvlog.2.jsonl"));

    const auto text = dir.Path() / "notes.txt";
    std::ofstream(text) << "not a DV file at all\n";
    EXPECT_EQ(Analyse(text), 1);
    EXPECT_FALSE(std::filesystem::exists(text.string() + ".dvlog.jsonl"));
    EXPECT_EQ(Analyse(dir.Path() / "missing.avi"), 1);
}

}  // namespace
