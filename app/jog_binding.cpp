// The jog controller's keys and wheel: most keys repeat on-screen buttons; the mode key turns
// the wheel into a frame-by-frame jog or a variable-speed shuttle.

#include <QPushButton>
#include <algorithm>
#include <array>
#include <cstdlib>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"
#include "jog/pelko.h"
#include "platform/media/ext_device.h"

namespace velmora::app {

namespace {

constexpr WPARAM kKeyPlayPause = 0x3000;
constexpr WPARAM kKeyStop = 0x3001;
constexpr WPARAM kKeyRecord = 0x2003;
constexpr WPARAM kKeyRewind = 0x2001;
constexpr WPARAM kKeyFastForward = 0x2002;
constexpr WPARAM kKeyWheelMode = 0x5000;

constexpr int kShuttleLimit = 45;
constexpr int kStepsPerLevel = 3;

// LED bits: 0 connected, 1 jog mode, 2 shuttle mode.
constexpr std::uint32_t kLedJog = 3;
constexpr std::uint32_t kLedShuttle = 5;

constexpr std::array<const char*, 16> kShuttleLabels = {
    "0", "SL", "s6", "s5", "s4", "s3", "s2", "s1", "x1", "f1", "f2", "f3", "f4", "f5", "f6", "FT"};

}  // namespace

LRESULT CDeckDlg::OnJogNotify(WPARAM key, LPARAM pressed) {
    if (key == kKeyPlayPause && pressed) {
        // The deck worker reads the transport state and sends pause or play; the window
        // follows when it hears which (OnPlayPauseToggled).
        deck_->TogglePlayPause();
    } else if (key == kKeyStop && pressed) {
        OnStop();
    } else if (key == PELKO_JOG_FORWARD) {
        if (jogMode_ == 1)
            OnNextFrame();
        else if (jogMode_ == 2)
            ShuttleStep(+1);
    } else if (key == PELKO_JOG_BACKWARD) {
        if (jogMode_ == 1)
            OnPreviousFrame();
        else if (jogMode_ == 2)
            ShuttleStep(-1);
    } else if (key == kKeyRecord && pressed) {
        if (Item(kIdRecord)->isEnabled()) OnRecord();
    } else if (key == kKeyRewind) {
        OnHoldButton(platform::HwndFromWidget(Item(kIdRewind)), pressed);
    } else if (key == kKeyFastForward) {
        OnHoldButton(platform::HwndFromWidget(Item(kIdFastForward)), pressed);
    } else if (key == kKeyWheelMode && pressed) {
        if (jogMode_ == 1)
            EnterShuttleMode();
        else
            EnterJogMode();
    }
    return 0;
}

void CDeckDlg::OnPlayPauseToggled(std::int32_t mode) {
    if (!connected_) return;
    if (mode == ED_MODE_PLAY) playing_ = 1;
    JogReset();
}

void CDeckDlg::EnterJogMode() {
    Pull();
    jogMode_ = 1;
    Pelko_SetLED(kLedJog);
    deck_->Control(ED_MODE_FREEZE, 0);
    jogStatusText_ = QStringLiteral("JOG");
    Push();
}

void CDeckDlg::EnterShuttleMode() {
    Pull();
    jogMode_ = 2;
    Pelko_SetLED(kLedShuttle);
    shuttlePosition_ = 0;
    deck_->Control(ED_MODE_FREEZE, 0);
    jogStatusText_ = QStringLiteral("S %1").arg(QLatin1String(kShuttleLabels[0]));
    Push();
}

void CDeckDlg::ShuttleStep(int delta) {
    Pull();
    shuttlePosition_ = std::clamp(shuttlePosition_ + delta, -kShuttleLimit, kShuttleLimit);
    const int level = std::abs(shuttlePosition_ / kStepsPerLevel);
    jogStatusText_ = QStringLiteral("S %1 %2")
                         .arg(shuttlePosition_ >= 0 ? QLatin1Char('>') : QLatin1Char('<'))
                         .arg(QLatin1String(kShuttleLabels[level]));
    Push();
    if (std::abs(shuttlePosition_) < kStepsPerLevel) {
        deck_->Control(ED_MODE_FREEZE, 0);
    } else {
        const int reverse = shuttlePosition_ < 0 ? 1 : 0;
        deck_->Control(TOVIK_MODE_SHUTTLE_FORWARD + reverse, static_cast<std::uint32_t>(level));
    }
}

}  // namespace velmora::app
