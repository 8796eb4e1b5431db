#include "platform/capi/gui_thread.h"

#include <QApplication>
#include <QThread>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/user/window.h"

namespace platform {

namespace {

// Runs the application on a thread of its own, detached: its event loop runs until the process
// ends. Nothing stops it at exit, since the process's static objects (Qt's among them) are
// destroyed then; the work handed to it is settled before (see SettleGuiThread).
class GuiThread {
  public:
    bool Start() {
        std::unique_lock lock(lock_);
        if (started_) return running_;
        started_ = true;
        std::thread([this] { Run(); }).detach();
        ready_.wait(lock, [this] { return readyFlag_; });
        return running_;
    }

    bool Running() {
        std::lock_guard lock(lock_);
        return running_;
    }

    static GuiThread& Instance() {
        static auto* instance = new GuiThread;  // the thread may outlive static destruction
        return *instance;
    }

  private:
    void Run() {
        argc_ = UseX11() ? 3 : 1;
        auto* app = new QApplication(argc_, argv_);  // lives as long as the process
        app->setQuitOnLastWindowClosed(false);
        {
            std::lock_guard lock(lock_);
            running_ = true;
            readyFlag_ = true;
        }
        ready_.notify_all();
        app->exec();
    }

    // The foreign windows this application hosts are X11 windows, so it talks X11 whenever
    // there is an X server (XWayland too), unless the program chose a platform itself.
    static bool UseX11() {
        const char* platformName = std::getenv("QT_QPA_PLATFORM");
        const char* display = std::getenv("DISPLAY");
        return !(platformName && *platformName) && display && *display;
    }

    char name_[8] = "velmora";
    char option_[10] = "-platform";
    char xcb_[4] = "xcb";
    char* argv_[4] = {name_, option_, xcb_, nullptr};
    int argc_ = 1;
    std::mutex lock_;
    std::condition_variable ready_;
    bool started_ = false;
    bool readyFlag_ = false;
    bool running_ = false;
};

bool HaveDisplay() {
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    if (platformName && *platformName) return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

}  // namespace

bool EnsureGuiApplication() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    if (QCoreApplication::instance() || !HaveDisplay()) return false;
    return GuiThread::Instance().Start();
}

void SettleGuiThread() {
    if (!GuiThread::Instance().Running()) return;
    if (!RunOnWindowThread([] {}, true)) RunOnGuiThread([] {});
}

void RunOnGuiThread(const std::function<void()>& work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, work, Qt::BlockingQueuedConnection);
}

}  // namespace platform
