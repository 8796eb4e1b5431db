// File Writer: writes each sample at the byte position its start time gives (a multiplexer
// addresses the file that way), or after the previous one when the sample has no time. The file
// opens when the filter leaves Stopped and closes when it stops; at end of stream the filter
// reports EC_COMPLETE like a renderer. A failed write is reported to the graph as EC_ERRORABORT
// and ends the stream; what was written stays on disk. A multiplexer upstream can have room
// reserved ahead of its writes, so that the file's closing writes always fit, and can have the
// writer go over to another file between two samples while the graph runs.

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/filters/file_io.h"
#include "platform/filters/file_output.h"
#include "platform/filters/file_sequence.h"
#include "platform/kernel/text.h"
#include "platform/media/base/filter.h"

namespace {

using platform::filters::UniqueFd;

class CFileWriter;

class CWriterInputPin final : public CBaseInputPin {
  public:
    CWriterInputPin(CFileWriter* writer, CCritSec* lock);
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

  private:
    CFileWriter* writer_;
};

class CFileWriter final : public CBaseFilter,
                          public IFileSinkFilter2,
                          public IVelmoraWriteStatus,
                          public IVelmoraFileSpace,
                          public IVelmoraFileSwitch {
  public:
    explicit CFileWriter(IUnknown* outer);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int index) override { return index == 0 ? input_.get() : nullptr; }
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;

    // IFileSinkFilter2
    HRESULT STDMETHODCALLTYPE SetFileName(LPCOLESTR file, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE SetMode(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE GetMode(DWORD* flags) override;

    HRESULT STDMETHODCALLTYPE GetWriteFailure(HRESULT* error) override;
    HRESULT STDMETHODCALLTYPE Reserve(LONGLONG end, LONGLONG* reservedEnd) override;
    HRESULT STDMETHODCALLTYPE SwitchFile(LPCOLESTR path) override;

    // Streaming, on the upstream thread.
    CCritSec* StreamingLock() { return &streamingLock_; }
    HRESULT Write(IMediaSample* sample);
    HRESULT EndOfStream();
    void BeginFlush();

  private:
    // Under the state lock.
    HRESULT OpenFile();
    // Under both locks: closes the open file, removing it when this run created it and never
    // wrote into it.
    HRESULT CloseFile();
    HRESULT Fail(HRESULT error);
    void CompleteIfDue();

    CCritSec stateLock_;
    CCritSec streamingLock_;
    std::unique_ptr<CWriterInputPin> input_;

    std::u16string fileName_;  // under the state lock
    std::string path_;
    DWORD mode_ = 0;

    // Under the streaming lock: opened and closed with it held as well as the state lock.
    UniqueFd file_;
    LONGLONG nextPosition_ = 0;
    LONGLONG reservedEnd_ = 0;  // room is allocated up to here
    bool canReserve_ = true;
    bool created_ = false;                // the open file did not exist before this run opened it
    bool written_ = false;                // something was written into the open file
    std::atomic<HRESULT> failure_{S_OK};  // the first write error of this run

    std::mutex endLock_;  // end-of-stream bookkeeping; never held while calling out
    bool eosReceived_ = false;
    bool completeSent_ = false;
};

// ---- pin ----

CWriterInputPin::CWriterInputPin(CFileWriter* writer, CCritSec* lock)
    : CBaseInputPin("file writer input", writer, lock, nullptr, u"in"), writer_(writer) {}

HRESULT CWriterInputPin::Receive(IMediaSample* sample) {
    CAutoLock streaming(writer_->StreamingLock());
    HRESULT hr = CBaseInputPin::Receive(sample);
    return hr == S_OK ? writer_->Write(sample) : hr;
}

HRESULT CWriterInputPin::EndOfStream() {
    CAutoLock streaming(writer_->StreamingLock());
    HRESULT hr = CheckStreaming();
    return hr == S_OK ? writer_->EndOfStream() : hr;
}

HRESULT CWriterInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    writer_->BeginFlush();
    return S_OK;
}

HRESULT CWriterInputPin::EndFlush() {
    CAutoLock streaming(writer_->StreamingLock());  // a write in progress finishes first
    return CBaseInputPin::EndFlush();
}

// ---- filter ----

CFileWriter::CFileWriter(IUnknown* outer)
    : CBaseFilter("file writer", outer, &stateLock_, CLSID_FileWriter),
      input_(std::make_unique<CWriterInputPin>(this, &stateLock_)) {}

HRESULT CFileWriter::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IFileSinkFilter2 || iid == IID_IFileSinkFilter)
        return GetInterface(static_cast<IFileSinkFilter2*>(this), object);
    if (iid == IID_IVelmoraWriteStatus)
        return GetInterface(static_cast<IVelmoraWriteStatus*>(this), object);
    if (iid == IID_IVelmoraFileSpace)
        return GetInterface(static_cast<IVelmoraFileSpace*>(this), object);
    if (iid == IID_IVelmoraFileSwitch)
        return GetInterface(static_cast<IVelmoraFileSwitch*>(this), object);
    return CBaseFilter::NonDelegatingQueryInterface(iid, object);
}

