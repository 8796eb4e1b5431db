#pragma once
// Native windows of another program or toolkit (X11 windows) as owners of our windows. A
// stand-in widget, never shown itself, gives the foreign window a handle in the window table;
// a widget given the stand-in as its owner becomes a native child window of the foreign window,
// placed in the foreign window's coordinates. GUI thread only.

#include <QWidget>
#include <cstdint>

class QWindow;

namespace platform {

class ForeignWindowOwner final : public QWidget {
  public:
    // Null when the window system has no foreign windows (anything but X11) or no such window
    // exists.
    static ForeignWindowOwner* Create(std::uint64_t nativeWindow);
    // Takes the windows still inside the foreign window out of it (hidden) before it goes.
    ~ForeignWindowOwner() override;

    QWindow* Window() const { return foreign_; }

  private:
    explicit ForeignWindowOwner(QWindow* foreign);
    QWindow* foreign_;  // a child of this object
};

// Makes `owner` the parent of `widget` (null: a window of its own). With a stand-in for a
// foreign window, `widget` becomes a native child of that window.
void SetWindowOwner(QWidget* widget, QWidget* owner);

}  // namespace platform
