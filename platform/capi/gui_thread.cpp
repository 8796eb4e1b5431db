#include "platform/capi/gui_thread.h"

#include <QApplication>
#include <QThread>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Owns the thread; the process-lifetime object quits the application and joins it at exit.
class GuiThread {
  public:
    bool Start() {
        std::unique_lock lock(lock_);
        if (started_) return running_;
        started_ = true;
        thread_ = std::thread([this] { Run(); });
        ready_.wait(lock, [this] { return ready_flag_; });
        return running_;
    }

    ~GuiThread() {
        if (!thread_.joinable()) return;
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
        thread_.join();
    }

  private:
    void Run() {
        int argc = 1;
        char name[] = "velmora";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        app.setQuitOnLastWindowClosed(false);
        {
            std::lock_guard lock(lock_);
            running_ = true;
            ready_flag_ = true;
        }
        ready_.notify_all();
        app.exec();
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::thread thread_;
    bool started_ = false;
    bool running_ = false;
    bool ready_flag_ = false;
};

GuiThread g_guiThread;

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
    return g_guiThread.Start();
}

void RunOnGuiThread(const std::function<void()>& work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, work, Qt::BlockingQueuedConnection);
}

}  // namespace platform
