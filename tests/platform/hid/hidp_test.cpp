// The descriptor parser and the HidP_ functions on descriptors written for each rule.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/hid/preparsed.h"
#include "tests/support/fake_hid.h"

namespace {

using velmora::test::Bytes;
using velmora::test::FromHex;

struct FreePreparsed {
    void operator()(_HIDP_PREPARSED_DATA* p) const { HidD_FreePreparsedData(p); }
};
using Preparsed = std::unique_ptr<_HIDP_PREPARSED_DATA, FreePreparsed>;

Preparsed Prepare(const Bytes& descriptor, std::size_t collection = 0) {
    auto tops = platform::hid::ParseReportDescriptor(descriptor);
    if (!tops || collection >= tops->size()) return nullptr;
    return Preparsed(platform::hid::NewPreparsedData((*tops)[collection]));
}

std::vector<USAGE_AND_PAGE> Usages(const Preparsed& pp, Bytes report, NTSTATUS* status,
                                   ULONG capacity = 16) {
    std::vector<USAGE_AND_PAGE> list(capacity);
    ULONG length = capacity;
    *status =
        HidP_GetUsagesEx(HidP_Input, 0, list.data(), &length, pp.get(),
                         reinterpret_cast<PCHAR>(report.data()), static_cast<ULONG>(report.size()));
    list.resize(std::min(length, capacity));
    return list;
}

std::vector<USAGE> UsageIds(const std::vector<USAGE_AND_PAGE>& list) {
    std::vector<USAGE> ids;
    for (const auto& u : list) ids.push_back(u.Usage);
    return ids;
}

// A constant main item is room in the report, never a capability, even with a usage before it
// (as the original platform parses such a feature item: Constant + Variable, 1 bit).
TEST(HidParser, ConstantItemsTakeRoomButGiveNoCapabilityEvenWithAUsage) {
    const Bytes descriptor = FromHex(
        "05 0C 09 01 A1 01"
        " 85 01 09 E9 15 00 25 01 75 01 95 01 81 03"  // input: a usage on a constant bit
        " 09 EA 75 01 95 01 81 02"                    // then a real one
        " 75 06 95 01 81 03"                          // padding
        " 85 03 09 01 75 01 95 01 B1 03"              // feature: a usage on a constant bit
        " 06 00 FF 0A 00 02 15 00 26 FF 00 75 08 95 01 B1 02 C0");  // the LED value
    auto tops = platform::hid::ParseReportDescriptor(descriptor);
    ASSERT_TRUE(tops);
    ASSERT_EQ(tops->size(), 1u);
    const auto& top = (*tops)[0];
    ASSERT_EQ(top.caps.size(), 2u);
    EXPECT_EQ(top.caps[0].type, platform::hid::ReportType::Input);
    EXPECT_EQ(top.caps[0].usageMin, 0xEA);
    EXPECT_EQ(top.caps[0].bitPosition, 1);  // after the constant bit
    EXPECT_EQ(top.caps[1].type, platform::hid::ReportType::Feature);
    EXPECT_EQ(top.caps[1].usagePage, 0xFF00);
    EXPECT_EQ(top.caps[1].bytePosition, 1);
    EXPECT_EQ(top.caps[1].bitPosition, 1);
    EXPECT_EQ(top.reportLength[2], 3);  // report ID, the constant bit and the 8-bit value
}

TEST(HidParser, ReportLengthsIncludeAReportIdByteThatReadsZeroWithoutIds) {
    auto keyboard = Prepare(velmora::test::KeyboardDescriptor());
    ASSERT_TRUE(keyboard);
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(keyboard.get(), &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.UsagePage, 0x01);
    EXPECT_EQ(caps.Usage, 0x06);
    EXPECT_EQ(caps.InputReportByteLength, 9);
    EXPECT_EQ(caps.OutputReportByteLength, 2);
    EXPECT_EQ(caps.FeatureReportByteLength, 0);
    EXPECT_EQ(caps.NumberInputButtonCaps, 2);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, keyboard.get()), 14u);

    NTSTATUS status = 0;
    // Left shift (bitmap, ascending bit order), then keys a and b from the array field.
    auto down = Usages(keyboard, {0, 0x02, 0, 0x04, 0x05, 0, 0, 0, 0}, &status);
    ASSERT_EQ(status, HIDP_STATUS_SUCCESS);
    EXPECT_EQ(UsageIds(down), (std::vector<USAGE>{0xE1, 0x04, 0x05}));
    EXPECT_EQ(down[0].UsagePage, 0x07);
    Usages(keyboard, {0, 0x02, 0, 0x04}, &status);
    EXPECT_EQ(status, HIDP_STATUS_INVALID_REPORT_LENGTH);
}

