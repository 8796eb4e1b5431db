#include "app/dialog_template.h"

#include <array>

#include "app/strings.h"

namespace velmora::app {

namespace {

using K = ControlKind;

constexpr std::array kControls = {
    ControlTemplate{kIdExit, K::kPushButton, "×", 20, 111, 15, 14, true, true, kIdsExit},
    ControlTemplate{kIdConnect, K::kPushButton, "ON", 5, 111, 15, 14, true, true, kIdsConnect},
    ControlTemplate{kIdPlay, K::kPushButton, ">", 80, 111, 15, 14, false, true, kIdsPlay},
    ControlTemplate{kIdStop, K::kPushButton, "□", 50, 111, 15, 14, false, true, kIdsStop},
    ControlTemplate{kIdPause, K::kPushButton, "| |", 65, 111, 15, 14, false, true, kIdsPause},
    ControlTemplate{kIdUnused, K::kPushButton, "<", 265, 90, 15, 14, false, false, 0},
    ControlTemplate{kIdNextFrame, K::kPushButton, "> |", 115, 111, 15, 14, false, true,
                    kIdsNextFrame},
    ControlTemplate{kIdPreviousFrame, K::kPushButton, "| <", 100, 111, 15, 14, false, true,
                    kIdsPreviousFrame},
    ControlTemplate{kIdFastForward, K::kHoldButton, ">>", 150, 111, 15, 14, false, true,
                    kIdsFastForward},
    ControlTemplate{kIdRewind, K::kHoldButton, "<<", 135, 111, 15, 14, false, true, kIdsRewind},
    ControlTemplate{kIdRecord, K::kPushButton, "●", 175, 111, 15, 14, false, true, kIdsRecord},
    ControlTemplate{kIdTimecode, K::kSunkenText, "--:--:--.--", 80, 130, 55, 9, true, true,
                    kIdsTimecode},
    ControlTemplate{kIdMonitor, K::kCheckBox, "Monitor", 195, 130, 38, 10, false, true,
                    kIdsMonitor},
    ControlTemplate{kIdPreviewSize, K::kComboBox, "", 5, 125, 65, 110, false, true,
                    kIdsPreviewSize},
    ControlTemplate{kIdSeparator, K::kEtchedLine, "", 0, 105, 280, 1, true, true, 0},
    ControlTemplate{kIdRecordName, K::kSunkenField, "", 195, 113, 65, 10, true, true,
                    kIdsRecordName},
    ControlTemplate{kIdChooseFile, K::kPushButton, "...", 260, 111, 15, 14, false, true,
                    kIdsChooseFile},
    ControlTemplate{kIdSerial, K::kCheckBox, "0,1,2,3,4...", 235, 130, 41, 10, false, true,
                    kIdsSerial},
    // Shown, unlike its first design: saving a still is useful from the window too.
    ControlTemplate{kIdSaveStill, K::kPushButton, "BMP", 175, 125, 15, 14, false, true,
                    kIdsSaveStill},
    ControlTemplate{kIdJogStatus, K::kSunkenText, "", 135, 130, 35, 9, true, true, 0},
};

constexpr std::array kPreviewSizes = {
    PreviewSize{"非表示", 0, 0},
    PreviewSize{"R-HALF(360×240)", 360, 240},
    PreviewSize{"S-HALF(320×240)", 320, 240},
    PreviewSize{"W-HALF(432×240)", 432, 240},
    PreviewSize{"R-FULL(720×480)", 720, 480},
    PreviewSize{"S-FULL(640×480)", 640, 480},
    PreviewSize{"W-FULL(856×480)", 856, 480},
};

constexpr std::array kTooltipOrder = {
    kIdConnect,       kIdExit,       kIdStop,      kIdPause,       kIdPlay,   kIdNextFrame,
    kIdPreviousFrame, kIdRecord,     kIdSaveStill, kIdFastForward, kIdRewind, kIdPreviewSize,
    kIdChooseFile,    kIdRecordName, kIdTimecode,  kIdMonitor,     kIdSerial};

}  // namespace

std::span<const ControlTemplate> MainWindowControls() {
    return kControls;
}
std::span<const PreviewSize> PreviewSizes() {
    return kPreviewSizes;
}
std::span<const int> TooltipOrder() {
    return kTooltipOrder;
}

}  // namespace velmora::app
