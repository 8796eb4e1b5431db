#include "app/deck_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <algorithm>

#include "app/about_dlg.h"
#include "app/dialog_template.h"
#include "app/dialog_units.h"
#include "app/hold_button.h"
#include "app/resources.h"
#include "app/strings.h"

namespace velmora::app {

namespace {

constexpr int kScMinimize = 0xF020;
constexpr int kScClose = 0xF060;

// Black background, transparent text background, text RGB(64, 255, 192).
void PaintAsDisplay(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, QColor(64, 255, 192));
    label->setPalette(palette);
    label->setAutoFillBackground(true);
}

QWidget* MakeControl(const ControlTemplate& t, QWidget* parent) {
    const QString caption = QString::fromUtf8(t.caption);
    switch (t.kind) {
        case ControlKind::kPushButton: {
            auto* button = new QPushButton(caption, parent);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::kHoldButton: {
            auto* button = new CHoldButton(caption, parent);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::kCheckBox:
            return new QCheckBox(caption, parent);
        case ControlKind::kComboBox: {
            auto* combo = new QComboBox(parent);
            for (const PreviewSize& size : PreviewSizes())
                combo->addItem(QString::fromUtf8(size.label));
            combo->setMaxVisibleItems(static_cast<int>(PreviewSizes().size()));
            return combo;
        }
        case ControlKind::kSunkenText:
        case ControlKind::kSunkenField: {
            auto* label = new QLabel(caption, parent);
            label->setTextFormat(Qt::PlainText);  // a file name is never markup
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setLineWidth(1);
            label->setWordWrap(false);
            label->setAlignment(t.kind == ControlKind::kSunkenText
                                    ? Qt::AlignCenter
                                    : Qt::AlignLeft | Qt::AlignVCenter);
            return label;
        }
        case ControlKind::kEtchedLine: {
            auto* line = new QFrame(parent);
            line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
            return line;
        }
    }
    return nullptr;
}

}  // namespace

CDeckDlg::CDeckDlg(QWidget* parent) : QDialog(parent) {
    // The program sets its icon once at start; a window made without it draws its own.
    icon_ = QApplication::windowIcon().isNull() ? ProgramIcon() : QApplication::windowIcon();
    setWindowTitle(QString::fromUtf8(text::kWindowCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    deck_ = std::make_unique<CDeckWorker>(platform::HwndFromWidget(this));
    CreateControls();
    Push();
    InitDialog();
}

CDeckDlg::~CDeckDlg() {
    // A window destroyed while connected still lets go of the deck and the controller; the
    // worker runs the last device calls and closes the deck before it ends. Messages that reach
    // the window meanwhile find it closing and are dropped.
    if (connected_) Disconnect();
    closing_ = true;
    deck_->Finish();
}

void CDeckDlg::CreateControls() {
    DialogUnits units(font());
    setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
    QWidget* previous = nullptr;
    for (const ControlTemplate& t : MainWindowControls()) {
        QWidget* control = MakeControl(t, this);
        QRect rect = units.Map(t.x, t.y, t.width, t.height);
        // A drop-down list's template height is that of its open list; closed it is one line.
        if (t.kind == ControlKind::kComboBox) rect.setHeight(control->sizeHint().height());
        control->setGeometry(rect);
        control->setEnabled(t.enabled);
        control->setVisible(t.visible);
        if (t.kind == ControlKind::kSunkenText || t.kind == ControlKind::kEtchedLine ||
            t.kind == ControlKind::kSunkenField)
            control->setFocusPolicy(Qt::NoFocus);
        else if (previous)
            setTabOrder(previous, control);
        if (control->focusPolicy() != Qt::NoFocus) previous = control;
        controls_[t.id] = control;
        control->installEventFilter(this);
    }
    FitCaptions();
    timecodeDisplay_ = static_cast<QLabel*>(controls_.at(kIdTimecode));
    PaintAsDisplay(timecodeDisplay_);
    PaintAsDisplay(static_cast<QLabel*>(controls_.at(kIdJogStatus)));

    connect(Button(kIdConnect), &QPushButton::clicked, this, [this] { OnConnect(); });
    connect(Button(kIdExit), &QPushButton::clicked, this, [this] { reject(); });
    connect(Button(kIdStop), &QPushButton::clicked, this, [this] { OnStop(); });
    connect(Button(kIdPause), &QPushButton::clicked, this, [this] { OnPause(); });
    connect(Button(kIdPlay), &QPushButton::clicked, this, [this] { OnPlay(); });
    connect(Button(kIdNextFrame), &QPushButton::clicked, this, [this] { OnNextFrame(); });
    connect(Button(kIdPreviousFrame), &QPushButton::clicked, this, [this] { OnPreviousFrame(); });
    connect(Button(kIdRecord), &QPushButton::clicked, this, [this] { OnRecord(); });
    connect(Button(kIdChooseFile), &QPushButton::clicked, this, [this] { OnChooseRecordFile(); });
    connect(Button(kIdSaveStill), &QPushButton::clicked, this, [this] { OnSaveStill(); });
    connect(static_cast<QCheckBox*>(controls_.at(kIdSerial)), &QCheckBox::clicked, this,
            [this] { OnSerialClicked(); });
    connect(static_cast<QComboBox*>(controls_.at(kIdPreviewSize)), &QComboBox::activated, this,
            [this] { OnPreviewSizeChanged(); });
}

int CaptionShortfall(const QWidget* control) {
    const QFontMetrics metrics(control->font());
    const QStyle* style = control->style();
    if (auto* box = qobject_cast<const QCheckBox*>(control)) {
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        const QRect contents = style->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
        return std::max(0, metrics.horizontalAdvance(box->text()) + 2 - contents.width());
    }
    if (auto* combo = qobject_cast<const QComboBox*>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = false;
        option.frame = true;
        const QRect field = style->subControlRect(QStyle::CC_ComboBox, &option,
                                                  QStyle::SC_ComboBoxEditField, combo);
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
        return std::max(0, widest + 4 - field.width());
    }
    if (auto* button = qobject_cast<const QPushButton*>(control))
        return std::max(0, metrics.horizontalAdvance(button->text()) - button->width());
    return 0;
}

// The dialog font is wider than the one the layout was drawn for: a check box or drop-down list
// whose caption does not fit grows into the free space beside it in its row (right first, then
// left), never closer than a small gap to a neighbour or the window's edge.
void CDeckDlg::FitCaptions() {
    constexpr int kGap = 2;
    for (const ControlTemplate& t : MainWindowControls()) {
        if (t.kind != ControlKind::kCheckBox && t.kind != ControlKind::kComboBox) continue;
        QWidget* control = controls_.at(t.id);
        QRect rect = control->geometry();
        int missing = CaptionShortfall(control);
        if (missing == 0) continue;
        int rightLimit = width() - kGap;
        int leftLimit = kGap;
        for (const auto& [id, other] : controls_) {
            const QRect o = other->geometry();
            if (other == control || o.bottom() < rect.top() || o.top() > rect.bottom()) continue;
            if (o.left() > rect.right()) rightLimit = std::min(rightLimit, o.left() - kGap);
            if (o.right() < rect.left()) leftLimit = std::max(leftLimit, o.right() + 1 + kGap);
        }
        const int grow = std::clamp(rightLimit - (rect.right() + 1), 0, missing);
        rect.setRight(rect.right() + grow);
        missing -= grow;
        rect.setLeft(rect.left() - std::clamp(rect.left() - leftLimit, 0, missing));
        control->setGeometry(rect);
    }
}

void CDeckDlg::InitDialog() {
    BuildSystemMenu();
    setWindowIcon(icon_);

    const QWidget* separator = controls_.at(kIdSeparator);
    separator_ = separator->geometry();
    initialClientSize_ = size();
    stripHeight_ = height() - (separator_.top() + separator_.height());

    // Every child in creation order, hidden ones too; their places relative to the separator.
    for (QObject* object : children()) {
        auto* child = qobject_cast<QWidget*>(object);
        if (!child || child->isWindow()) continue;
        strip_.push_back({child, child->geometry().translated(-separator_.topLeft())});
    }

    previewSizeIndex_ = 1;
    Push();
    AddTooltips();
    Tovik_GetDevice();
    Button(kIdExit)->setFocus();
}

QWidget* CDeckDlg::Item(int id) const {
    auto at = controls_.find(id);
    return at == controls_.end() ? nullptr : at->second;
}

QPushButton* CDeckDlg::Button(int id) const {
    return qobject_cast<QPushButton*>(Item(id));
}

void CDeckDlg::AddTooltips() {
    for (int id : TooltipOrder()) {
        for (const ControlTemplate& t : MainWindowControls())
            if (t.id == id) SetTip(id, t.tooltip);
    }
}

void CDeckDlg::SetTip(int id, int stringId) {
    Item(id)->setToolTip(LoadString(stringId));
}

void CDeckDlg::BuildSystemMenu() {
    systemMenu_ = new QMenu(this);
    systemMenu_->addAction(QStringLiteral("最小化(&N)"), this,
                           [this] { OnSysCommand(kScMinimize); });
    systemMenu_->addAction(QStringLiteral("閉じる(&C)\tAlt+F4"), this,
                           [this] { OnSysCommand(kScClose); });
    const QString about = LoadString(kIdsAboutItem);
    if (!about.isEmpty()) {
        systemMenu_->addSeparator();
        systemMenu_->addAction(about, this, [this] { OnSysCommand(kIdmAboutBox); });
    }
}

void CDeckDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == kIdmAboutBox) {
        ShowAbout();
    } else if ((command & 0xFFF0) == kScMinimize) {
        showMinimized();
    } else if ((command & 0xFFF0) == kScClose) {
        reject();
    }
}

void CDeckDlg::ShowAbout() {
    CAboutDlg about(icon_, this);
    about.exec();
}

void CDeckDlg::contextMenuEvent(QContextMenuEvent* event) {
    systemMenu_->popup(event->globalPos());
}

namespace {

bool IsSystemMenuKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    return key->key() == Qt::Key_Space && key->modifiers() == Qt::AltModifier;
}

}  // namespace

// Alt+Space opens the system menu ahead of the focused control, which would take the Space.
bool CDeckDlg::eventFilter(QObject* watched, QEvent* event) {
    if (IsSystemMenuKey(event)) {
        systemMenu_->popup(mapToGlobal(QPoint(0, 0)));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CDeckDlg::keyPressEvent(QKeyEvent* event) {
    if (IsSystemMenuKey(event)) {
        systemMenu_->popup(mapToGlobal(QPoint(0, 0)));
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter presses the focused push button, as in any dialog; anywhere else it would end
        // the dialog, which here goes through the same question as Esc so the deck is never
        // left connected. A hold button is not operated by keys at all.
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button && !dynamic_cast<CHoldButton*>(button)) {
            button->animateClick();
        } else if (!button) {
            reject();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDeckDlg::accept() {
    reject();
}

bool CDeckDlg::event(QEvent* e) {
    if (e->type() != WindowMessageEvent::EventType()) return QDialog::event(e);
    auto* m = static_cast<WindowMessageEvent*>(e);
    if (closing_) {
        e->accept();
        return true;
    }
    switch (m->message) {
        case WM_HOLD_BUTTON:
            m->result = OnHoldButton(m->wParam, m->lParam);
            break;
        case WM_DECK_EVENT:
            m->result = OnDeckEvent(m->wParam, m->lParam);
            break;
        case WM_JOG_NOTIFY:
            m->result = OnJogNotify(m->wParam, m->lParam);
            break;
        case WM_TIMER:
            if (m->wParam == kTimecodeTimer) OnTimecodeTick();
            break;
        case WM_DECK_OPENED:
            OnDeckOpened(static_cast<int>(m->wParam),
                         reinterpret_cast<TovikCaptureHandle>(m->lParam));
            break;
        case WM_DECK_TIMECODE:
            OnTimecodeRead();
            break;
        case WM_DECK_TOGGLED:
            OnPlayPauseToggled(static_cast<std::int32_t>(m->wParam));
            break;
        default:
            return QDialog::event(e);
    }
    e->accept();
    return true;
}

void CDeckDlg::Pull() {
    monitor_ = static_cast<QCheckBox*>(Item(kIdMonitor))->isChecked() ? 1 : 0;
    previewSizeIndex_ = static_cast<QComboBox*>(Item(kIdPreviewSize))->currentIndex();
    recordFileNameText_ = static_cast<QLabel*>(Item(kIdRecordName))->text();
    serialNumbering_ = static_cast<QCheckBox*>(Item(kIdSerial))->isChecked() ? 1 : 0;
    timecodeText_ = timecodeDisplay_->text();
    jogStatusText_ = static_cast<QLabel*>(Item(kIdJogStatus))->text();
}

void CDeckDlg::Push() {
    static_cast<QCheckBox*>(Item(kIdMonitor))->setChecked(monitor_ != 0);
    static_cast<QComboBox*>(Item(kIdPreviewSize))->setCurrentIndex(previewSizeIndex_);
    static_cast<QLabel*>(Item(kIdRecordName))->setText(recordFileNameText_);
    static_cast<QCheckBox*>(Item(kIdSerial))->setChecked(serialNumbering_ != 0);
    timecodeDisplay_->setText(timecodeText_);
    static_cast<QLabel*>(Item(kIdJogStatus))->setText(jogStatusText_);
}

void CDeckDlg::EnableControls(std::initializer_list<int> ids, bool enable) {
    for (int id : ids) Item(id)->setEnabled(enable);
}

}  // namespace velmora::app
