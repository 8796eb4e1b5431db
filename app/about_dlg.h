#pragma once
// The about box: icon, version, credits and support lines, and an OK button. Esc and the close
// box end it like OK.

#include <QDialog>
#include <QIcon>

namespace velmora::app {

class CAboutDlg : public QDialog {
  public:
    CAboutDlg(const QIcon& icon, QWidget* parent);
};

}  // namespace velmora::app
