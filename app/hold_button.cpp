#include "app/hold_button.h"

#include <QMouseEvent>

namespace velmora::app {

void CHoldButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !held_) {
        // Qt gives the pressed widget the rest of the gesture: the release comes here even
        // when the mouse has left the button.
        held_ = 1;
        Notify(1);
    }
    QPushButton::mousePressEvent(event);
}

void CHoldButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && held_) {
        Notify(0);
        held_ = 0;
    }
    QPushButton::mouseReleaseEvent(event);
}

void CHoldButton::changeEvent(QEvent* event) {
    // A button disabled while held (the deck went away) never sees its release: it lets go,
    // so that the next press counts as a press again.
    if (event->type() == QEvent::EnabledChange && !isEnabled()) held_ = 0;
    QPushButton::changeEvent(event);
}

void CHoldButton::Notify(LPARAM pressed) {
    if (QWidget* parent = parentWidget())
        SendMessage(platform::HwndFromWidget(parent), WM_HOLD_BUTTON,
                    platform::HwndFromWidget(this), pressed);
}

}  // namespace velmora::app