TEST(HidParser, ButtonsAreReadOnlyFromReportsThatHaveThem) {
    auto jog = Prepare(velmora::test::JogControllerDescriptor());
    ASSERT_TRUE(jog);
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(jog.get(), &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 3);
    EXPECT_EQ(caps.FeatureReportByteLength, 2);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, jog.get()), 14u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0x0C, jog.get()), 0u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Feature, 0, jog.get()), 0u);

    NTSTATUS status = 0;
    EXPECT_EQ(UsageIds(Usages(jog, {1, 0x05, 0x20}, &status)), (std::vector<USAGE>{1, 3, 14}));
    EXPECT_EQ(status, HIDP_STATUS_SUCCESS);
    Usages(jog, {2, 0x01, 0}, &status);
    EXPECT_EQ(status, HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    Usages(jog, {1, 0x07, 0}, &status, 2);
    EXPECT_EQ(status, HIDP_STATUS_BUFFER_TOO_SMALL);
}

TEST(HidParser, SeparateUsagesOfOneItemComeLastDeclaredFirst) {
    auto pp =
        Prepare(FromHex("05 0C 09 01 A1 01 09 E9 09 EA 09 E2 15 00 25 01 75 01 95 03"
                        " 81 02 75 05 95 01 81 03 C0"));
    ASSERT_TRUE(pp);
    NTSTATUS status = 0;
    EXPECT_EQ(UsageIds(Usages(pp, {0, 0x07}, &status)), (std::vector<USAGE>{0xE2, 0xEA, 0xE9}));
    EXPECT_EQ(UsageIds(Usages(pp, {0, 0x01}, &status)), (std::vector<USAGE>{0xE9}));
}

TEST(HidParser, ArrayIndicesRunAcrossAllTheItemsUsages) {
    // Usages 1-3 then 0x10, indices from logical minimum 1; 0 is "no key".
    auto pp =
        Prepare(FromHex("05 0C 09 01 A1 01 19 01 29 03 09 10 15 01 25 04 75 08 95 02"
                        " 81 00 C0"));
    ASSERT_TRUE(pp);
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(pp.get(), &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.NumberInputButtonCaps, 2);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, pp.get()), 2u);
    NTSTATUS status = 0;
    EXPECT_EQ(UsageIds(Usages(pp, {0, 4, 2}, &status)), (std::vector<USAGE>{0x10, 2}));
    EXPECT_EQ(UsageIds(Usages(pp, {0, 0, 9}, &status)), (std::vector<USAGE>{}));
}

TEST(HidParser, FourByteUsagesPushPopAndLongItems) {
    auto tops = platform::hid::ParseReportDescriptor(FromHex(
        "05 01 09 02 A1 01 A4 05 09 19 01 29 02 75 01 95 02 81 02 B4"  // buttons inside push
        " FE 02 00 AA BB"                                              // a long item
        " 0B 38 02 0C 00 75 08 95 01 81 06"                            // Consumer AC Pan
        " 09 30 81 02 75 06 81 03 C0"));                               // X, padding
    ASSERT_TRUE(tops);
    const auto& caps = (*tops)[0].caps;
    ASSERT_EQ(caps.size(), 3u);
    EXPECT_EQ(caps[0].usagePage, 0x09);
    EXPECT_EQ(caps[1].usagePage, 0x0C);
    EXPECT_EQ(caps[1].usageMin, 0x0238);
    EXPECT_EQ(caps[1].bytePosition, 1);
    EXPECT_EQ(caps[1].bitPosition, 2);
    EXPECT_EQ(caps[2].usagePage, 0x01) << "the page from before the push";
    EXPECT_EQ(caps[2].bytePosition, 2);
    EXPECT_EQ(caps[2].bitPosition, 2);
    EXPECT_EQ((*tops)[0].reportLength[0], 4);
}

