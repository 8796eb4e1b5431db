#include "app/hold_button.h"

#include <QMouseEvent>

namespace velmora::app {

void CHoldButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !held_) {
        // Qt already routes the rest of the gesture to the pressed widget; grabbing makes it
        // explicit and keeps the button the receiver even if another widget asks for the mouse.
        grabMouse();
        held_ = 1;
        Notify(1);
    }
    QPushButton::mousePressEvent(event);
}

void CHoldButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && held_) {
        releaseMouse();
        Notify(0);
        held_ = 0;
    }
    QPushButton::mouseReleaseEvent(event);
}

void CHoldButton::Notify(LPARAM pressed) {
    if (QWidget* parent = parentWidget())
        SendMessage(platform::HwndFromWidget(parent), WM_HOLD_BUTTON,
                    platform::HwndFromWidget(this), pressed);
}

}  // namespace velmora::app
