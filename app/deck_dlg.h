#pragma once
// The main window: the deck's live picture on top, a strip of small controls below a
// separator. Picking a preview size grows or shrinks the window around the picture and moves
// the strip as one block. The behaviour behind the controls lives in deck_control.cpp (the
// connection, transport and timecode), recording.cpp (record files and stills) and
// jog_binding.cpp (the jog controller); every call that talks to the deck runs on the deck
// worker (deck_worker.h), so the window never waits for the deck.

#include <QDialog>
#include <QIcon>
#include <QString>
#include <map>
#include <memory>
#include <vector>

#include "app/deck_worker.h"
#include "platform/user/window.h"
#include "toolkit/tovik.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;

namespace velmora::app {

inline constexpr UINT WM_DECK_EVENT = WM_USER + 100;
inline constexpr UINT WM_JOG_NOTIFY = WM_USER + 101;
inline constexpr std::uintptr_t kTimecodeTimer = 11;
inline constexpr UINT kTimecodePeriodMs = 200;
// The about item's system command.
inline constexpr int kIdmAboutBox = 0x0010;

// Pixels a control lacks to show its caption whole (the longest item of a list); 0 when it fits.
int CaptionShortfall(const QWidget* control);

// The timecode display's text for a read's result and record: "hh:mm:ss.ff DF|NDF|25".
QString TimecodeText(int result, const TovikTimecode& timecode);

class CDeckDlg : public QDialog {
  public:
    explicit CDeckDlg(QWidget* parent = nullptr);
    ~CDeckDlg() override;

    // The control with this identifier, or null.
    QWidget* Item(int id) const;
    QPushButton* Button(int id) const;

    // The system menu: the window's own commands, a separator and the about item. Opened from
    // the window's context menu or Alt+Space.
    QMenu* SystemMenu() const { return systemMenu_; }
    void OnSysCommand(int command);

    // State the tests look at.
    bool Connected() const { return connected_ != 0; }
    // Between a press of ON and the deck's answer to the open.
    bool Connecting() const { return connecting_ != 0; }
    // Device calls handed to the deck worker that have not finished yet.
    bool DeviceCallsPending() const { return deck_->Busy(); }
    bool Recording() const { return recording_ != 0; }
    bool Playing() const { return playing_ != 0; }
    int JogMode() const { return jogMode_; }
    int ShuttlePosition() const { return shuttlePosition_; }
    int SerialCounter() const { return serialCounter_; }
    int StillCounter() const { return stillCounter_; }
    const QString& RecordFileName() const { return recordFileName_; }
    TovikCaptureHandle CaptureHandle() const { return capture_; }
    QSize InitialClientSize() const { return initialClientSize_; }
    QRect PreviewRect() const { return previewRect_; }

    // Handlers, reached through the controls and window messages; public so that the jog
    // binding and the tests can name them.
    void OnConnect();
    void OnStop();
    void OnPause();
    void OnPlay();
    void OnNextFrame();
    void OnPreviousFrame();
    LRESULT OnHoldButton(WPARAM button, LPARAM pressed);
    void OnTimecodeTick();
    void OnDeckOpened(int error, TovikCaptureHandle handle);
    void OnTimecodeRead();
    void OnPlayPauseToggled(std::int32_t mode);
    LRESULT OnDeckEvent(WPARAM code, LPARAM param);
    LRESULT OnJogNotify(WPARAM key, LPARAM pressed);
    void OnChooseRecordFile();
    void OnSerialClicked();
    void OnRecord();
    void OnSaveStill();
    void OnPreviewSizeChanged();

  public:
    // Cancel (the exit button, Esc, the close box) asks before the window closes.
    void reject() override;
    void accept() override;

  protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    struct StripEntry {
        QWidget* child;
        QRect rect;  // relative to the separator's top-left corner
    };

    void CreateControls();
    void FitCaptions();
    void InitDialog();
    void AddTooltips();
    void SetTip(int id, int stringId);
    void BuildSystemMenu();
    void ShowAbout();

    // Data exchange between the members and their controls. Push writes every exchanged member
    // back, so whoever changes one of them pulls first: a push from stale members would undo
    // what the user has just set (a ticked check box, a chosen size).
    void Pull();
    void Push();

    void Relayout(int previewWidth, int stripTop);
    void ApplyPreviewSize();
    void Disconnect();
    void JogReset();
    void EnableControls(std::initializer_list<int> ids, bool enable);
    void EndRecordingState();
    // The window title with the running take's recorded time and its lost and damaged frames,
    // or the last take's losses; the caption alone otherwise.
    void ShowRecordingInTitle();
    void OnRecordingFailed(HRESULT why);
    QString RecordBaseName() const;
    QString NumberedTakeName(int number) const;
    QString StillName(int number) const;
    void SkipTakenNumbers();
    void ComputeRecordFileName();
    void EnterJogMode();
    void EnterShuttleMode();
    void ShuttleStep(int delta);

    std::map<int, QWidget*> controls_;
    QLabel* timecodeDisplay_ = nullptr;
    QMenu* systemMenu_ = nullptr;

    // Exchanged with controls.
    int monitor_ = 0;
    int previewSizeIndex_ = -1;
    QString recordFileNameText_;
    int serialNumbering_ = 0;
    QString timecodeText_;
    QString jogStatusText_;

    int jogMode_ = 0;
    int shuttlePosition_ = 0;
    int stillCounter_ = 0;
    int serialCounter_ = 0;
    QString recordPath_;
    QString recordExtension_;
    QString recordFileName_;
    int playing_ = 0;
    int recording_ = 0;
    QIcon icon_;
    int connected_ = 0;
    TovikCaptureHandle capture_ = nullptr;  // borrowed from the deck worker while connected
    int connecting_ = 0;
    int timecodePending_ = 0;  // a timecode read is on its way
    QString runningTake_;      // the file of the running recording
    std::unique_ptr<CDeckWorker> deck_;
    bool closing_ = false;  // being destroyed: window messages are dropped

    std::vector<StripEntry> strip_;
    QRect separator_;
    QSize initialClientSize_;
    int stripHeight_ = 0;
    QRect previewRect_;
};

}  // namespace velmora::app
