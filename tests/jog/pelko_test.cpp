// The library through its exports, with fake controllers behind the HID layer.

#include "jog/pelko.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel/debug_output.h"
#include "platform/user/window.h"
#include "tests/support/fake_hid.h"
#include "tests/support/qt_main.h"

namespace {

using velmora::test::Bytes;
using velmora::test::FakeHidDevice;
using velmora::test::JogControllerDescriptor;
using velmora::test::KeyboardDescriptor;
using velmora::test::ProcessEventsUntil;
using velmora::test::ScopedFakeHid;

constexpr UINT WM_JOG_NOTIFY = WM_USER + 101;

struct Message {
    WPARAM key;
    LPARAM press;
    bool operator==(const Message&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << "(0x" << std::hex << m.key << std::dec << ", " << m.press << ")";
}

class JogWindow : public QWidget {
  public:
    std::vector<Message> received;

  protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == WM_JOG_NOTIFY) received.push_back({m->wParam, m->lParam});
        m->accept();
        return true;
    }
};

Bytes Keys(std::initializer_list<int> usages) {
    std::uint16_t bits = 0;
    for (int u : usages) bits |= static_cast<std::uint16_t>(1u << (u - 1));
    return {1, static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>(bits >> 8)};
}

Bytes Jog(std::uint8_t step) {
    return {2, step};
}

class PelkoTest : public ::testing::Test {
  protected:
    void TearDown() override { Pelko_Close(); }

    std::shared_ptr<FakeHidDevice> AddController(const std::string& path = "/dev/hidraw1") {
        return fake->Add(path, JogControllerDescriptor());
    }
    int32_t Open() { return Pelko_Open(hwnd, WM_JOG_NOTIFY, 0); }
    // Waits for the messages the reader has posted once it has dealt with every report.
    std::vector<Message> Settle(FakeHidDevice& device, std::size_t expected) {
        EXPECT_TRUE(device.WaitUntilIdle());
        ProcessEventsUntil([&] { return window.received.size() >= expected; });
        return window.received;
    }

    // Opens with notifications on and no key down. The decoder remembers keys for the whole
    // process, so a key an earlier test left down is released here, out of the record.
    void OpenWithNoKeyDown(FakeHidDevice& device) {
        ASSERT_EQ(Open(), 1);
        ASSERT_EQ(Pelko_EnableNotify(1), 1);
        device.Send(Keys({}));
        ASSERT_TRUE(device.WaitUntilIdle());
        ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(5));
        window.received.clear();
    }

    ScopedFakeHid fake;
    JogWindow window;
    HWND hwnd = platform::HwndFromWidget(&window);
};

TEST_F(PelkoTest, WithoutAConsumerControlNothingOpensAndCloseAnswersZero) {
    fake->Add("/dev/hidraw0", KeyboardDescriptor());
    std::vector<std::string> lines;
    std::mutex lock;
    platform::SetDebugSink([&](std::string_view line) {
        std::lock_guard guard(lock);
        lines.emplace_back(line);
    });
    EXPECT_EQ(Open(), 0);
    EXPECT_EQ(Pelko_Close(), 0);
    EXPECT_EQ(Pelko_EnableNotify(1), 0);
    EXPECT_EQ(Pelko_SetLED(1), 0);
    platform::SetDebugSink({});
    EXPECT_EQ(lines.size(), 1u) << "a banner at every open";
}

TEST_F(PelkoTest, OpensOnceAndClosesOnceWithoutWaitingForAReport) {
    auto device = AddController();
    JogWindow second;
    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(Pelko_Open(platform::HwndFromWidget(&second), WM_JOG_NOTIFY, 0), 0);
    EXPECT_EQ(device->Opens(), 2) << "the second open must not touch the device";
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    device->Send(Jog(0x01));
    EXPECT_EQ(Settle(*device, 1), (std::vector<Message>{{0x10001, 1}}));
    EXPECT_TRUE(second.received.empty()) << "the first open's window stays in force";
    EXPECT_EQ(Pelko_Close(), 1);  // no report is pending: the read is cancelled
    EXPECT_EQ(Pelko_Close(), 0);
}

TEST_F(PelkoTest, TakesTheFirstConsumerControlWhateverItsVendorAndSkipsUnopenableOnes) {
    fake->Add("/dev/hidraw0", KeyboardDescriptor());
    auto locked = fake->Add("/dev/hidraw1", JogControllerDescriptor());
    locked->RefuseOpens(true);
    auto first = fake->Add("/dev/hidraw2", JogControllerDescriptor(), 0xFFFF, 0x0000);
    auto later = fake->Add("/dev/hidraw3", JogControllerDescriptor());
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Pelko_SetLED(5), 1);
    EXPECT_EQ(first->FeatureReports().size(), 1u);
    EXPECT_TRUE(later->FeatureReports().empty());
    EXPECT_EQ(later->Opens(), 0);
}