TEST(HidParser, SetUsageValueWritesTheFieldAndTheReportId) {
    auto jog = Prepare(velmora::test::JogControllerDescriptor());
    ASSERT_TRUE(jog);
    char report[2] = {0, 0};
    ASSERT_EQ(HidP_SetUsageValue(HidP_Feature, 0xFF00, 0, 0x0200, 0x1FF, jog.get(), report, 2),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(report[0], 3);
    EXPECT_EQ(static_cast<std::uint8_t>(report[1]), 0xFF);
    ULONG value = 0;
    EXPECT_EQ(HidP_GetUsageValue(HidP_Feature, 0xFF00, 0, 0x0200, &value, jog.get(), report, 2),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFu);

    char other[2] = {1, 0};
    EXPECT_EQ(HidP_SetUsageValue(HidP_Feature, 0xFF00, 0, 0x0200, 3, jog.get(), other, 2),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Feature, 0xFF00, 0, 0x0201, 3, jog.get(), report, 2),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Feature, 0xFF00, 0, 0x0200, 3, jog.get(), report, 3),
              HIDP_STATUS_INVALID_REPORT_LENGTH);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Output, 0xFF00, 0, 0x0200, 3, jog.get(), report, 2),
              HIDP_STATUS_INVALID_REPORT_LENGTH);
}

TEST(HidParser, UsageListDifferenceSplitsReleasesFromPresses) {
    USAGE previous[4] = {4, 1, 0, 0};
    USAGE current[4] = {11, 4, 11, 0};
    USAGE released[4] = {9, 9, 9, 9};
    USAGE pressed[4] = {9, 9, 9, 9};
    ASSERT_EQ(HidP_UsageListDifference(previous, current, released, pressed, 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<USAGE>(released, released + 4), (std::vector<USAGE>{1, 0, 0, 0}));
    EXPECT_EQ(std::vector<USAGE>(pressed, pressed + 4), (std::vector<USAGE>{11, 0, 0, 0}));
}

TEST(HidParser, MalformedDescriptorsAndBadArgumentsAreRefused) {
    for (const char* bad : {
             "",                               // nothing
             "05 01 09 02 A1 01",              // collection left open
             "C0",                             // end without a collection
             "05 01 A1 01 B4 C0",              // pop without push
             "05 01 A1 01 85 00 C0",           // report ID 0
             "75 01 95 02 81 02",              // data outside a collection
             "A1 01 19 05 29 01 81 02 C0",     // range ending below its start
             "A1 01 75 FF 96 FF FF 81 02 C0",  // report longer than 65535 bytes
             "A1 01 FE 10 00 C0",              // long item past the end
             "A1 01 27 01 02 C0",              // short item past the end
         })
        EXPECT_FALSE(platform::hid::ParseReportDescriptor(FromHex(bad))) << bad;

    // Every cut of a valid descriptor parses or is refused; none is read past its end.
    const Bytes jog = velmora::test::JogControllerDescriptor();
    for (std::size_t n = 0; n < jog.size(); ++n)
        EXPECT_FALSE(platform::hid::ParseReportDescriptor({jog.data(), n})) << n;

    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, nullptr), 0u);
    auto pp = Prepare(jog);
    EXPECT_EQ(HidP_MaxUsageListLength(static_cast<HIDP_REPORT_TYPE>(7), 0, pp.get()), 0u);
    _HIDP_PREPARSED_DATA* raw = pp.release();
    EXPECT_EQ(HidD_FreePreparsedData(raw), TRUE);
    EXPECT_EQ(HidD_FreePreparsedData(raw), FALSE) << "a second free is refused";
}

}  // namespace
