#include "platform/media/base/enumerators.h"

#include "platform/media/base/filter.h"

HRESULT CreatePinEnumerator(CBaseFilter* filter, IEnumPins** out) {
    std::vector<IPin*> pins;
    for (int i = 0; i < filter->GetPinCount(); ++i)
        if (CBasePin* pin = filter->GetPin(i)) pins.push_back(pin);
    return CEnumUnknowns<IPin, IEnumPins>::Create(std::move(pins), out);
}

CEnumMediaTypes::CEnumMediaTypes(std::vector<CMediaType> types)
    : CUnknown("media type enumerator", nullptr), types_(std::move(types)) {}

HRESULT CEnumMediaTypes::Create(CBasePin* pin, IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    std::vector<CMediaType> types;
    constexpr int kMostTypes = 64;  // a pin that never says "no more" cannot loop forever
    for (int i = 0; i < kMostTypes; ++i) {
        CMediaType type;
        if (pin->GetMediaType(i, &type) != S_OK) break;
        types.push_back(type);
    }
    auto* created = new CEnumMediaTypes(std::move(types));
    return created->NonDelegatingQueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(out));
}

HRESULT CEnumMediaTypes::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IEnumMediaTypes) return GetInterface(static_cast<IEnumMediaTypes*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < types_.size()) {
        AM_MEDIA_TYPE* copy = CreateMediaType(&types_[position_]);
        if (!copy) break;
        types[n++] = copy;
        ++position_;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count) {
    position_ = std::min(types_.size(), position_ + count);
    return position_ < types_.size() ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Reset() {
    position_ = 0;
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** copy) {
    if (!copy) return E_POINTER;
    auto* clone = new CEnumMediaTypes(types_);
    clone->position_ = position_;
    return clone->NonDelegatingQueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(copy));
}
