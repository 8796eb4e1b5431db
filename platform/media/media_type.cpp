#include "platform/media/media_type.h"

#include <cstring>

#include "platform/com/com.h"

void FreeMediaType(AM_MEDIA_TYPE& type) {
    if (type.cbFormat != 0 || type.pbFormat) {
        CoTaskMemFree(type.pbFormat);
        type.cbFormat = 0;
        type.pbFormat = nullptr;
    }
    if (type.pUnk) {
        type.pUnk->Release();
        type.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return;
    FreeMediaType(*type);
    CoTaskMemFree(type);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
    if (!target || !source || target == source) return target == source ? S_OK : E_POINTER;
    *target = *source;
    HRESULT hr = S_OK;
    if (source->cbFormat != 0 && source->pbFormat) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
        if (target->pbFormat) {
            std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
        } else {
            target->cbFormat = 0;
            hr = E_OUTOFMEMORY;
        }
    } else {
        target->cbFormat = 0;
        target->pbFormat = nullptr;
    }
    if (target->pUnk) target->pUnk->AddRef();
    return hr;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
    if (!source) return nullptr;
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!type) return nullptr;
    if (FAILED(CopyMediaType(type, source))) {
        DeleteMediaType(type);
        return nullptr;
    }
    return type;
}

CMediaType::CMediaType() : AM_MEDIA_TYPE{} {
    bFixedSizeSamples = TRUE;
    lSampleSize = 1;
}

CMediaType::CMediaType(const GUID* majorType) : CMediaType() {
    if (majorType) majortype = *majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& source, HRESULT* result) : AM_MEDIA_TYPE{} {
    HRESULT hr = CopyMediaType(this, &source);
    if (result) *result = hr;
}

CMediaType::CMediaType(const CMediaType& source) : AM_MEDIA_TYPE{} {
    CopyMediaType(this, &source);
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& source) {
    Set(source);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& source) {
    Set(source);
    return *this;
}

bool CMediaType::operator==(const CMediaType& other) const {
    return majortype == other.majortype && subtype == other.subtype &&
           formattype == other.formattype && cbFormat == other.cbFormat &&
           (cbFormat == 0 || std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0);
}

HRESULT CMediaType::Set(const CMediaType& source) {
    return Set(static_cast<const AM_MEDIA_TYPE&>(source));
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& source) {
    if (&source == this) return S_OK;
    FreeMediaType(*this);
    return CopyMediaType(this, &source);
}

void CMediaType::SetSampleSize(ULONG size) {
    if (size == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = size;
    }
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
    if (cbFormat == length && pbFormat) return pbFormat;
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!block) return length <= cbFormat ? pbFormat : nullptr;
    CoTaskMemFree(pbFormat);
    cbFormat = length;
    pbFormat = block;
    return block;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
    if (cbFormat == length && pbFormat) return pbFormat;
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!block) return length <= cbFormat ? pbFormat : nullptr;
    if (pbFormat) std::memcpy(block, pbFormat, std::min(cbFormat, length));
    CoTaskMemFree(pbFormat);
    cbFormat = length;
    pbFormat = block;
    return block;
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length) {
    if (length == 0) {
        ResetFormatBuffer();
        return true;
    }
    if (!format) return false;
    // A fresh block of exactly this size: a larger old one would keep a stale length.
    if (cbFormat != length) ResetFormatBuffer();
    BYTE* block = AllocFormatBuffer(length);
    if (!block) return false;
    std::memcpy(block, format, length);
    return true;
}

void CMediaType::ResetFormatBuffer() {
    CoTaskMemFree(pbFormat);
    cbFormat = 0;
    pbFormat = nullptr;
}

bool CMediaType::MatchesPartial(const CMediaType* partial) const {
    if (!partial) return false;
    if (partial->majortype != GUID_NULL && partial->majortype != majortype) return false;
    if (partial->subtype != GUID_NULL && partial->subtype != subtype) return false;
    if (partial->formattype != GUID_NULL) {
        if (partial->formattype != formattype || partial->cbFormat != cbFormat) return false;
        if (cbFormat && std::memcmp(pbFormat, partial->pbFormat, cbFormat) != 0) return false;
    }
    return true;
}
