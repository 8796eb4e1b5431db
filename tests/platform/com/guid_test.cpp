#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include "platform/com/hresult.h"
#include "platform/kernel/text.h"

namespace {

constexpr GUID kBridge = {0x8FD15CA6, 0x7433, 0x44D4, {0xBC, 0x92, 0x40, 0x1B, 0x37, 0xC5, 0xE3, 0xDD}};

TEST(Guid, FormatsAndParsesTheBracedForm) {
    EXPECT_EQ(platform::FormatGuid(kBridge), "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}");
    auto parsed = platform::ParseGuid("{8fd15ca6-7433-44d4-bc92-401b37c5e3dd}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, kBridge);
    EXPECT_EQ(platform::ParseGuid("8FD15CA6-7433-44D4-BC92-401B37C5E3DD"), kBridge);
}

TEST(Guid, RefusesMalformedText) {
    for (const char* bad : {"", "{}", "{8FD15CA6-7433-44D4-BC92-401B37C5E3D}",
                            "{8FD15CA6-7433-44D4-BC92-401B37C5E3DDX}",
                            "{8FD15CA6x7433-44D4-BC92-401B37C5E3DD}",
                            "{8FD15CA6-7433-44D4-BC92-401B37C5E3DG}",
                            "(8FD15CA6-7433-44D4-BC92-401B37C5E3DD)"}) {
        EXPECT_FALSE(platform::ParseGuid(bad)) << bad;
    }
}

TEST(Guid, WideConversionsCheckTheirBuffers) {
    WCHAR text[39];
    EXPECT_EQ(StringFromGUID2(kBridge, text, 38), 0);
    ASSERT_EQ(StringFromGUID2(kBridge, text, 39), 39);
    EXPECT_EQ(platform::Utf16ToUtf8(text), "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}");
    CLSID back{};
    EXPECT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, kBridge);
    EXPECT_TRUE(FAILED(CLSIDFromString(u"{not-a-guid}", &back)));
}

}  // namespace
