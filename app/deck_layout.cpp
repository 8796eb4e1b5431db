// The main window's geometry: where the preview goes for each size and how the control strip
// and the window follow it.

#include <algorithm>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"

namespace velmora::app {

void CDeckDlg::Relayout(int previewWidth, int stripTop) {
    for (const StripEntry& entry : strip_) {
        entry.child->setGeometry(entry.rect.translated(0, stripTop));
        entry.child->update();
    }
    // The client area is sized here; the window manager adds its frame around it, so a
    // picture as wide as the window is never cut by the frame.
    const int width = std::max(previewWidth, initialClientSize_.width() - separator_.left());
    setFixedSize(width, stripTop + stripHeight_);
}

void CDeckDlg::ApplyPreviewSize() {
    Pull();
    const auto sizes = PreviewSizes();
    const int index = std::clamp(previewSizeIndex_, 0, static_cast<int>(sizes.size()) - 1);
    const int w = sizes[index].width;
    const int h = sizes[index].height;
    if (index != 0) {
        const int left = (std::max(initialClientSize_.width(), w) - w) / 2;
        previewRect_ = QRect(QPoint(left, 5), QSize(w, h));
        Relayout(w, h + 10);
        Tovik_ShowPreviewWindow(capture_, SW_SHOW);
        const TovikRect rect{left, 5, left + w, h + 5};
        Tovik_SetPreviewWindowRect(capture_, &rect);
    } else {
        previewRect_ = QRect();
        Tovik_ShowPreviewWindow(capture_, SW_HIDE);
        Relayout(0, 10);
    }
}

void CDeckDlg::OnPreviewSizeChanged() {
    ApplyPreviewSize();
}

}  // namespace velmora::app
