#include "toolkit/graph/message_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>
#include <mutex>

namespace tovik {

namespace {

std::mutex g_lock;
MessageBoxFunction g_function;

}  // namespace

bool CanShowMessageBox() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;
    // These platforms draw into memory or nowhere: nobody could see the box or close it.
    const QString platformName = QGuiApplication::platformName();
    return platformName != QLatin1String("offscreen") && platformName != QLatin1String("minimal") &&
           platformName != QLatin1String("minimalegl");
}

namespace {

void DefaultMessageBox(const std::string& text, MessageIcon icon) {
    if (!CanShowMessageBox()) {
        std::fprintf(stderr, "Tovik: %s\n", text.c_str());
        std::fflush(stderr);
        return;
    }
    const QString caption = QStringLiteral("Tovik");
    const QString message = QString::fromUtf8(text.c_str());
    switch (icon) {
        case MessageIcon::kError:
            QMessageBox::critical(nullptr, caption, message);
            break;
        case MessageIcon::kWarning:
            QMessageBox::warning(nullptr, caption, message);
            break;
        case MessageIcon::kInformation:
            QMessageBox::information(nullptr, caption, message);
            break;
    }
}

}  // namespace

MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function) {
    std::lock_guard lock(g_lock);
    return std::exchange(g_function, std::move(function));
}

void ShowMessageBox(const std::string& text, MessageIcon icon) {
    MessageBoxFunction function;
    {
        std::lock_guard lock(g_lock);
        function = g_function;
    }
    // Called outside the lock: a message box runs a nested event loop.
    if (function) {
        function(text, icon);
    } else {
        DefaultMessageBox(text, icon);
    }
}

}  // namespace tovik
