// Record files and stills: the chosen file, the names derived from it and the record button.

#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include "app/deck_dlg.h"
#include "app/dialog_template.h"
#include "app/prompts.h"
#include "app/strings.h"
#include "platform/media/errors.h"

namespace velmora::app {

namespace {

// File names go to the toolkit in the system's file-name encoding.
QByteArray NativeName(const QString& path) {
    return QFile::encodeName(path);
}

bool Exists(const QString& path) {
    return QFileInfo::exists(path);
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

QString CDeckDlg::NumberedTakeName(int number) const {
    QString name = RecordBaseName() + QString::asprintf("%04d", number);
    if (!recordExtension_.isEmpty()) name += QLatin1Char('.') + recordExtension_;
    return name;
}

QString CDeckDlg::StillName(int number) const {
    return RecordBaseName() + QString::asprintf("%04d", number) + QStringLiteral(".bmp");
}

// A numbered name is one the user never typed: a take or still of an earlier sitting may
// already carry it. The counters move past every number already taken, so nothing is
// overwritten and the display shows the name the next take really gets. The running take's own
// file does not count as taken: its number stays the current one until the take stops.
void CDeckDlg::SkipTakenNumbers() {
    if (!serialNumbering_) return;
    for (QString name = NumberedTakeName(serialCounter_); name != runningTake_ && Exists(name);
         name = NumberedTakeName(serialCounter_))
        ++serialCounter_;
}

void CDeckDlg::ComputeRecordFileName() {
    Pull();
    SkipTakenNumbers();
    recordFileName_ = serialNumbering_ ? NumberedTakeName(serialCounter_) : recordPath_;
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
    // A file may have appeared under the shown name since it was worked out.
    if (serialNumbering_) ComputeRecordFileName();
    // A start the toolkit refuses (no such folder, say) is no recording: the window says so
    // and stays as it was.
    if (!Tovik_StartRec(capture_, NativeName(recordFileName_).constData(), monitor_)) {
        CurrentPrompts().Message(this, QString::fromUtf8(text::kRecordingNotStarted),
                                 PromptIcon::kError, PromptButtons::kOk);
        return;
    }
    Button(kIdRecord)->setText(QStringLiteral("■"));
    SetTip(kIdRecord, kIdsStopRecording);
    runningTake_ = recordFileName_;
    recording_ = 1;
    ShowRecordingInTitle();
}

void CDeckDlg::ShowRecordingInTitle() {
    const QString caption = QString::fromUtf8(text::kWindowCaption);
    TovikRecReport report{};
    if (Tovik_GetRecReport(capture_, &report) != 1) {
        setWindowTitle(caption);
        return;
    }
    if (recording_) {
        TovikProgress progress{};
        Tovik_GetRecStatus(capture_, &progress);
        const std::int64_t seconds = progress.position / 10000000;
        const QString time =
            QString::asprintf("%02lld:%02lld:%02lld", (long long)(seconds / 3600),
                              (long long)(seconds / 60 % 60), (long long)(seconds % 60));
        setWindowTitle(caption + QStringLiteral(" - ") +
                       QString::fromUtf8(text::kTitleRecording)
                           .arg(time)
                           .arg(report.dropped)
                           .arg(report.damaged));
    } else if (report.dropped > 0 || report.damaged > 0) {
        setWindowTitle(caption + QStringLiteral(" - ") +
                       QString::fromUtf8(text::kTitleLastTake)
                           .arg(report.frames)
                           .arg(report.dropped)
                           .arg(report.damaged));
    } else {
        setWindowTitle(caption);
    }
}

void CDeckDlg::EndRecordingState() {
    if (!recording_) return;
    Button(kIdRecord)->setText(QStringLiteral("●"));
    Tovik_StopRec(capture_);
    runningTake_.clear();
    ++serialCounter_;
    ComputeRecordFileName();
    SetTip(kIdRecord, kIdsRecord);
    recording_ = 0;
    ShowRecordingInTitle();
}

// The toolkit stopped writing the running take (the disk is full, the file cannot be written,
// the tape changed to the other DV system).
// The take ends as a stop ends it: the stop completes the file on disk and brings the preview
// back. A notice that comes late, while a newer take runs, is not about that take.
void CDeckDlg::OnRecordingFailed(HRESULT why) {
    if (recording_) {
        TovikProgress progress{};
        Tovik_GetRecStatus(capture_, &progress);
        if (progress.active) return;
        EndRecordingState();
    }
    const char* message = why == HRESULT_FROM_WIN32(ERROR_DISK_FULL)
                              ? text::kRecordingStoppedDiskFull
                          : why == VFW_E_INVALIDMEDIATYPE ? text::kRecordingStoppedSystemChanged
                                                          : text::kRecordingStoppedWriteFailed;
    CurrentPrompts().Message(this, QString::fromUtf8(message), PromptIcon::kError,
                             PromptButtons::kOk);
}

void CDeckDlg::OnSaveStill() {
    while (Exists(StillName(stillCounter_))) ++stillCounter_;
    const QString name = StillName(stillCounter_);
    ++stillCounter_;
    Tovik_SaveBmp(capture_, NativeName(name).constData());
}

}  // namespace velmora::app
