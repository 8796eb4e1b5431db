#include "platform/media/base/allocator.h"

#include <algorithm>

#include "platform/com/com.h"

CMediaSample::CMediaSample(CMemAllocator* allocator, BYTE* buffer, LONG size)
    : allocator_(allocator), buffer_(buffer), size_(size), actual_(size) {}

HRESULT CMediaSample::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMediaSample)
        return GetInterface(static_cast<IMediaSample*>(this), object);
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() { return ++refs_; }

ULONG CMediaSample::Release() {
    ULONG left = --refs_;
    if (left == 0) allocator_->ReleaseBuffer(this);  // the allocator may go with this call
    return left;
}

HRESULT CMediaSample::GetPointer(BYTE** buffer) {
    if (!buffer) return E_POINTER;
    *buffer = buffer_;
    return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    if (!start || !end) return E_POINTER;
    if (!timeValid_) return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = start_;
    if (stopValid_) {
        *end = end_;
        return S_OK;
    }
    *end = start_ + 1;
    return VFW_S_NO_STOP_TIME;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    timeValid_ = start != nullptr;
    stopValid_ = start != nullptr && end != nullptr;
    if (start) start_ = *start;
    if (end) end_ = *end;
    return S_OK;
}

HRESULT CMediaSample::SetSyncPoint(BOOL sync) {
    sync_ = sync != FALSE;
    return S_OK;
}

HRESULT CMediaSample::SetPreroll(BOOL preroll) {
    preroll_ = preroll != FALSE;
    return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > size_) return VFW_E_BUFFER_OVERFLOW;
    actual_ = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** type) {
    if (!type) return E_POINTER;
    *type = nullptr;
    if (!type_) return S_FALSE;
    *type = CreateMediaType(type_);
    return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* type) {
    DeleteMediaType(type_);
    type_ = nullptr;
    if (!type) return S_OK;
    type_ = CreateMediaType(type);
    return type_ ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity) {
    discontinuity_ = discontinuity != FALSE;
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!start || !end) return E_POINTER;
    if (!mediaTimeValid_) return VFW_E_MEDIA_TIME_NOT_SET;
    *start = mediaStart_;
    *end = mediaEnd_;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
    mediaTimeValid_ = start && end;
    if (mediaTimeValid_) {
        mediaStart_ = *start;
        mediaEnd_ = *end;
    }
    return S_OK;
}

void CMediaSample::ResetProperties() {
    timeValid_ = stopValid_ = mediaTimeValid_ = false;
    sync_ = preroll_ = discontinuity_ = false;
    actual_ = size_;
    DeleteMediaType(type_);
    type_ = nullptr;
}

CMemAllocator::CMemAllocator(const char* name, IUnknown* outer, HRESULT* result)
    : CUnknown(name, outer) {
    if (result) *result = S_OK;
}

CMemAllocator::~CMemAllocator() {
    for (auto& s : samples_) s->ResetProperties();
}

HRESULT CMemAllocator::Create(IMemAllocator** allocator) {
    if (!allocator) return E_POINTER;
    auto* created = new CMemAllocator("allocator", nullptr, nullptr);
    return created->NonDelegatingQueryInterface(IID_IMemAllocator,
                                                reinterpret_cast<void**>(allocator));
}

HRESULT CMemAllocator::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IMemAllocator) return GetInterface(static_cast<IMemAllocator*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request,
                                     ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual) return E_POINTER;
    if (request->cBuffers <= 0 || request->cbBuffer <= 0 || request->cbPrefix < 0 ||
        request->cbAlign < 0 || request->cBuffers > 1024 || request->cbBuffer > (1 << 28))
        return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    if (committed_) return VFW_E_ALREADY_COMMITTED;
    if (outstanding_ > 0) return VFW_E_BUFFERS_OUTSTANDING;
    properties_ = *request;
    properties_.cbAlign = std::max<LONG>(1, request->cbAlign);
    properties_.cbPrefix = 0;
    propertiesSet_ = true;
    *actual = properties_;
    return S_OK;
}

HRESULT CMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* properties) {
    if (!properties) return E_POINTER;
    std::lock_guard lock(mutex_);
    *properties = properties_;
    return S_OK;
}

HRESULT CMemAllocator::Commit() {
    std::lock_guard lock(mutex_);
    if (!propertiesSet_) return VFW_E_SIZENOTSET;
    if (committed_) return S_OK;
    bool sameShape = !samples_.empty() &&
                     static_cast<LONG>(samples_.size()) == properties_.cBuffers &&
                     samples_.front()->GetSize() == properties_.cbBuffer;
    if (!sameShape && outstanding_ == 0) {
        samples_.clear();
        free_.clear();
        memory_.assign(static_cast<std::size_t>(properties_.cBuffers) * properties_.cbBuffer, 0);
        for (LONG i = 0; i < properties_.cBuffers; ++i) {
            BYTE* buffer = memory_.data() + static_cast<std::size_t>(i) * properties_.cbBuffer;
            samples_.push_back(std::make_unique<CMediaSample>(this, buffer, properties_.cbBuffer));
            free_.push_back(samples_.back().get());
        }
    }
    committed_ = true;
    return S_OK;
}

HRESULT CMemAllocator::Decommit() {
    {
        std::lock_guard lock(mutex_);
        committed_ = false;
    }
    freed_.notify_all();
    return S_OK;
}

HRESULT CMemAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*,
                                 DWORD flags) {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    CMediaSample* taken = nullptr;
    {
        std::unique_lock lock(mutex_);
        while (committed_ && free_.empty()) {
            if (flags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
            freed_.wait(lock);
        }
        if (!committed_) return VFW_E_NOT_COMMITTED;
        taken = free_.back();
        free_.pop_back();
        ++outstanding_;
    }
    NonDelegatingAddRef();  // released when the sample comes back
    taken->ResetProperties();
    taken->AddRef();
    *sample = taken;
    return S_OK;
}

HRESULT CMemAllocator::ReleaseBuffer(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    {
        std::lock_guard lock(mutex_);
        free_.push_back(static_cast<CMediaSample*>(sample));
        --outstanding_;
    }
    freed_.notify_one();
    NonDelegatingRelease();
    return S_OK;
}
