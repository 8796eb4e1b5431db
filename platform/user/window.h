#pragma once
// Window handles and window messages over Qt widgets. A handle is a 32-bit number that names a
// QWidget in a process-wide table: registered on demand, dropped when the widget is destroyed.
// A posted or sent message reaches the widget as a WindowMessageEvent through QWidget::event()
// (or an event filter installed on it), on the widget's own thread.

#include <QEvent>
#include <functional>
#include <memory>

#include "platform/com/types.h"

class QWidget;

using HWND = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_KEYUP = 0x0101;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWMINIMIZED = 2;
inline constexpr int SW_SHOWMAXIMIZED = 3;
inline constexpr int SW_SHOWNOACTIVATE = 4;
inline constexpr int SW_SHOW = 5;
inline constexpr int SW_MINIMIZE = 6;
inline constexpr int SW_RESTORE = 9;

inline constexpr DWORD WS_OVERLAPPED = 0x00000000;
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_MINIMIZE = 0x20000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
inline constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
inline constexpr DWORD WS_MAXIMIZE = 0x01000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_DLGFRAME = 0x00400000;
inline constexpr DWORD WS_VSCROLL = 0x00200000;
inline constexpr DWORD WS_HSCROLL = 0x00100000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr DWORD WS_THICKFRAME = 0x00040000;
inline constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
inline constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
inline constexpr DWORD WS_OVERLAPPEDWINDOW =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

// A window message delivered to a widget. A handler that takes it sets the result and accepts
// the event; SendMessage answers that result.
class WindowMessageEvent : public QEvent {
  public:
    WindowMessageEvent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static QEvent::Type EventType();

    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
};

namespace platform {

// The widget's handle, registering it on first use; 0 for a null widget.
HWND HwndFromWidget(QWidget* widget);
// The live widget a handle names, or null. Only meaningful on the widget's own thread.
QWidget* WidgetFromHwnd(HWND hwnd);

// Runs `work` on the windows' thread, through the same queue and lock as posted messages (so
// the hand-off between threads is ours, not Qt's): queued behind the messages already posted,
// or at once when `wait` is set and the caller is on that thread. With `wait`, returns once it
// has run (or been dropped because the windows' thread has gone). False when it cannot be
// handed over (no window has been registered yet, or the application has gone): `work` does
// not run.
bool RunOnWindowThread(std::function<void()> work, bool wait);

// Delivers the messages and calls queued for the windows' thread now. For the windows' thread
// while it waits for another thread that may be waiting for one of them.
void DispatchQueuedMessages();

// A window that is no widget: it receives the messages posted or sent to its handle in a
// queue of its own (the message windows of the C interface). Called on any thread.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// Gives the sink a handle from the same table as the widgets; DropMessageSink ends it.
HWND RegisterMessageSink(std::shared_ptr<MessageSink> sink);
void DropMessageSink(HWND hwnd);

}  // namespace platform

BOOL IsWindow(HWND hwnd);
// Safe from any thread: FALSE for a handle that names no live window.
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
inline BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(hwnd, message, wParam, lParam);
}
// Runs the message on the window's own thread and waits for its result; 0 for an unknown window.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
inline LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(hwnd, message, wParam, lParam);
}

// Window timers: WM_TIMER with the timer's identifier in wParam, every `milliseconds`.
// Answers the identifier, or 0 for an unknown window. Call on the window's thread.
using TIMERPROC = void (*)(HWND, UINT, std::uintptr_t, DWORD);
std::uintptr_t SetTimer(HWND hwnd, std::uintptr_t id, UINT milliseconds, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, std::uintptr_t id);