HRESULT CFileWriter::OpenFile() {
    if (path_.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode_ & AM_FILE_OVERWRITE) flags |= O_TRUNC;
    bool created = true;
    int fd = ::open(path_.c_str(), flags | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path_.c_str(), flags, 0666);
    }
    if (fd < 0) return platform::filters::HresultFromErrno(errno);
    CAutoLock streaming(&streamingLock_);
    file_ = UniqueFd(fd);
    created_ = created;
    written_ = false;
    nextPosition_ = 0;
    reservedEnd_ = 0;
    canReserve_ = true;
    return S_OK;
}

HRESULT CFileWriter::CloseFile() {
    const bool unused = file_.Valid() && created_ && !written_;
    HRESULT closed = file_.Close();
    if (unused) ::unlink(path_.c_str());
    return closed;
}

HRESULT CFileWriter::SwitchFile(LPCOLESTR file) {
    std::string path;
    HRESULT hr = platform::filters::PathFromWide(file, &path);
    if (FAILED(hr)) return hr;
    CAutoLock lock(&stateLock_);
    std::u16string name;
    try {
        name.assign(file, platform::WideLength(file));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (IsStopped()) {
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | ((mode_ & AM_FILE_OVERWRITE) ? O_TRUNC : 0);
        UniqueFd created(::open(path.c_str(), flags, 0666));
        if (!created.Valid()) return platform::filters::HresultFromErrno(errno);
        fileName_ = std::move(name);
        path_ = std::move(path);
        return S_FALSE;
    }
    {
        CAutoLock streaming(&streamingLock_);
        HRESULT closed = CloseFile();
        if (FAILED(closed)) return Fail(closed);
    }
    fileName_ = std::move(name);
    path_ = std::move(path);
    hr = OpenFile();
    return FAILED(hr) ? Fail(hr) : S_OK;
}

HRESULT CFileWriter::Pause() {
    CAutoLock lock(&stateLock_);
    if (m_State == State_Stopped) {
        {
            std::lock_guard end(endLock_);
            eosReceived_ = completeSent_ = false;
        }
        failure_ = S_OK;
        if (input_->IsConnected()) {
            HRESULT hr = OpenFile();
            if (FAILED(hr)) return hr;  // stays stopped; the caller hears why
        }
    }
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr)) Stop();
    return hr;
}

HRESULT CFileWriter::Run(REFERENCE_TIME start) {
    CAutoLock lock(&stateLock_);
    HRESULT hr = CBaseFilter::Run(start);
    if (SUCCEEDED(hr)) CompleteIfDue();  // end of stream came while paused
    return hr;
}

HRESULT CFileWriter::Stop() {
    CAutoLock lock(&stateLock_);
    HRESULT hr = CBaseFilter::Stop();
    CAutoLock streaming(&streamingLock_);  // a write in progress finishes first
    HRESULT closed = file_.Close();
    if (FAILED(closed)) {
        // The system reported a late write failure: the file is not what was sent.
        NotifyEvent(EC_ERRORABORT, closed, 0);
        if (SUCCEEDED(hr)) hr = closed;
    }
    return hr;
}

HRESULT CFileWriter::Fail(HRESULT error) {
    HRESULT none = S_OK;
    // Recorded before the graph hears of it, so that whoever reacts can ask why.
    if (failure_.compare_exchange_strong(none, error)) NotifyEvent(EC_ERRORABORT, error, 0);
    return error;
}

HRESULT CFileWriter::GetWriteFailure(HRESULT* error) {
    if (!error) return E_POINTER;
    *error = failure_;
    return FAILED(*error) ? S_OK : S_FALSE;
}

