// Connecting to the deck, its transport, the timecode display, losing the deck and leaving.

#include <QLabel>
#include <QPushButton>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"
#include "app/prompts.h"
#include "app/strings.h"
#include "jog/pelko.h"
#include "platform/media/ext_device.h"

namespace velmora::app {

namespace {

// Graph events that end the connection.
constexpr WPARAM kEventErrorAbort = 3;
constexpr WPARAM kEventDeviceLost = 31;

// Capture open errors.
constexpr int kErrorDeviceNotFound = 4;
constexpr int kErrorOutputNotConnectable = 5;

constexpr std::initializer_list<int> kConnectedControls = {
    kIdPlay,        kIdPause,  kIdStop,        kIdNextFrame,  kIdPreviousFrame,
    kIdFastForward, kIdRewind, kIdPreviewSize, kIdChooseFile, kIdMonitor};

constexpr std::initializer_list<int> kControlsOffWhenDisconnected = {
    kIdPlay,        kIdPause,   kIdStop,        kIdNextFrame, kIdPreviousFrame,
    kIdFastForward, kIdRewind,  kIdPreviewSize, kIdRecord,    kIdSaveStill,
    kIdChooseFile,  kIdMonitor, kIdSerial};

QString OpenErrorText(int error) {
    switch (error) {
        case kErrorDeviceNotFound:
            return QString::fromUtf8(text::kDeviceNotFound);
        case kErrorOutputNotConnectable:
            return QString::fromUtf8(text::kDeviceInUse);
        default:
            return QString::fromUtf8(text::kInitFailed);
    }
}

QString FormatLabel(int format) {
    if (format == 0) return QStringLiteral("DF");
    if (format == 2) return QStringLiteral("25");
    return QStringLiteral("NDF");
}

}  // namespace

QString TimecodeText(int result, const TovikTimecode& timecode) {
    if (!result) return QStringLiteral("! --:--:--.--");
    return QString::asprintf("%02d:%02d:%02d.%02d %s", timecode.hours, timecode.minutes,
                             timecode.seconds, timecode.frames,
                             qPrintable(FormatLabel(timecode.format)));
}

// Connecting opens the deck on the deck worker; the window goes on with the connection when
// the worker posts the open's outcome (OnDeckOpened). A press of ON in between is ignored.
void CDeckDlg::OnConnect() {
    if (connected_) {
        Disconnect();
        return;
    }
    if (connecting_) return;
    TovikOpenParams params{};
    params.size = sizeof(params);
    params.notifyFlags = 1;
    params.notifyWindow = platform::HwndFromWidget(this);
    params.notifyMessage = WM_DECK_EVENT;
    params.ownerWindow = params.notifyWindow;
    connecting_ = 1;
    deck_->Open(0, TOVIK_OPEN_PREVIEW, params);
}

void CDeckDlg::OnDeckOpened(int error, TovikCaptureHandle handle) {
    // The window gave up waiting (it was closed meanwhile): the worker closes what it opened.
    if (!connecting_) return;
    connecting_ = 0;
    if (!handle) {
        CurrentPrompts().Message(this, OpenErrorText(error), PromptIcon::kError,
                                 PromptButtons::kOk);
        return;
    }
    capture_ = handle;
    Pull();
    if (previewSizeIndex_ == 0) {
        previewSizeIndex_ = 1;
        Push();
    }
    deck_->GetCapability();
    ApplyPreviewSize();
    EnableControls(kConnectedControls, true);
    Tovik_SetPreviewWindowStyle(capture_, 0, static_cast<std::int32_t>(WS_CHILD));
    SetTip(kIdConnect, kIdsDisconnect);
    SetTimer(platform::HwndFromWidget(this), kTimecodeTimer, kTimecodePeriodMs, nullptr);
    jogMode_ = 0;
    shuttlePosition_ = 0;
    Pelko_Open(platform::HwndFromWidget(this), WM_JOG_NOTIFY, 0);
    Pelko_EnableNotify(1);
    Pelko_SetLED(1);
    connected_ = 1;
}

void CDeckDlg::Disconnect() {
    KillTimer(platform::HwndFromWidget(this), kTimecodeTimer);
    // The toolkit finishes a running recording when it is closed; the window ends its
    // recording state the same way a stop does, so the next take starts cleanly.
    EndRecordingState();
    Pull();
    recordFileNameText_.clear();
    previewSizeIndex_ = 0;
    Push();
    ApplyPreviewSize();
    OnStop();
    EnableControls(kControlsOffWhenDisconnected, false);
    // The worker closes the deck after the stop; the window no longer touches the handle.
    deck_->Close();
    capture_ = nullptr;
    SetTip(kIdConnect, kIdsConnect);
    Pelko_SetLED(0);
    Pelko_Close();
    jogMode_ = 0;
    connected_ = 0;
}

void CDeckDlg::JogReset() {
    Pull();
    jogMode_ = 0;
    Pelko_SetLED(1);
    jogStatusText_.clear();
    Push();
}

void CDeckDlg::OnStop() {
    playing_ = 0;
    JogReset();
    deck_->Control(ED_MODE_STOP, 0);
}

void CDeckDlg::OnPause() {
    JogReset();
    deck_->Control(ED_MODE_FREEZE, 0);
}

void CDeckDlg::OnPlay() {
    playing_ = 1;
    JogReset();
    deck_->Control(ED_MODE_PLAY, 0);
}

void CDeckDlg::OnNextFrame() {
    deck_->Control(ED_MODE_STEP_FWD, 0);
}

void CDeckDlg::OnPreviousFrame() {
    deck_->Control(ED_MODE_STEP_REV, 0);
}

LRESULT CDeckDlg::OnHoldButton(WPARAM button, LPARAM pressed) {
    JogReset();
    int id = 0;
    for (const auto& [controlId, widget] : controls_)
        if (platform::HwndFromWidget(widget) == button) id = controlId;
    if (playing_) {
        if (id == kIdFastForward)
            deck_->Control(pressed ? ED_MODE_PLAY_FASTEST_FWD : ED_MODE_PLAY, 0);
        else if (id == kIdRewind)
            deck_->Control(pressed ? ED_MODE_PLAY_FASTEST_REV : ED_MODE_PLAY, 0);
    } else if (pressed) {
        // Winding goes on after the release, until the next transport command.
        if (id == kIdFastForward)
            deck_->Control(ED_MODE_FF, 0);
        else if (id == kIdRewind)
            deck_->Control(ED_MODE_REW, 0);
    }
    return 0;
}

void CDeckDlg::OnTimecodeTick() {
    if (recording_) ShowRecordingInTitle();
    // One read at a time: ticks that come while a slow deck still owes the last answer add no
    // reads behind it.
    if (timecodePending_) return;
    timecodePending_ = 1;
    deck_->ReadTimecode();
}

void CDeckDlg::OnTimecodeRead() {
    timecodePending_ = 0;
    // A read that finished after a disconnect leaves the display as the disconnect left it.
    if (!connected_) return;
    const TimecodeReading reading = deck_->LastTimecode();
    timecodeDisplay_->setText(TimecodeText(reading.result, reading.timecode));
}

LRESULT CDeckDlg::OnDeckEvent(WPARAM code, LPARAM param) {
    if (code == TOVIK_EC_RECORDING_STOPPED) {
        OnRecordingFailed(static_cast<HRESULT>(param));
    } else if (code == kEventErrorAbort || code == kEventDeviceLost) {
        if (connected_) Disconnect();
        CurrentPrompts().Message(this, QString::fromUtf8(text::kDeviceOffline),
                                 PromptIcon::kInformation, PromptButtons::kOk);
    }
    return 0;
}

void CDeckDlg::reject() {
    if (CurrentPrompts().Message(this, QString::fromUtf8(text::kConfirmExit), PromptIcon::kQuestion,
                                 PromptButtons::kYesNo) != PromptAnswer::kYes)
        return;
    if (connected_) Disconnect();
    if (connecting_) {
        // The deck is still being opened: the worker closes it right after.
        connecting_ = 0;
        deck_->Close();
    }
    done(QDialog::Rejected);
}

}  // namespace velmora::app
