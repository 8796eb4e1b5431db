// The C exports of the platform's interface for other programs. No exception leaves them.

#include "platform/capi/velmora_platform.h"

#include <QWidget>
#include <map>
#include <mutex>
#include <set>

#include "platform/capi/gui_thread.h"
#include "platform/capi/message_window.h"
#include "platform/com/com.h"
#include "platform/user/foreign_window.h"

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

// The handles made for foreign windows, so that only those are ended as such.
std::set<VelmoraWindow>& ForeignOwners() {
    static auto* owners = new std::set<VelmoraWindow>;
    return *owners;
}

bool TakeForeignOwner(VelmoraWindow window) {
    std::lock_guard lock(g_windowsLock);
    return ForeignOwners().erase(window) > 0;
}

VelmoraWindow MakeForeignOwner(std::uint64_t nativeWindow) {
    VelmoraWindow hwnd = 0;
    platform::RunOnGuiThread([&] {
        hwnd = platform::HwndFromWidget(platform::ForeignWindowOwner::Create(nativeWindow));
    });
    if (hwnd) {
        std::lock_guard lock(g_windowsLock);
        ForeignOwners().insert(hwnd);
    }
    return hwnd;
}

}  // namespace

extern "C" {

int32_t VelmoraPlatform_Initialize(void) {
    return CoInitialize(nullptr);
}

void VelmoraPlatform_Uninitialize(void) {
    CoUninitialize();
    try {
        platform::SettleGuiThread();
    } catch (...) {
    }
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
        if (it != MessageWindows().end()) {
            gone = std::move(it->second);
            MessageWindows().erase(it);
        }
    }
    if (gone) {
        platform::DropMessageSink(window);
        gone->Close();
        return;
    }
    try {
        if (TakeForeignOwner(window))
            platform::RunOnGuiThread([window] { delete platform::WidgetFromHwnd(window); });
    } catch (...) {
    }
}

VelmoraWindow VelmoraWindow_FromNative(uint64_t nativeWindow) {
    try {
        if (nativeWindow == 0 || !platform::EnsureGuiApplication()) return 0;
        return MakeForeignOwner(nativeWindow);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
