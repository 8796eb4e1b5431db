#pragma once
// Enumerators over a snapshot: of a filter's pins, or of the media types a pin offers.

#include <vector>

#include <algorithm>

#include "platform/media/base/object.h"

class CBaseFilter;
class CBasePin;

class CEnumMediaTypes final : public CUnknown, public IEnumMediaTypes {
public:
    explicit CEnumMediaTypes(std::vector<CMediaType> types);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** copy) override;

    static HRESULT Create(CBasePin* pin, IEnumMediaTypes** types);

private:
    std::vector<CMediaType> types_;
    std::size_t position_ = 0;
};

// Generic enumerator over counted interface pointers (filters of a graph, monikers).
template <typename Interface, typename EnumInterface>
class CEnumUnknowns final : public CUnknown, public EnumInterface {
public:
    explicit CEnumUnknowns(std::vector<Interface*> items) : CUnknown("enum", nullptr), items_(std::move(items)) {
        for (auto* i : items_) i->AddRef();
    }
    ~CEnumUnknowns() override {
        for (auto* i : items_) i->Release();
    }
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IidOf<EnumInterface>())
            return GetInterface(static_cast<EnumInterface*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Interface** out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && position_ < items_.size()) {
            out[n] = items_[position_++];
            out[n]->AddRef();
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position_ = std::min(items_.size(), position_ + count);
        return position_ < items_.size() ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(EnumInterface** copy) override {
        if (!copy) return E_POINTER;
        auto* clone = new CEnumUnknowns(items_);
        clone->position_ = position_;
        return clone->NonDelegatingQueryInterface(IidOf<EnumInterface>(),
                                                  reinterpret_cast<void**>(copy));
    }
    // Answers a new enumerator with one reference.
    static HRESULT Create(std::vector<Interface*> items, EnumInterface** out) {
        if (!out) return E_POINTER;
        auto* created = new CEnumUnknowns(std::move(items));
        return created->NonDelegatingQueryInterface(IidOf<EnumInterface>(),
                                                    reinterpret_cast<void**>(out));
    }

private:
    std::vector<Interface*> items_;
    std::size_t position_ = 0;
};

// An enumerator over the filter's pins as they are now.
HRESULT CreatePinEnumerator(CBaseFilter* filter, IEnumPins** pins);
