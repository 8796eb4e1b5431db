// BMP files of pictures: the header, the size, the row order, and failures that leave
// nothing half-written behind.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>

#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "toolkit/graph/still.h"

namespace {

template <typename T>
T At(const std::vector<std::uint8_t>& file, std::size_t offset) {
    T value{};
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

std::vector<std::uint8_t> Picture() {
    std::vector<std::uint8_t> picture(tovik::kPictureBytes);
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<std::uint8_t>(i * 7 / 3);
    return picture;
}

std::size_t FilesIn(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

TEST(BmpFile, HeaderFieldsSizeAndRowOrder) {
    velmora::test::TempDir dir;
    const auto path = dir.Path() / "still.bmp";
    const auto picture = Picture();
    ASSERT_TRUE(tovik::WriteBmpFile(path.c_str(), picture.data()));
    const auto file = velmora::test::ReadFileBytes(path);
    ASSERT_EQ(file.size(), 1036854u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(At<std::uint32_t>(file, 2), 1036854u);
    EXPECT_EQ(At<std::uint32_t>(file, 6), 0u);  // both reserved words
    EXPECT_EQ(At<std::uint32_t>(file, 10), 54u);
    EXPECT_EQ(At<std::uint32_t>(file, 14), 40u);
    EXPECT_EQ(At<std::int32_t>(file, 18), 720);
    EXPECT_EQ(At<std::int32_t>(file, 22), 480);
    EXPECT_EQ(At<std::uint16_t>(file, 26), 1);
    EXPECT_EQ(At<std::uint16_t>(file, 28), 24);
    EXPECT_EQ(At<std::uint32_t>(file, 30), 0u);
    EXPECT_EQ(At<std::uint32_t>(file, 34), 1036800u);
    for (std::size_t offset = 38; offset < 54; offset += 4)
        EXPECT_EQ(At<std::uint32_t>(file, offset), 0u);
    // The picture's first row (the bottom one) is the file's first pixel row, byte for byte.
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), file.begin() + 54));
    EXPECT_EQ(FilesIn(dir.Path()), 1u);  // no temporary left beside it
}

TEST(BmpFile, AFailedWriteLeavesNoFileAndKeepsTheOldOne) {
    velmora::test::TempDir dir;
    const auto path = dir.Path() / "still.bmp";
    {
        std::ofstream old(path);
        old << "old picture";
    }
    // Files may not grow past 100000 bytes: the write fails part-way.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const auto picture = Picture();
    const bool written = tovik::WriteBmpFile(path.c_str(), picture.data());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(written);
    EXPECT_EQ(velmora::test::ReadFileBytes(path).size(), 11u);
    EXPECT_EQ(FilesIn(dir.Path()), 1u);

    // A folder in the way, or no folder at all.
    const auto folder = dir.Path() / "taken";
    std::filesystem::create_directory(folder);
    EXPECT_FALSE(tovik::WriteBmpFile(folder.c_str(), picture.data()));
    EXPECT_FALSE(tovik::WriteBmpFile((dir.Path() / "missing" / "x.bmp").c_str(), picture.data()));
    EXPECT_EQ(FilesIn(dir.Path()), 2u);
}

}  // namespace
