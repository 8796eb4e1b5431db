// The C exports of the platform's interface for other programs. No exception leaves them.

#include "platform/capi/velmora_platform.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <map>
#include <mutex>

#include "platform/capi/gui_thread.h"
#include "platform/capi/message_window.h"
#include "platform/com/com.h"

namespace {

std::mutex g_windowsLock;
std::map<VelmoraWindow, std::shared_ptr<platform::MessageWindow>>& MessageWindows() {
    static auto* windows = new std::map<VelmoraWindow, std::shared_ptr<platform::MessageWindow>>;
    return *windows;
}

std::shared_ptr<platform::MessageWindow> FindMessageWindow(VelmoraWindow window) {
    std::lock_guard lock(g_windowsLock);
    auto it = MessageWindows().find(window);
    return it == MessageWindows().end() ? nullptr : it->second;
}

// A native widget whose window is a child of the foreign window and fills it.
VelmoraWindow EmbedInForeignWindow(std::uint64_t nativeWindow) {
    if (QGuiApplication::platformName() == QLatin1String("wayland")) return 0;
    QWindow* foreign = QWindow::fromWinId(static_cast<WId>(nativeWindow));
    if (!foreign) return 0;
    auto* container = new QWidget;
    container->setAttribute(Qt::WA_NativeWindow);
    container->winId();
    container->windowHandle()->setParent(foreign);
    container->setGeometry(0, 0, foreign->width(), foreign->height());
    QObject::connect(foreign, &QWindow::widthChanged, container,
                     [container](int width) { container->resize(width, container->height()); });
    QObject::connect(foreign, &QWindow::heightChanged, container,
                     [container](int height) { container->resize(container->width(), height); });
    container->show();
    return platform::HwndFromWidget(container);
}

}  // namespace

extern "C" {

int32_t VelmoraPlatform_Initialize(void) {
    return CoInitialize(nullptr);
}

void VelmoraPlatform_Uninitialize(void) {
    CoUninitialize();
}

VelmoraWindow VelmoraWindow_CreateMessageWindow(VelmoraMessageProc proc, void* user) {
    try {
        auto window = platform::MessageWindow::Create(proc, user);
        if (!window) return 0;
        std::lock_guard lock(g_windowsLock);
        VelmoraWindow hwnd = platform::RegisterMessageSink(window);
        if (hwnd) MessageWindows().emplace(hwnd, std::move(window));
        return hwnd;
    } catch (...) {
        return 0;
    }
}

int VelmoraWindow_GetFd(VelmoraWindow window) {
    auto found = FindMessageWindow(window);
    return found ? found->Fd() : -1;
}

int VelmoraWindow_Dispatch(VelmoraWindow window) {
    auto found = FindMessageWindow(window);
    return found ? found->Dispatch() : -1;
}

void VelmoraWindow_Destroy(VelmoraWindow window) {
    std::shared_ptr<platform::MessageWindow> gone;
    {
        std::lock_guard lock(g_windowsLock);
        auto it = MessageWindows().find(window);
        if (it == MessageWindows().end()) return;
        gone = std::move(it->second);
        MessageWindows().erase(it);
    }
    platform::DropMessageSink(window);
    gone->Close();
}

VelmoraWindow VelmoraWindow_FromNative(uint64_t nativeWindow) {
    try {
        if (nativeWindow == 0 || !platform::EnsureGuiApplication()) return 0;
        VelmoraWindow hwnd = 0;
        platform::RunOnGuiThread([&] { hwnd = EmbedInForeignWindow(nativeWindow); });
        return hwnd;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
