#pragma once
// The program's texts: the string table (about item, tooltips, title) and its messages.

#include <QString>

namespace velmora::app {

inline constexpr int kIdsAboutItem = 101;
inline constexpr int kIdsConnect = 102;
inline constexpr int kIdsExit = 103;
inline constexpr int kIdsStop = 104;
inline constexpr int kIdsPause = 105;
inline constexpr int kIdsPlay = 106;
inline constexpr int kIdsNextFrame = 107;
inline constexpr int kIdsPreviousFrame = 108;
inline constexpr int kIdsRecord = 109;
inline constexpr int kIdsPreviewSize = 110;
inline constexpr int kIdsChooseFile = 111;
inline constexpr int kIdsFastForward = 112;
inline constexpr int kIdsRewind = 113;
inline constexpr int kIdsStopRecording = 114;
inline constexpr int kIdsMonitor = 115;
inline constexpr int kIdsSerial = 116;
inline constexpr int kIdsDisconnect = 117;
inline constexpr int kIdsRecordName = 118;
inline constexpr int kIdsTimecode = 119;
inline constexpr int kIdsSaveStill = 120;
inline constexpr int kIdsAppTitle = 57344;

// The text of a string-table entry; empty for an unknown identifier.
QString LoadString(int id);

// Messages shown in message boxes.
namespace text {
inline constexpr char kDeviceNotFound[] = "DV機器が見つかりませんでした。";
inline constexpr char kDeviceInUse[] =
    "DV機器と接続できませんでした。デバイスが使用中かもしれません。";
inline constexpr char kInitFailed[] = "初期化に失敗しました。";
inline constexpr char kDeviceOffline[] = "DV機器がオフラインになりました。";
inline constexpr char kConfirmExit[] = "終了しますか？";
inline constexpr char kRecordingNotStarted[] = "録画を開始できませんでした。";
inline constexpr char kRecordingStoppedDiskFull[] =
    "ディスクがいっぱいになったため、録画を停止しました。";
inline constexpr char kRecordingStoppedWriteFailed[] =
    "ファイルに書き込めないため、録画を停止しました。";
inline constexpr char kRecordingStoppedSystemChanged[] =
    "テープの方式(NTSC/PAL)が変わったため、録画を停止しました。";
inline constexpr char kWindowCaption[] = "Velmora v1.6β2 (Post v.1.7)";
// The window title while recording (recorded time, frames lost, damaged frames) and after a
// take that lost or damaged frames.
inline constexpr char kTitleRecording[] = "録画中 %1  落ち %2  損傷 %3";
inline constexpr char kTitleLastTake[] = "前回の録画: %1 ｺﾏ中 落ち %2  損傷 %3";
inline constexpr char kAboutCaption[] = "Velmoraのﾊﾞｰｼﾞｮﾝ情報";
inline constexpr char kAboutVersion[] = "Velmora Version 1.6β2 (Post v.1.7)";
inline constexpr char kFileFilter[] =
    "AVIファイル(*.avi);;DVSDファイル(*.dvsd);;すべてのファイル(*)";
}  // namespace text

}  // namespace velmora::app
