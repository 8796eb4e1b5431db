#include <cstring>

#include "platform/kernel/text.h"

#include "toolkit/capture/capture_tables.h"
#include "toolkit/capture/dv_capture.h"

namespace {

// A path in the system code page as a wide string of at most 260 characters.
bool WidePath(const char* path, WCHAR (&wide)[260]) {
    return path && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 260) != 0;
}

}  // namespace

void CDVCapture::TakeDownRecordBranch() {
    FilterEntry* entries = table_->Entries();
    auto disconnectAndRelease = [&](int filter, int pin) {
        IPin*& entry = entries[filter].pins[pin].pin;
        if (!entry) return;
        m_pGraph->Disconnect(entry);
        entry->Release();
        entry = nullptr;
    };
    disconnectAndRelease(kEntrySmartTee, 1);
    disconnectAndRelease(kEntryAviMux, 0);
    disconnectAndRelease(kEntryAviMux, 1);
    disconnectAndRelease(kEntryAviMux, 2);
    disconnectAndRelease(kEntryFileWriter, 0);
    m_pGraph->RemoveFilter(entries[kEntryAviMux].filter);
    m_pGraph->RemoveFilter(entries[kEntryFileWriter].filter);
    if (!keepPreview_) {
        m_pGraph->ConnectDirect(entries[kEntrySmartTee].pins[2].pin,
                                entries[kEntryDvSplitter].pins[0].pin, nullptr);
    }
}

int CDVCapture::StartRec(const char* path, int keepPreview) {
    // A write-mode object has no record branch in its table.
    if (state_ != kCaptureOpen || WriteMode()) return 0;
    WCHAR wide[260];
    if (!WidePath(path, wide)) return 0;
    control_->Stop();
    FilterEntry* entries = table_->Entries();
    keepPreview_ = 1;  // nothing of the preview is cut until the branch stands
    bool started = AddFilters(entries + kEntryAviMux, 2) != 0 &&
                   SUCCEEDED(fileSink_->SetFileName(wide, nullptr));
    if (started) {
        try {
            Connect(entries, filterCount_, kRecordPlan, 6);
            started = SUCCEEDED(entries[kEntryAviMux].filter->QueryInterface(
                IID_IMediaSeeking, recordSeeking_.PutVoid()));
        } catch (const _tagDXM_EXPECT&) {
            started = false;
        }
    }
    if (started) {
        report_.Begin(path, entries[kEntryDevice].filter, entries[kEntryAviMux].filter);
        keepPreview_ = keepPreview;
        if (!keepPreview) {
            m_pGraph->Disconnect(entries[kEntrySmartTee].pins[2].pin);
            m_pGraph->Disconnect(entries[kEntryDvSplitter].pins[0].pin);
        }
        events_->CancelDefaultHandling(EC_REPAINT);
        recordFailureReported_ = false;
        recordEnded_ = S_OK;
        // The file opens as the graph runs: a folder that is not there fails here.
        started = SUCCEEDED(control_->Run());
        if (!started) {
            control_->Stop();
            events_->RestoreDefaultHandling(EC_REPAINT);
        }
    }
    if (!started) {
        report_.Abandon();
        // Leave the object as it was, so that the next start can succeed.
        recordSeeking_.Reset();
        TakeDownRecordBranch();
        keepPreview_ = 1;
        control_->Run();
        return 0;
    }
    state_ = kCaptureRecording;
    return 1;
}

int CDVCapture::StopRec() {
    if (state_ != kCaptureRecording) return 0;
    control_->Stop();  // the mux completes the file as the graph stops
    report_.End();     // after the mux's last frame
    events_->RestoreDefaultHandling(EC_REPAINT);
    TakeDownRecordBranch();
    control_->Run();
    state_ = kCaptureOpen;
    return 1;
}

int CDVCapture::GetRecStatus(TovikProgress* progress) {
    if (!progress) return 1;
    progress->active = 0;
    progress->position = 0;
    // A recording whose file could not be written has ended, though the caller has yet to stop it.
    if (state_ == kCaptureRecording && recordSeeking_ && SUCCEEDED(RecordFailure()) &&
        SUCCEEDED(recordEnded_.load())) {
        progress->active = 1;
        LONGLONG duration = 0;
        if (SUCCEEDED(recordSeeking_->GetDuration(&duration))) progress->position = duration;
    }
    return 1;
}

int CDVCapture::GetRecReport(TovikRecReport* report) {
    if (!report) return 0;
    report->frames = report_.Frames();
    report->dropped = report_.Dropped();
    report->damaged = report_.Damaged();
    return 1;
}

void CDVCapture::TakeDownWriteBranch() {
    FilterEntry* entries = table_->Entries();
    for (auto [filter, pin] : {std::pair{kWriteReader, 0}, std::pair{kWriteSplitter, 0},
                               std::pair{kWriteSplitter, 1}, std::pair{kWriteDevice, 0}}) {
        IPin*& entry = entries[filter].pins[pin].pin;
        if (!entry) continue;
        m_pGraph->Disconnect(entry);
        entry->Release();
        entry = nullptr;
    }
}

int CDVCapture::SetWriteFile(const char* path) {
    WCHAR wide[260];
    if (!WidePath(path, wide)) return 0;
    platform::ComPtr<IFileSourceFilter> loader;
    IBaseFilter* reader = table_ ? (*table_)[kWriteReader].filter : nullptr;
    if (!reader || FAILED(reader->QueryInterface(IID_IFileSourceFilter, loader.PutVoid())))
        return 0;
    // A reader that has a file cued already refuses another one; so does a missing file.
    if (FAILED(loader->Load(wide, nullptr))) return 0;
    loader.Reset();
    try {
        Connect(table_->Entries(), filterCount_, kWritePlan, 6);
    } catch (const _tagDXM_EXPECT&) {
        // Not a file the device takes: undone, so that another file can be tried.
        TakeDownWriteBranch();
        return 0;
    }
    writeSeeking_.Reset();
    IPin* stream = (*table_)[kWriteSplitter].pins[1].pin;
    if (stream && SUCCEEDED(stream->QueryInterface(IID_IMediaSeeking, writeSeeking_.PutVoid()))) {
        writeSeeking_->SetTimeFormat(&TIME_FORMAT_FRAME);
        LONGLONG length = 0;
        if (SUCCEEDED(writeSeeking_->GetDuration(&length))) writeLength_ = length;
    }
    if (FAILED(control_->Pause())) {
        control_->Stop();
        writeSeeking_.Reset();
        TakeDownWriteBranch();
        return 0;
    }
    run_ = true;
    state_ = kCaptureWriteReady;
    return 1;
}

int CDVCapture::WriteStart() {
    if (state_ != kCaptureWriteReady) return 0;
    if (FAILED(control_->Run())) {
        // Cued again as before, so that a later start can succeed.
        control_->Stop();
        control_->Pause();
        return 0;
    }
    state_ = kCaptureWriting;
    return 1;
}

int CDVCapture::WriteStop() {
    if (state_ != kCaptureWriting) return 0;
    control_->Stop();
    state_ = kCaptureWriteReady;
    return 1;
}

int CDVCapture::GetWriteFileLength(std::int64_t* length) {
    if (length) *length = writeLength_;
    return 1;
}

int CDVCapture::GetWriteStatus(TovikProgress* progress) {
    if (!progress) return 1;
    progress->active = state_ == kCaptureWriting ? 1 : 0;
    progress->position = 0;
    if (progress->active && writeSeeking_) {
        LONGLONG position = 0;
        if (SUCCEEDED(writeSeeking_->GetCurrentPosition(&position))) progress->position = position;
    }
    return 1;
}
