#pragma once
// The real main window in this process, its prompts answered by the test, a fake HID bus (so
// no real controller is touched) and virtual decks published under a private runtime folder.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <memory>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"
#include "app/prompts.h"
#include "platform/com/com.h"
#include "tests/support/dv_media.h"
#include "tests/support/fake_hid.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"

namespace velmora::test {

using namespace std::chrono_literals;

class ScriptedPrompts : public app::Prompts {
  public:
    struct Shown {
        QString text;
        app::PromptIcon icon;
        app::PromptButtons buttons;
    };
    std::vector<Shown> messages;
    std::deque<app::PromptAnswer> answers;  // for Yes/No questions; No when empty
    std::deque<QString> files;  // for the file dialog; cancel when empty (or an empty name)
    std::vector<app::SaveFileRequest> fileRequests;

    app::PromptAnswer Message(QWidget*, const QString& text, app::PromptIcon icon,
                              app::PromptButtons buttons) override {
        messages.push_back({text, icon, buttons});
        if (buttons == app::PromptButtons::kOk) return app::PromptAnswer::kOk;
        if (answers.empty()) return app::PromptAnswer::kNo;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<QString> SaveFile(QWidget*, const app::SaveFileRequest& request) override {
        fileRequests.push_back(request);
        if (files.empty()) return std::nullopt;
        QString file = files.front();
        files.pop_front();
        if (file.isEmpty()) return std::nullopt;
        return file;
    }
};

class DeckWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(RegisterBridge());
        previousPrompts_ = app::SetPrompts(&prompts_);
        window_ = std::make_unique<app::CDeckDlg>();
        window_->show();
    }
    void TearDown() override {
        window_.reset();
        app::SetPrompts(previousPrompts_);
        CoUninitialize();
    }

    QWidget* Item(int id) { return window_->Item(id); }
    QPushButton* Button(int id) { return window_->Button(id); }
    QComboBox* Combo() { return static_cast<QComboBox*>(Item(app::kIdPreviewSize)); }
    QCheckBox* Check(int id) { return static_cast<QCheckBox*>(Item(id)); }
    QString Text(int id) { return static_cast<QLabel*>(Item(id))->text(); }
    void Click(int id) { QTest::mouseClick(Item(id), Qt::LeftButton); }
    void SelectSize(int index) {
        Combo()->setCurrentIndex(index);
        emit Combo()->activated(index);
    }
    void Wait(std::chrono::milliseconds time) {
        ProcessEventsUntil([] { return false; }, time);
    }
    // The preview window: the one child of the main window that is not one of its controls.
    QWidget* Preview() {
        for (QObject* object : window_->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (!child || child->isWindow()) continue;
            bool control = false;
            for (const auto& t : app::MainWindowControls()) control |= Item(t.id) == child;
            if (!control) return child;
        }
        return nullptr;
    }
    // The deck's device calls run on the window's deck worker: waits until it has run every
    // call handed to it and the window has taken in their answers.
    void Settle() {
        EXPECT_TRUE(ProcessEventsUntil([&] { return !window_->DeviceCallsPending(); }));
        QCoreApplication::processEvents();
    }
    // ON, and the wait for the deck's open to succeed or fail.
    void PressOn() {
        Click(app::kIdConnect);
        EXPECT_TRUE(ProcessEventsUntil([&] { return !window_->Connecting(); }));
    }
    void Connect() {
        PressOn();
        ASSERT_TRUE(window_->Connected())
            << (prompts_.messages.empty() ? std::string("no message")
                                          : prompts_.messages.back().text.toStdString());
    }

    TempRegistry registry_;
    TempDir runtime_;
    ScopedFakeHid hid_;
    ScriptedPrompts prompts_;
    app::Prompts* previousPrompts_ = nullptr;
    std::unique_ptr<app::CDeckDlg> window_;
};

}  // namespace velmora::test
