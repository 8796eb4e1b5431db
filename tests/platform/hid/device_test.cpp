// Device interfaces over fake devices: enumeration, opening, reading, closing, features.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/hid/hid.h"
#include "platform/kernel/thread.h"
#include "tests/support/fake_hid.h"

namespace {

using velmora::test::Bytes;
using velmora::test::FromHex;
using velmora::test::ScopedFakeHid;

// Consumer Control with report 1, and a vendor collection with report 2.
Bytes TwoCollections() {
    return FromHex(
        "05 0C 09 01 A1 01 85 01 19 01 29 08 15 00 25 01 75 01 95 08 81 02 C0"
        " 06 00 FF 09 01 A1 01 85 02 09 01 15 00 26 FF 00 75 08 95 03 81 02 C0");
}

std::vector<std::string> ListInterfaces() {
    GUID hid{};
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, 0, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::string> paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<DWORD> buffer((required + 3) / 4);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = 5;  // the 32-bit size is refused on this build
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        detail->cbSize = sizeof *detail;
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
        EXPECT_TRUE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        paths.emplace_back(reinterpret_cast<const char*>(buffer.data()) + 4);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    return paths;
}

Bytes ReadOne(HANDLE device, DWORD length, BOOL* ok) {
    Bytes report(length, 0xEE);
    DWORD got = 0;
    *ok = platform::hid::ReadReport(device, report.data(), length, &got);
    report.resize(got);
    return report;
}

TEST(HidDevices, OneInterfacePerTopLevelCollectionInNodeOrder) {
    ScopedFakeHid fake;
    fake->Add("/dev/hidraw0", velmora::test::KeyboardDescriptor());
    fake->Add("/dev/hidraw1", TwoCollections());
    fake->Add("/dev/hidraw2", FromHex("05 01 A1 01"));  // does not parse: no interface
    EXPECT_EQ(ListInterfaces(), (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1&col01",
                                                          "/dev/hidraw1&col02"}));
    GUID other = GUID_NULL;
    HDEVINFO set = SetupDiGetClassDevsA(&other, nullptr, 0, DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(HidDevices, EachInterfaceReadsOnlyItsCollectionsReports) {
    ScopedFakeHid fake;
    auto keyboard = fake->Add("/dev/hidraw0", velmora::test::KeyboardDescriptor(), 0x046D, 0xC31C);
    auto combo = fake->Add("/dev/hidraw1", TwoCollections());
    HANDLE vendor = platform::hid::OpenDevice("/dev/hidraw1&col02");
    ASSERT_NE(vendor, INVALID_HANDLE_VALUE);
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(vendor, &pp));
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(pp, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    EXPECT_EQ(caps.InputReportByteLength, 4);
    HidD_FreePreparsedData(pp);

    combo->Send({1, 0xFF});
    combo->Send({2, 7});  // short: padded to the report length
    BOOL ok = FALSE;
    EXPECT_EQ(ReadOne(vendor, 4, &ok), (Bytes{2, 7, 0, 0}));
    EXPECT_TRUE(ok);
    ReadOne(vendor, 3, &ok);
    EXPECT_FALSE(ok) << "a buffer shorter than the report";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    HANDLE kb = platform::hid::OpenDevice("/dev/hidraw0");
    HIDD_ATTRIBUTES attributes{};
    ASSERT_TRUE(HidD_GetAttributes(kb, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x046D);
    EXPECT_EQ(attributes.ProductID, 0xC31C);
    keyboard->Send({0, 0, 4, 0, 0, 0, 0, 0});  // no report IDs: the layer puts a 0 in front
    EXPECT_EQ(ReadOne(kb, 9, &ok), (Bytes{0, 0, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(platform::hid::CloseDevice(kb));
    EXPECT_TRUE(platform::hid::CloseDevice(vendor));
    EXPECT_FALSE(platform::hid::CloseDevice(vendor));
    EXPECT_FALSE(HidD_GetAttributes(vendor, &attributes));
}

TEST(HidDevices, OpensThatCannotSucceedSayWhy) {
    ScopedFakeHid fake;
    fake->Add("/dev/hidraw0", velmora::test::KeyboardDescriptor())->RefuseOpens(true);
    fake->Add("/dev/hidraw1", TwoCollections());
    EXPECT_EQ(platform::hid::OpenDevice("/dev/hidraw0"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    for (const char* path : {"/dev/hidraw9", "/dev/hidraw1", "/dev/hidraw1&col03"}) {
        EXPECT_EQ(platform::hid::OpenDevice(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
    }
    EXPECT_EQ(platform::hid::OpenDevice(nullptr), INVALID_HANDLE_VALUE);
}

TEST(HidDevices, ClosingEndsAWaitingReadAndLeavesASecondOpenWorking) {
    ScopedFakeHid fake;
    auto device = fake->Add("/dev/hidraw0", velmora::test::JogControllerDescriptor());
    HANDLE reader = platform::hid::OpenDevice("/dev/hidraw0");
    HANDLE feature = platform::hid::OpenDevice("/dev/hidraw0");
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(feature, INVALID_HANDLE_VALUE);
    std::atomic<BOOL> result{TRUE};
    std::atomic<DWORD> error{0};
    platform::Thread thread([&] {
        std::uint8_t report[3];
        result = platform::hid::ReadReport(reader, report, sizeof report, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(device->WaitUntilIdle());  // the read is waiting
    EXPECT_TRUE(platform::hid::CloseDevice(reader));
    ASSERT_TRUE(thread.Join());
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    std::uint8_t led[2] = {3, 1};
    EXPECT_TRUE(HidD_SetFeature(feature, led, 2));
    EXPECT_EQ(device->FeatureReports(), (std::vector<Bytes>{{3, 1}}));
    EXPECT_FALSE(HidD_SetFeature(feature, nullptr, 2));
    platform::hid::CloseDevice(feature);
}

TEST(HidDevices, ADeviceThatDisappearsFailsReadsAndFeatures) {
    ScopedFakeHid fake;
    auto device = fake->Add("/dev/hidraw0", velmora::test::JogControllerDescriptor());
    HANDLE handle = platform::hid::OpenDevice("/dev/hidraw0");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::atomic<DWORD> error{0};
    platform::Thread thread([&] {
        std::uint8_t report[3];
        if (!platform::hid::ReadReport(handle, report, sizeof report, nullptr))
            error = GetLastError();
    });
    ASSERT_TRUE(device->WaitUntilIdle());
    device->Unplug();
    ASSERT_TRUE(thread.Join());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    std::uint8_t led[2] = {3, 1};
    EXPECT_FALSE(HidD_SetFeature(handle, led, 2));
    EXPECT_TRUE(platform::hid::CloseDevice(handle));
    EXPECT_TRUE(ListInterfaces().empty());
}

}  // namespace
