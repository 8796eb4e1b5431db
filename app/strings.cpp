#include "app/strings.h"

#include <map>

namespace velmora::app {

QString LoadString(int id) {
    static const std::map<int, const char*> table = {
        {kIdsAboutItem, "Velmora のﾊﾞｰｼﾞｮﾝ情報(&A)..."},
        {kIdsConnect, "DV機器と接続"},
        {kIdsExit, "終了"},
        {kIdsStop, "停止"},
        {kIdsPause, "一時停止"},
        {kIdsPlay, "再生"},
        {kIdsNextFrame, "次のフレーム"},
        {kIdsPreviousFrame, "前のフレーム"},
        {kIdsRecord, "AVIへ録画"},
        {kIdsPreviewSize, "プレビュサイズ"},
        {kIdsChooseFile, "録画ファイル名を指定"},
        {kIdsFastForward, "早送り"},
        {kIdsRewind, "巻戻し"},
        {kIdsStopRecording, "録画終了"},
        {kIdsMonitor, "録画中にプレビュを表示"},
        {kIdsSerial, "録画毎にシリアル番号を付与"},
        {kIdsDisconnect, "DV機器と切断"},
        {kIdsRecordName, "録画ファイル名"},
        {kIdsTimecode, "タイムコード(未機能)"},
        {kIdsSaveStill, "静止画を保存"},
        {kIdsAppTitle, "Velmora"},
    };
    auto at = table.find(id);
    return at == table.end() ? QString() : QString::fromUtf8(at->second);
}

}  // namespace velmora::app
