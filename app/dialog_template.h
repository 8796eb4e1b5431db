#pragma once
// The main window's controls, in tab order, in dialog units.

#include <span>

namespace velmora::app {

// Control identifiers.
inline constexpr int kIdExit = 2;
inline constexpr int kIdConnect = 1000;
inline constexpr int kIdPlay = 1002;
inline constexpr int kIdStop = 1003;
inline constexpr int kIdPause = 1004;
inline constexpr int kIdUnused = 1005;
inline constexpr int kIdNextFrame = 1006;
inline constexpr int kIdPreviousFrame = 1007;
inline constexpr int kIdFastForward = 1008;
inline constexpr int kIdRewind = 1009;
inline constexpr int kIdRecord = 1010;
inline constexpr int kIdMonitor = 1011;
inline constexpr int kIdPreviewSize = 1012;
inline constexpr int kIdSeparator = 1013;
inline constexpr int kIdChooseFile = 1014;
inline constexpr int kIdSerial = 1015;
inline constexpr int kIdRecordName = 1016;
inline constexpr int kIdTimecode = 1017;
inline constexpr int kIdSaveStill = 1018;
inline constexpr int kIdJogStatus = 1019;

enum class ControlKind {
    kPushButton,
    kHoldButton,
    kCheckBox,
    kComboBox,
    kSunkenText,   // sunken static text, centred both ways
    kSunkenField,  // sunken static text, left aligned, one line
    kEtchedLine,
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption;
    int x, y, width, height;
    bool enabled;
    bool visible;
    int tooltip;  // string-table entry, 0 for none
};

// The dialog's size in dialog units.
inline constexpr int kDialogWidth = 281;
inline constexpr int kDialogHeight = 145;

std::span<const ControlTemplate> MainWindowControls();

// The preview sizes of the combo box, in its item order.
struct PreviewSize {
    const char* label;
    int width;
    int height;
};
std::span<const PreviewSize> PreviewSizes();

// Registration order of the tooltips.
std::span<const int> TooltipOrder();

}  // namespace velmora::app
