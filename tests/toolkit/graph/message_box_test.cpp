// A process with no graphical session (here the offscreen platform) never blocks on the
// toolkit's message box: the text goes to stderr and the call returns.

#include "toolkit/graph/message_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <thread>

namespace {

TEST(HeadlessMessageBox, WritesToStderrAndReturnsWithoutAModalBox) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    EXPECT_FALSE(tovik::CanShowMessageBox());
    // A box that did open would be found and closed here, so the test fails instead of hanging.
    bool sawBox = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            sawBox = true;
            box->close();
        }
    });
    closer.start(50);
    testing::internal::CaptureStderr();
    tovik::ShowMessageBox("ファイルを開けません", tovik::MessageIcon::kError);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sawBox);
    EXPECT_NE(written.find("ファイルを開けません"), std::string::npos) << written;
}

TEST(HeadlessMessageBox, AnotherThreadWritesToStderr) {
    testing::internal::CaptureStderr();
    std::thread other([] {
        EXPECT_FALSE(tovik::CanShowMessageBox());
        tovik::ShowMessageBox("from a worker", tovik::MessageIcon::kWarning);
    });
    other.join();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("from a worker"), std::string::npos);
}

}  // namespace