// Keyboards, receivers and headsets have a Consumer Control collection too (three real ones
// here, listed first): the controller is the one whose feature report carries the LED value.
TEST_F(PelkoTest, ConsumerControlsWithoutTheLedFeatureArePassedOver) {
    std::vector<std::shared_ptr<FakeHidDevice>> others;
    for (const char* name : {"046D_C52F_0001_000C", "046D_B010_0001_000C", "047F_C056_0001_000C"}) {
        std::ifstream in(std::string(VELMORA_HID_TESTDATA) + "/" + name + ".hex");
        std::stringstream text;
        text << in.rdbuf();
        others.push_back(fake->Add("/dev/hidraw" + std::to_string(others.size()),
                                   velmora::test::FromHex(text.str())));
        ASSERT_FALSE(others.back()->Descriptor().empty()) << name;
    }
    auto controller = fake->Add("/dev/hidraw9", JogControllerDescriptor());
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Pelko_SetLED(1), 1);
    EXPECT_EQ(controller->FeatureReports(), (std::vector<Bytes>{{3, 1}}));
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    controller->Send(Jog(0x01));
    EXPECT_EQ(Settle(*controller, 1), (std::vector<Message>{{0x10001, 1}}));
}

TEST_F(PelkoTest, NotificationsStayOffAfterReopenUntilEnabled) {
    auto device = AddController();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    ASSERT_EQ(Pelko_Close(), 1);
    ASSERT_EQ(Open(), 1);
    device->Send(Jog(0x01));
    device->Send(Jog(0xFF));
    ASSERT_TRUE(device->WaitUntilIdle());
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    device->Send(Jog(0xFF));
    EXPECT_EQ(Settle(*device, 1), (std::vector<Message>{{0x10000, 1}}));
}

TEST_F(PelkoTest, KeysAndJogStepsBecomeMessages) {
    auto device = AddController();
    OpenWithNoKeyDown(*device);
    device->Send(Keys({13}));
    device->Send(Keys({}));
    device->Send(Jog(0x02));  // neither +1 nor -1
    device->Send({7, 1, 1});  // a report ID the controller does not use
    device->Send(Jog(0x01));
    device->Send(Jog(0xFF));
    EXPECT_EQ(Settle(*device, 4),
              (std::vector<Message>{{0x3000, 1}, {0x3000, 0}, {0x10001, 1}, {0x10000, 1}}));
}

TEST_F(PelkoTest, EveryKeyChangeOfOneReportIsPostedReleasesFirst) {
    auto device = AddController();
    OpenWithNoKeyDown(*device);
    device->Send(Keys({4}));
    device->Send(Keys({11}));  // releases key 4 and presses key 11
    device->Send(Keys({2, 14}));
    EXPECT_EQ(Settle(*device, 6),
              (std::vector<Message>{
                  {0x2001, 1}, {0x2001, 0}, {0x2002, 1}, {0x2002, 0}, {0x1002, 1}, {0x5000, 1}}));
}

TEST_F(PelkoTest, ReportsWhileNotifyIsOffAreDroppedAndNotDecoded) {
    auto device = AddController();
    OpenWithNoKeyDown(*device);
    device->Send(Keys({1}));
    ASSERT_EQ(Settle(*device, 1).size(), 1u);
    ASSERT_EQ(Pelko_EnableNotify(0), 1);
    device->Send(Keys({}));
    device->Send(Keys({2}));
    device->Send(Jog(0x01));
    ASSERT_TRUE(device->WaitUntilIdle());
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    device->Send(Keys({2}));  // compared with key 1 down, the last report decoded
    EXPECT_EQ(Settle(*device, 3), (std::vector<Message>{{0x1004, 1}, {0x1004, 0}, {0x1002, 1}}));
}

TEST_F(PelkoTest, SetLedSendsOneFeatureReportHoldingTheValue) {
    auto device = AddController();
    EXPECT_EQ(Pelko_SetLED(3), 0);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Pelko_SetLED(3), 1);
    EXPECT_EQ(device->FeatureReports(), (std::vector<Bytes>{{3, 3}}));
    device->RefuseFeatures(true);
    EXPECT_EQ(Pelko_SetLED(1), 0);
}

TEST_F(PelkoTest, AControllerThatDisappearsEndsTheReaderQuietly) {
    auto device = AddController();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Pelko_EnableNotify(1), 1);
    ASSERT_TRUE(device->WaitUntilIdle());
    device->Unplug();
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_TRUE(window.received.empty());
    EXPECT_EQ(Pelko_SetLED(1), 0);
    EXPECT_EQ(Pelko_Close(), 1);
    EXPECT_EQ(Open(), 0) << "gone from the list";
}

}  // namespace
