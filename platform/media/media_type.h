#pragma once
// The media-type record and the base classes' media type that owns its format block.

#include "platform/com/unknown.h"

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

// Frees the format block and releases pUnk, leaving the record empty of both.
void FreeMediaType(AM_MEDIA_TYPE& type);
// FreeMediaType, then the record itself (allocated with CoTaskMemAlloc).
void DeleteMediaType(AM_MEDIA_TYPE* type);
// Copies the record with a format block of its own; E_OUTOFMEMORY leaves the copy without one.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// A new record (CoTaskMemAlloc) holding a copy of source, or null.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);

class CMediaType : public AM_MEDIA_TYPE {
public:
    // Empty: every field zero or null, samples of fixed size 1.
    CMediaType();
    explicit CMediaType(const GUID* majorType);
    // A copy with a format block of its own; when that block cannot be allocated the copy has
    // none (cbFormat 0) and *result, when given, is E_OUTOFMEMORY.
    CMediaType(const AM_MEDIA_TYPE& source, HRESULT* result = nullptr);
    CMediaType(const CMediaType& source);
    ~CMediaType();

    CMediaType& operator=(const AM_MEDIA_TYPE& source);
    CMediaType& operator=(const CMediaType& source);
    bool operator==(const CMediaType& other) const;
    bool operator!=(const CMediaType& other) const { return !(*this == other); }

    HRESULT Set(const CMediaType& source);
    HRESULT Set(const AM_MEDIA_TYPE& source);
    bool IsValid() const { return majortype != GUID_NULL; }

    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* type) { majortype = *type; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* type) { subtype = *type; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* type) { formattype = *type; }

    bool IsFixedSize() const { return bFixedSizeSamples != FALSE; }
    bool IsTemporalCompressed() const { return bTemporalCompression != FALSE; }
    ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }
    // 0 marks samples of variable size and leaves lSampleSize as it was.
    void SetSampleSize(ULONG size);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }

    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // A block of `length` bytes owned by the record: the current one when it already has that
    // size, else a new one (the old one freed). When the new one cannot be allocated, the old
    // one if it is at least that long, else null.
    BYTE* AllocFormatBuffer(ULONG length);
    // Like AllocFormatBuffer, but keeps the old contents that fit.
    BYTE* ReallocFormatBuffer(ULONG length);
    // Copies `length` bytes into a block of that size; false when it cannot be allocated.
    bool SetFormat(const BYTE* format, ULONG length);
    void ResetFormatBuffer();

    bool MatchesPartial(const CMediaType* partial) const;
};
