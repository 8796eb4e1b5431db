#pragma once
// A push button that reports being held: pressing it with the left mouse button sends
// WM_HOLD_BUTTON (wParam = its own window, lParam = 1) to its parent, releasing sends lParam 0.
// The pressed button keeps the mouse, so a release outside it still counts. Its click is
// of no interest to the parent, so the keyboard cannot operate it.

#include <QPushButton>

#include "platform/user/window.h"

namespace velmora::app {

inline constexpr UINT WM_HOLD_BUTTON = WM_USER + 200;

class CHoldButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void Notify(LPARAM pressed);

    std::int32_t held_ = 0;
};

}  // namespace velmora::app
