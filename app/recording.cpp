// Record files and stills: the chosen file, the names derived from it and the record button.

#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"
#include "app/prompts.h"
#include "app/strings.h"

namespace velmora::app {

namespace {

// File names go to the toolkit in the system's file-name encoding.
QByteArray NativeName(const QString& path) {
    return QFile::encodeName(path);
}

}  // namespace

QString CDeckDlg::RecordBaseName() const {
    if (recordExtension_.isEmpty()) return recordPath_;
    return recordPath_.left(recordPath_.size() - recordExtension_.size() - 1);
}

void CDeckDlg::OnChooseRecordFile() {
    SaveFileRequest request;
    request.filter = QString::fromUtf8(text::kFileFilter);
    request.defaultSuffix = QStringLiteral("avi");
    std::optional<QString> chosen = CurrentPrompts().SaveFile(this, request);
    if (!chosen || chosen->isEmpty()) return;
    serialCounter_ = 0;
    stillCounter_ = 0;
    recordPath_ = QFileInfo(*chosen).absoluteFilePath();
    recordExtension_ = QFileInfo(recordPath_).suffix();
    ComputeRecordFileName();
    // The dialog runs its own event loop: the deck may have gone away while it was open.
    if (connected_) EnableControls({kIdSerial, kIdRecord, kIdSaveStill}, true);
}

void CDeckDlg::ComputeRecordFileName() {
    Pull();
    if (serialNumbering_) {
        recordFileName_ = RecordBaseName() + QString::asprintf("%04d", serialCounter_);
        if (!recordExtension_.isEmpty()) recordFileName_ += QLatin1Char('.') + recordExtension_;
    } else {
        recordFileName_ = recordPath_;
    }
    recordFileNameText_ = recordFileName_;
    Push();
}

void CDeckDlg::OnSerialClicked() {
    ComputeRecordFileName();
}

void CDeckDlg::OnRecord() {
    Pull();
    if (recording_) {
        EndRecordingState();
        return;
    }
    if (recordFileName_.isEmpty()) return;
    Button(kIdRecord)->setText(QStringLiteral("■"));
    Tovik_StartRec(capture_, NativeName(recordFileName_).constData(), monitor_);
    SetTip(kIdRecord, kIdsStopRecording);
    recording_ = 1;
}

void CDeckDlg::EndRecordingState() {
    if (!recording_) return;
    Button(kIdRecord)->setText(QStringLiteral("●"));
    Tovik_StopRec(capture_);
    ++serialCounter_;
    ComputeRecordFileName();
    SetTip(kIdRecord, kIdsRecord);
    recording_ = 0;
}

void CDeckDlg::OnSaveStill() {
    const QString name =
        RecordBaseName() + QString::asprintf("%04d", stillCounter_) + QStringLiteral(".bmp");
    ++stillCounter_;
    Tovik_SaveBmp(capture_, NativeName(name).constData());
}

}  // namespace velmora::app
