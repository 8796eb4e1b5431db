#include "app/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/dialog_units.h"
#include "app/strings.h"

namespace velmora::app {

namespace {

constexpr char kCredits[] =
    "DV deck software for Linux:\n"
    "live picture, tape control,\n"
    "timecode, bit-exact recording.";
constexpr char kSupport[] =
    "Questions and bug reports: the Velmora project's\n"
    "issue tracker. Please include the deck's model.";

QLabel* AddText(QWidget* parent, const DialogUnits& units, QRect units_rect, const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(
        units.Map(units_rect.x(), units_rect.y(), units_rect.width(), units_rect.height()));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    // The dialog font's lines are taller than the layout's; there is room below for them.
    if (label->sizeHint().height() > label->height())
        label->resize(label->width(), label->sizeHint().height());
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(text::kAboutCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    DialogUnits units(font());
    setFixedSize(units.X(235), units.Y(95));

    auto* picture = new QLabel(this);
    const QRect iconRect = units.Map(11, 17, 20, 20);
    picture->setGeometry(QRect(iconRect.topLeft(), QSize(32, 32)));
    picture->setPixmap(icon.pixmap(32, 32));

    AddText(this, units, QRect(40, 10, 125, 8), text::kAboutVersion);
    AddText(this, units, QRect(40, 25, 119, 30), kCredits);
    AddText(this, units, QRect(40, 60, 160, 15), kSupport);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.Map(178, 7, 50, 14));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace velmora::app