// Called by the upstream filter on its streaming thread, like Write.
HRESULT CFileWriter::Reserve(LONGLONG end, LONGLONG* reservedEnd) {
    // Room is taken in steps, so that the file system is asked once in a while only; near the
    // end of the disk, just what is asked for.
    constexpr LONGLONG kStep = 16 << 20;
    CAutoLock streaming(&streamingLock_);
    if (!file_.Valid()) return VFW_E_WRONG_STATE;
    HRESULT hr = canReserve_ ? S_OK : S_FALSE;
    if (canReserve_ && end > reservedEnd_) {
        LONGLONG target = end + kStep;
        hr = platform::filters::AllocateRoom(file_.Get(), reservedEnd_, target);
        if (hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL)) {
            target = end;
            hr = platform::filters::AllocateRoom(file_.Get(), reservedEnd_, target);
        }
        if (hr == S_OK) reservedEnd_ = target;
        if (hr == S_FALSE) canReserve_ = false;
    }
    if (reservedEnd) *reservedEnd = reservedEnd_;
    return hr;
}

// Under the streaming lock.
HRESULT CFileWriter::Write(IMediaSample* sample) {
    if (HRESULT failed = failure_; FAILED(failed)) return failed;
    {
        std::lock_guard end(endLock_);
        if (eosReceived_) return VFW_E_SAMPLE_REJECTED_EOS;
    }
    if (!file_.Valid()) return Fail(VFW_E_WRONG_STATE);
    BYTE* data = nullptr;
    LONG length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || length < 0 || length > sample->GetSize() ||
        (length > 0 && !data))
        return Fail(E_INVALIDARG);
    REFERENCE_TIME start = 0, end = 0;
    LONGLONG position = FAILED(sample->GetTime(&start, &end)) ? nextPosition_ : start;
    if (position < 0) return Fail(E_INVALIDARG);
    HRESULT hr = platform::filters::WriteAt(file_.Get(), position, data, length);
    if (FAILED(hr)) return Fail(hr);
    written_ = written_ || length > 0;
    nextPosition_ = position + length;
    return S_OK;
}

void CFileWriter::CompleteIfDue() {
    {
        std::lock_guard end(endLock_);
        if (!eosReceived_ || completeSent_ || m_State != State_Running) return;
        completeSent_ = true;
    }
    NotifyEvent(EC_COMPLETE, S_OK, 0);
}

HRESULT CFileWriter::EndOfStream() {
    {
        std::lock_guard end(endLock_);
        eosReceived_ = true;
    }
    CompleteIfDue();
    return S_OK;
}

void CFileWriter::BeginFlush() {
    std::lock_guard end(endLock_);
    eosReceived_ = completeSent_ = false;
}

HRESULT CFileWriter::SetFileName(LPCOLESTR file, const AM_MEDIA_TYPE*) {
    std::string path;
    HRESULT hr = platform::filters::PathFromWide(file, &path);
    if (FAILED(hr)) return hr;
    CAutoLock lock(&stateLock_);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;  // the open file is this run's
    try {
        fileName_.assign(file, platform::WideLength(file));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    path_ = std::move(path);
    return S_OK;
}

HRESULT CFileWriter::GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* type) {
    if (!file) return E_POINTER;
    *file = nullptr;
    CAutoLock lock(&stateLock_);
    if (fileName_.empty()) return E_FAIL;
    auto* copy = platform::CoTaskMemString(fileName_);
    if (!copy) return E_OUTOFMEMORY;
    if (type) {
        std::memset(type, 0, sizeof *type);
        HRESULT hr =
            input_->IsConnected() ? CopyMediaType(type, &input_->CurrentMediaType()) : S_OK;
        if (FAILED(hr)) {
            CoTaskMemFree(copy);
            return hr;
        }
    }
    *file = copy;
    return S_OK;
}

HRESULT CFileWriter::SetMode(DWORD flags) {
    if (flags & ~AM_FILE_OVERWRITE) return E_INVALIDARG;
    CAutoLock lock(&stateLock_);
    mode_ = flags;  // applies when the file is next opened
    return S_OK;
}

HRESULT CFileWriter::GetMode(DWORD* flags) {
    if (!flags) return E_POINTER;
    CAutoLock lock(&stateLock_);
    *flags = mode_;
    return S_OK;
}

platform::BuiltinClass g_fileWriterClass(CLSID_FileWriter,
                                         &platform::filters::CreateFilter<CFileWriter>);

}  // namespace
