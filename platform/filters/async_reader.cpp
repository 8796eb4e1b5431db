// Async Reader (File): a source for pull-model parsers. It has no streaming thread: the parser
// asks its output pin (IAsyncReader) for byte ranges and the reads happen on the parser's own
// thread, when it collects a request (WaitForNext) or asks synchronously. Sample times of a
// request are byte positions times UNITS, as on the platform.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/filters/file_io.h"
#include "platform/kernel/text.h"
#include "platform/media/base/filter.h"

namespace {

using platform::ComPtr;
using platform::filters::UniqueFd;
using File = std::shared_ptr<const UniqueFd>;

class CAsyncReader;

// The byte range a sample asks for, checked against the sample's own buffer.
HRESULT RangeOf(IMediaSample* sample, LONGLONG* position, LONG* length) {
    REFERENCE_TIME start = 0, stop = 0;
    if (sample->GetTime(&start, &stop) != S_OK) return VFW_E_SAMPLE_TIME_NOT_SET;
    if (start < 0 || stop < start) return E_INVALIDARG;
    LONGLONG bytes = stop / UNITS - start / UNITS;
    if (bytes > sample->GetSize()) return E_INVALIDARG;
    *position = start / UNITS;
    *length = static_cast<LONG>(bytes);
    return S_OK;
}

class CAsyncOutputPin final : public CBasePin, public IAsyncReader {
  public:
    CAsyncOutputPin(CAsyncReader* reader, CCritSec* lock);
    ~CAsyncOutputPin() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;

    // IAsyncReader. BeginFlush/EndFlush also answer IPin's, which nobody sends to an output.
    HRESULT STDMETHODCALLTYPE RequestAllocator(IMemAllocator* preferred,
                                               ALLOCATOR_PROPERTIES* props,
                                               IMemAllocator** actual) override;
    HRESULT STDMETHODCALLTYPE Request(IMediaSample* sample, DWORD_PTR user) override;
    HRESULT STDMETHODCALLTYPE WaitForNext(DWORD timeout, IMediaSample** sample,
                                          DWORD_PTR* user) override;
    HRESULT STDMETHODCALLTYPE SyncReadAligned(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE SyncRead(LONGLONG position, LONG length, BYTE* buffer) override;
    HRESULT STDMETHODCALLTYPE Length(LONGLONG* total, LONGLONG* available) override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

    void SetFile(File file);

  private:
    struct Pending {
        IMediaSample* sample;  // one reference
        DWORD_PTR user;
        bool cancelled;  // flushed: handed back unread, with VFW_E_WRONG_STATE
    };

    File CurrentFile();
    HRESULT ReadSample(const File& file, IMediaSample* sample);

    CAsyncReader* reader_;
    std::mutex lock_;  // file, queue and flushing; never held while reading or calling out
    std::condition_variable changed_;
    File file_;
    std::deque<Pending> pending_;
    bool flushing_ = false;
};

class CAsyncReader final : public CBaseFilter, public IFileSourceFilter {
  public:
    explicit CAsyncReader(IUnknown* outer);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int index) override { return index == 0 ? output_.get() : nullptr; }

    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR file, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* type) override;

    // Under the state lock.
    const CMediaType& FileType() const { return type_; }
    bool Loaded() const { return !fileName_.empty(); }

  private:
    CCritSec stateLock_;
    std::unique_ptr<CAsyncOutputPin> output_;
    std::u16string fileName_;
    CMediaType type_;
};

// ---- output pin ----

CAsyncOutputPin::CAsyncOutputPin(CAsyncReader* reader, CCritSec* lock)
    : CBasePin("async reader output", reader, lock, nullptr, u"Output", PINDIR_OUTPUT),
      reader_(reader) {}

CAsyncOutputPin::~CAsyncOutputPin() {
    for (auto& request : pending_) request.sample->Release();
}

HRESULT CAsyncOutputPin::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IAsyncReader) return GetInterface(static_cast<IAsyncReader*>(this), object);
    return CBasePin::NonDelegatingQueryInterface(iid, object);
}

