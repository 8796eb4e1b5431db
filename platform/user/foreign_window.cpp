#include "platform/user/foreign_window.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QWindow>
#include <cstdlib>

namespace platform {

namespace {

xcb_connection_t* X11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Asks the X server whether the window exists (Qt takes any number for a window id).
bool X11WindowExists(xcb_connection_t* connection, xcb_window_t window) {
    xcb_get_geometry_reply_t* reply =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    if (!reply) return false;
    std::free(reply);
    return true;
}

ForeignWindowOwner* OwnerOf(QWindow* window) {
    QWindow* parent = window ? window->parent() : nullptr;
    return parent ? dynamic_cast<ForeignWindowOwner*>(static_cast<QObject*>(parent)->parent())
                  : nullptr;
}

}  // namespace

ForeignWindowOwner* ForeignWindowOwner::Create(std::uint64_t nativeWindow) {
    xcb_connection_t* connection = X11Connection();
    if (!connection || nativeWindow == 0 || nativeWindow > 0xFFFFFFFFu) return nullptr;
    if (!X11WindowExists(connection, static_cast<xcb_window_t>(nativeWindow))) return nullptr;
    QWindow* foreign = QWindow::fromWinId(static_cast<WId>(nativeWindow));
    if (!foreign) return nullptr;
    return new ForeignWindowOwner(foreign);
}

ForeignWindowOwner::ForeignWindowOwner(QWindow* foreign) : foreign_(foreign) {
    static_cast<QObject*>(foreign_)->setParent(this);
}

ForeignWindowOwner::~ForeignWindowOwner() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (OwnerOf(widget->windowHandle()) != this) continue;
        widget->hide();
        widget->windowHandle()->setParent(nullptr);
    }
}

void SetWindowOwner(QWidget* widget, QWidget* owner) {
    auto* foreignOwner = dynamic_cast<ForeignWindowOwner*>(owner);
    if (!foreignOwner) {
        if (OwnerOf(widget->windowHandle())) widget->windowHandle()->setParent(nullptr);
        if (widget->parentWidget() != owner) widget->setParent(owner);
        return;
    }
    if (widget->parentWidget()) widget->setParent(nullptr);
    if (!widget->windowFlags().testFlag(Qt::FramelessWindowHint))
        widget->setWindowFlag(Qt::FramelessWindowHint);  // remakes the native window
    widget->setAttribute(Qt::WA_NativeWindow);
    widget->winId();
    if (widget->windowHandle()->parent() != foreignOwner->Window())
        widget->windowHandle()->setParent(foreignOwner->Window());
}

}  // namespace platform
