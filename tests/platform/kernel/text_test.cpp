#include "platform/kernel/text.h"

#include <gtest/gtest.h>

#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

namespace {

TEST(Text, RoundTripsJapaneseAndSurrogatePairs) {
    std::string utf8 = "録画 テープ 🎞 a";
    std::u16string wide = platform::Utf8ToUtf16(utf8);
    EXPECT_EQ(wide, u"録画 テープ 🎞 a");
    EXPECT_EQ(platform::Utf16ToUtf8(wide), utf8);
}

TEST(Text, MarksInvalidInput) {
    bool valid = true;
    EXPECT_EQ(platform::Utf8ToUtf16("a\xC0\xAF" "b", &valid), u"a\uFFFDb");  // overlong
    EXPECT_FALSE(valid);
    EXPECT_EQ(platform::Utf8ToUtf16("\xE3\x81", &valid), u"\uFFFD");
    EXPECT_FALSE(valid);
    std::u16string lone = {u'x', char16_t(0xD800)};
    EXPECT_EQ(platform::Utf16ToUtf8(lone, &valid), "x\xEF\xBF\xBD");
    EXPECT_FALSE(valid);
    WCHAR out[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "\xFF", -1, out, 8), 0);
}

TEST(Text, PlatformConversionsNeverCutAString) {
    const char* path = "/tmp/録画.avi";
    int needed = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    EXPECT_EQ(needed, 12);  // 11 characters and the terminator
    WCHAR small[11];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, path, -1, small, 11), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WCHAR wide[12];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 12), 12);
    EXPECT_EQ(std::u16string(wide), u"/tmp/録画.avi");

    char back[32];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr), 16);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 15, nullptr, nullptr), 0);
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 32, nullptr, nullptr), 16);
    EXPECT_STREQ(back, path);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 12), 0);
}

}  // namespace