HRESULT CAsyncOutputPin::CheckMediaType(const CMediaType* type) {
    const CMediaType& mine = reader_->FileType();
    if (!reader_->Loaded() || type->majortype != mine.majortype) return VFW_E_TYPE_NOT_ACCEPTED;
    return type->subtype == mine.subtype || type->subtype == GUID_NULL ? S_OK
                                                                       : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CAsyncOutputPin::GetMediaType(int position, CMediaType* type) {
    if (!reader_->Loaded()) return E_UNEXPECTED;
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    return type->Set(reader_->FileType());
}

void CAsyncOutputPin::SetFile(File file) {
    std::lock_guard lock(lock_);
    file_ = std::move(file);
}

File CAsyncOutputPin::CurrentFile() {
    std::lock_guard lock(lock_);
    return file_;
}

HRESULT CAsyncOutputPin::RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                          IMemAllocator** actual) {
    if (!props || !actual) return E_POINTER;
    *actual = nullptr;
    ALLOCATOR_PROPERTIES wanted = *props;
    wanted.cbAlign = std::max<LONG>(1, wanted.cbAlign);  // reads need no alignment here
    ALLOCATOR_PROPERTIES got{};
    if (preferred && SUCCEEDED(preferred->SetProperties(&wanted, &got))) {
        preferred->AddRef();
        *actual = preferred;
        return S_OK;
    }
    ComPtr<IMemAllocator> own;
    HRESULT hr = CMemAllocator::Create(own.Put());
    if (FAILED(hr)) return hr;
    hr = own->SetProperties(&wanted, &got);
    if (FAILED(hr)) return hr;
    *actual = own.Detach();
    return S_OK;
}

HRESULT CAsyncOutputPin::Request(IMediaSample* sample, DWORD_PTR user) {
    if (!sample) return E_POINTER;
    LONGLONG position;
    LONG length;
    HRESULT hr = RangeOf(sample, &position, &length);
    if (FAILED(hr)) return hr;
    {
        std::lock_guard lock(lock_);
        if (flushing_) return VFW_E_WRONG_STATE;
        if (!file_) return E_UNEXPECTED;
        try {
            pending_.push_back({sample, user, false});
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        sample->AddRef();
    }
    changed_.notify_all();
    return S_OK;
}

HRESULT CAsyncOutputPin::WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user) {
    if (!sample || !user) return E_POINTER;
    *sample = nullptr;
    *user = 0;
    std::unique_lock lock(lock_);
    auto ready = [&] { return !pending_.empty() || flushing_; };
    if (timeout == INFINITE) {
        changed_.wait(lock, ready);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout), ready)) {
        return VFW_E_TIMEOUT;
    }
    if (pending_.empty()) return VFW_E_WRONG_STATE;  // flushing, nothing left to hand back
    Pending request = pending_.front();
    pending_.pop_front();
    File file = file_;
    lock.unlock();
    // The sample goes back to the caller in every case, so that it can release it.
    *sample = request.sample;
    *user = request.user;
    if (request.cancelled) return VFW_E_WRONG_STATE;
    return ReadSample(file, request.sample);
}

HRESULT CAsyncOutputPin::ReadSample(const File& file, IMediaSample* sample) {
    LONGLONG position;
    LONG length;
    HRESULT hr = RangeOf(sample, &position, &length);
    if (FAILED(hr)) return hr;
    if (!file) return E_UNEXPECTED;
    BYTE* buffer = nullptr;
    if (FAILED(sample->GetPointer(&buffer)) || (length > 0 && !buffer)) return E_POINTER;
    LONG done = 0;
    hr = platform::filters::ReadAt(file->Get(), position, buffer, length, &done);
    sample->SetActualDataLength(done);
    if (FAILED(hr)) return hr;
    return done < length ? S_FALSE : S_OK;
}

HRESULT CAsyncOutputPin::SyncReadAligned(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    return ReadSample(CurrentFile(), sample);
}

