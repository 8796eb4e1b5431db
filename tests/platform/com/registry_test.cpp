#include "platform/com/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/com/registry_value.h"
#include "tests/support/temp_registry.h"

namespace {

class Registry : public ::testing::Test {
  protected:
    HKEY Create(const char16_t* path) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, &disposition),
                  ERROR_SUCCESS);
        return key;
    }
    static LONG SetString(HKEY key, const char16_t* name, std::u16string_view value) {
        std::u16string text(value);
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * 2));
    }

    velmora::test::TempRegistry registry_;
};

TEST_F(Registry, StoresStringValuesUnderNestedKeys) {
    HKEY key = Create(u"CLSID\\{ABC}\\InprocServer32");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SetString(key, nullptr, u"/opt/モジュール.so"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, u"ThreadingModel", u"Both"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // Key names do not depend on case.
    HKEY opened = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CLASSES_ROOT, u"clsid\\{abc}\\inprocserver32", 0, KEY_READ, &opened),
        ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(opened, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    std::u16string expected = u"/opt/モジュール.so";
    EXPECT_EQ(size, (expected.size() + 1) * 2);

    std::vector<BYTE> small(size - 2);
    DWORD smallSize = static_cast<DWORD>(small.size());
    EXPECT_EQ(RegQueryValueExW(opened, nullptr, nullptr, &type, small.data(), &smallSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, size);

    std::vector<BYTE> data(size);
    ASSERT_EQ(RegQueryValueExW(opened, nullptr, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data())), expected);

    char narrow[64];
    DWORD narrowSize = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(opened, "ThreadingModel", nullptr, &type,
                               reinterpret_cast<BYTE*>(narrow), &narrowSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(narrow, "Both");
    EXPECT_EQ(narrowSize, 5u);
    EXPECT_EQ(RegQueryValueExW(opened, u"Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(opened);
}

TEST_F(Registry, KeepsNumbersAndBinaryData) {
    HKEY key = Create(u"Filters\\Instance");
    DWORD merit = 0x200000;
    ASSERT_EQ(RegSetValueExW(key, u"Merit", 0, REG_DWORD, reinterpret_cast<BYTE*>(&merit), 4),
              ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 2, 0xFE, 0xFF, '\n'};
    ASSERT_EQ(RegSetValueExW(key, u"FilterData", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"Bad", 0, REG_DWORD, blob, 3), ERROR_INVALID_PARAMETER);

    DWORD type = 0, value = 0, size = 4;
    ASSERT_EQ(
        RegQueryValueExW(key, u"Merit", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, merit);
    BYTE back[16];
    size = sizeof back;
    ASSERT_EQ(RegQueryValueExW(key, u"FilterData", nullptr, &type, back, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, sizeof blob);
    EXPECT_EQ(std::memcmp(back, blob, size), 0);
    RegCloseKey(key);
}

TEST_F(Registry, DeletesWholeTreesAndRefusesWhatIsMissingOrInvalid) {
    RegCloseKey(Create(u"CLSID\\{A}\\InprocServer32"));
    RegCloseKey(Create(u"CLSID\\{B}"));
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_SUCCESS);

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{A}\\InprocServer32", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{B}", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_FILE_NOT_FOUND);

    // Names that would leave the tree are refused; a closed key is refused, not used.
    EXPECT_NE(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"..\\outside", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_NE(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"a/b", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(registry_.Root().parent_path() / "outside"));
    HKEY stale = Create(u"Stale");
    RegCloseKey(stale);
    EXPECT_EQ(RegCloseKey(stale), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExW(stale, u"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(u""), 2),
              ERROR_INVALID_HANDLE);
}

TEST_F(Registry, ListsSubKeysInOrder) {
    RegCloseKey(Create(u"Root\\Beta"));
    RegCloseKey(Create(u"Root\\Alpha"));
    HKEY root = Create(u"Root");
    WCHAR name[16];
    DWORD length = 16;
    ASSERT_EQ(RegEnumKeyExW(root, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Alpha");
    length = 16;
    ASSERT_EQ(RegEnumKeyExW(root, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Beta");
    length = 16;
    EXPECT_EQ(RegEnumKeyExW(root, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(root);
}

// Value files come from a folder anyone with the user's rights can edit: each one is read
// only as what EncodeValue writes, and anything else is refused without throwing.
TEST(RegistryValue, DecodesOnlyWhatItEncodes) {
    using platform::registry::DecodeValue;
    using platform::registry::EncodeValue;
    using platform::registry::StoredValue;
    for (const StoredValue& value :
         {StoredValue{REG_SZ, "/opt/a b.so"},
          StoredValue{REG_DWORD, std::string("\x2a\0\0\x80", 4)},
          StoredValue{REG_BINARY, std::string("\0\xff\x10", 3)}, StoredValue{9, ""}}) {
        const auto decoded = DecodeValue(EncodeValue(value));
        ASSERT_TRUE(decoded) << EncodeValue(value);
        EXPECT_EQ(decoded->type, value.type);
        EXPECT_EQ(decoded->bytes, value.bytes);
    }
    EXPECT_EQ(DecodeValue("REG_DWORD\n4294967295\n")->bytes, std::string(4, '\xff'));
    EXPECT_EQ(DecodeValue("REG_BINARY 3\n0aFF\n")->bytes, "\x0a\xff");
    for (const char* text :
         {"", "REG_SZ", "REG_DWORD\n", "REG_DWORD\n4294967296", "REG_DWORD\n-1", "REG_DWORD\n 7",
          "REG_DWORD\n12x", "REG_BINARY 3\nzz", "REG_BINARY 3\n1g", "REG_BINARY 3\nabc",
          "REG_BINARY\n00", "REG_BINARY 3x\n00", "REG_BINARY 1\n41", "REG_BINARY 4\n01000000",
          "REG_QWORD\n1"})
        EXPECT_FALSE(DecodeValue(text)) << text;
}

TEST_F(Registry, ValueFilesThatAreNotValuesAreRefused) {
    HKEY key = Create(u"Broken");
    ASSERT_NE(key, nullptr);
    const auto folder = registry_.Root() / "Broken";
    std::ofstream(folder / "@hex", std::ios::binary) << "REG_BINARY 3\nnot hex!";
    std::ofstream(folder / "@big", std::ios::binary) << "REG_SZ\n" << std::string(2 << 20, 'x');
    ASSERT_EQ(::mkfifo((folder / "@pipe").c_str(), 0600), 0);  // would block a plain read
    for (const char* name : {"hex", "big", "pipe"}) {
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, nullptr, &size), ERROR_CANTREAD)
            << name;
    }
    EXPECT_EQ(platform::ReadRegistryString(HKEY_CLASSES_ROOT, "Broken", "hex"), std::nullopt);
    RegCloseKey(key);
}

}  // namespace