HRESULT CAsyncOutputPin::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
    if (!buffer) return E_POINTER;
    if (position < 0 || length < 0) return E_INVALIDARG;
    File file = CurrentFile();
    if (!file) return E_UNEXPECTED;
    LONG done = 0;
    HRESULT hr = platform::filters::ReadAt(file->Get(), position, buffer, length, &done);
    if (FAILED(hr)) return hr;
    return done < length ? S_FALSE : S_OK;
}

HRESULT CAsyncOutputPin::Length(LONGLONG* total, LONGLONG* available) {
    if (!total || !available) return E_POINTER;
    File file = CurrentFile();
    if (!file) return E_UNEXPECTED;
    struct stat info {};
    if (::fstat(file->Get(), &info) != 0) return platform::filters::HresultFromErrno(errno);
    *total = *available = static_cast<LONGLONG>(info.st_size);
    return S_OK;
}

HRESULT CAsyncOutputPin::BeginFlush() {
    {
        std::lock_guard lock(lock_);
        flushing_ = true;
        for (auto& request : pending_) request.cancelled = true;
    }
    changed_.notify_all();  // a WaitForNext in progress returns at once
    return S_OK;
}

HRESULT CAsyncOutputPin::EndFlush() {
    std::lock_guard lock(lock_);
    flushing_ = false;
    return S_OK;
}

// ---- filter ----

CAsyncReader::CAsyncReader(IUnknown* outer)
    : CBaseFilter("async reader", outer, &stateLock_, CLSID_AsyncReader),
      output_(std::make_unique<CAsyncOutputPin>(this, &stateLock_)) {}

HRESULT CAsyncReader::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), object);
    return CBaseFilter::NonDelegatingQueryInterface(iid, object);
}

namespace {
// MEDIASUBTYPE_Avi for a RIFF AVI file, else no subtype.
GUID SubtypeOf(int fd) {
    BYTE head[12] = {};
    LONG done = 0;
    if (FAILED(platform::filters::ReadAt(fd, 0, head, sizeof head, &done)) || done < 12)
        return GUID_NULL;
    if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0)
        return MEDIASUBTYPE_Avi;
    return GUID_NULL;
}
}  // namespace

HRESULT CAsyncReader::Load(LPCOLESTR file, const AM_MEDIA_TYPE* type) {
    std::string path;
    HRESULT hr = platform::filters::PathFromWide(file, &path);
    if (FAILED(hr)) return hr;
    CAutoLock lock(&stateLock_);
    if (output_->IsConnected() || !IsStopped()) return VFW_E_WRONG_STATE;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                               : platform::filters::HresultFromErrno(errno);
    auto handle = std::make_shared<const UniqueFd>(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return platform::filters::HresultFromErrno(errno);
    if (S_ISDIR(info.st_mode)) return E_ACCESSDENIED;
    CMediaType decided;
    if (type) {
        hr = decided.Set(*type);
        if (FAILED(hr)) return hr;
    } else {
        decided.SetType(&MEDIATYPE_Stream);
        GUID subtype = SubtypeOf(fd);
        decided.SetSubtype(&subtype);
    }
    type_ = decided;
    fileName_.assign(file, platform::WideLength(file));
    output_->SetFile(std::move(handle));
    return S_OK;
}

HRESULT CAsyncReader::GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* type) {
    if (!file) return E_POINTER;
    *file = nullptr;
    CAutoLock lock(&stateLock_);
    if (fileName_.empty()) return E_FAIL;
    auto* copy = platform::CoTaskMemString(fileName_);
    if (!copy) return E_OUTOFMEMORY;
    if (type) {
        HRESULT hr = CopyMediaType(type, &type_);
        if (FAILED(hr)) {
            CoTaskMemFree(copy);
            return hr;
        }
    }
    *file = copy;
    return S_OK;
}

platform::BuiltinClass g_asyncReaderClass(CLSID_AsyncReader,
                                          &platform::filters::CreateFilter<CAsyncReader>);

}  // namespace
