#include "platform/media/registration/filter_mapper.h"

#include <cstring>
#include <new>

#include "platform/com/com.h"
#include "platform/media/base/object.h"
#include "platform/media/registration/registry_key.h"

namespace platform::media {

namespace {

constexpr DWORD kFilterDataVersion = 1;
constexpr DWORD kPinRendered = 1, kPinOutput = 2, kPinZero = 4, kPinMany = 8;

class Writer {
  public:
    void U32(DWORD v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    void Guid(const GUID* g) {
        const GUID value = g ? *g : GUID_NULL;
        U32(value.Data1);
        U16(value.Data2);
        U16(value.Data3);
        bytes.insert(bytes.end(), value.Data4, value.Data4 + 8);
    }
    void Text(LPCWSTR text) {
        std::u16string s = text ? text : u"";
        U32(static_cast<DWORD>(s.size()));
        for (char16_t c : s) U16(c);
    }
    std::vector<BYTE> bytes;

  private:
    void U16(WORD v) {
        bytes.push_back(static_cast<BYTE>(v));
        bytes.push_back(static_cast<BYTE>(v >> 8));
    }
};

// Reads the value back; every read checks what is left, so a short or damaged value fails.
class Reader {
  public:
    Reader(const BYTE* data, std::size_t size) : data_(data), left_(size) {}
    bool U32(DWORD* v) {
        if (left_ < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) *v |= static_cast<DWORD>(data_[i]) << (8 * i);
        Skip(4);
        return true;
    }
    bool Guid(GUID* g) {
        WORD d2, d3;
        if (!U32(&g->Data1) || !U16(&d2) || !U16(&d3) || left_ < 8) return false;
        g->Data2 = d2;
        g->Data3 = d3;
        std::memcpy(g->Data4, data_, 8);
        Skip(8);
        return true;
    }
    bool Text(std::u16string* s) {
        DWORD n;
        if (!U32(&n) || n > left_ / 2) return false;
        s->resize(n);
        for (DWORD i = 0; i < n; ++i) {
            WORD c = 0;
            U16(&c);
            (*s)[i] = static_cast<char16_t>(c);
        }
        return true;
    }
    bool AtEnd() const { return left_ == 0; }
    std::size_t Left() const { return left_; }

  private:
    bool U16(WORD* v) {
        if (left_ < 2) return false;
        *v = static_cast<WORD>(data_[0] | (data_[1] << 8));
        Skip(2);
        return true;
    }
    void Skip(std::size_t n) {
        data_ += n;
        left_ -= n;
    }
    const BYTE* data_;
    std::size_t left_;
};

DWORD PinFlags(const REGFILTERPINS& pin) {
    return (pin.bRendered ? kPinRendered : 0) | (pin.bOutput ? kPinOutput : 0) |
           (pin.bZero ? kPinZero : 0) | (pin.bMany ? kPinMany : 0);
}

bool DecodePin(Reader& in, RegisteredPin* pin) {
    DWORD flags, types;
    if (!in.U32(&flags) || !in.Guid(&pin->connectsToFilter) || !in.Text(&pin->name) ||
        !in.Text(&pin->connectsToPin) || !in.U32(&types) || types > in.Left() / 32)
        return false;
    pin->rendered = flags & kPinRendered;
    pin->output = flags & kPinOutput;
    pin->zero = flags & kPinZero;
    pin->many = flags & kPinMany;
    for (DWORD t = 0; t < types; ++t) {
        GUID major, minor;
        if (!in.Guid(&major) || !in.Guid(&minor)) return false;
        pin->mediaTypes.emplace_back(major, minor);
    }
    return true;
}

}  // namespace

std::vector<BYTE> EncodeFilterData(const REGFILTER2& data) {
    Writer out;
    out.U32(kFilterDataVersion);
    out.U32(data.dwMerit);
    out.U32(data.cPins);
    for (ULONG p = 0; p < data.cPins; ++p) {
        const REGFILTERPINS& pin = data.rgPins[p];
        out.U32(PinFlags(pin));
        out.Guid(pin.clsConnectsToFilter);
        out.Text(pin.strName);
        out.Text(pin.strConnectsToPin);
        out.U32(pin.lpMediaType ? pin.nMediaTypes : 0);
        for (UINT t = 0; pin.lpMediaType && t < pin.nMediaTypes; ++t) {
            out.Guid(pin.lpMediaType[t].clsMajorType);
            out.Guid(pin.lpMediaType[t].clsMinorType);
        }
    }
    return std::move(out.bytes);
}

std::optional<RegisteredFilterData> DecodeFilterData(const BYTE* data, std::size_t size) {
    if (!data) return std::nullopt;
    Reader in(data, size);
    DWORD version, pins;
    RegisteredFilterData result;
    if (!in.U32(&version) || version != kFilterDataVersion || !in.U32(&result.merit) ||
        !in.U32(&pins))
        return std::nullopt;
    for (DWORD p = 0; p < pins; ++p) {
        RegisteredPin pin;
        if (!DecodePin(in, &pin)) return std::nullopt;
        result.pins.push_back(std::move(pin));
    }
    if (!in.AtEnd()) return std::nullopt;
    return result;
}

std::u16string FilterInstanceKey(const CLSID* category, LPCWSTR instance, REFCLSID filter) {
    const CLSID& cat = category ? *category : CLSID_LegacyAmFilterCategory;
    std::u16string name = instance && *instance ? std::u16string(instance) : BracedGuid(filter);
    return u"CLSID\\" + BracedGuid(cat) + u"\\Instance\\" + name;
}

namespace {

// The filter mapper: a built-in class that keeps no state of its own.
class CFilterMapper2 final : public CUnknown, public IFilterMapper2 {
  public:
    explicit CFilterMapper2(IUnknown* outer) : CUnknown("filter mapper", outer) {}
    DECLARE_IUNKNOWN

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IFilterMapper2)
            return GetInterface(static_cast<IFilterMapper2*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }

    HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID category, DWORD merit,
                                             LPCWSTR description) override {
        return Guarded([&] { return WriteCategory(category, merit, description); });
    }

    HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* category, LPCWSTR instance,
                                               REFCLSID filter) override {
        return Guarded([&] {
            std::u16string key = FilterInstanceKey(category, instance, filter);
            return HRESULT_FROM_WIN32(RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()));
        });
    }

    HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker,
                                             const CLSID* category, LPCWSTR instance,
                                             const REGFILTER2* data) override {
        // No device monikers are made for registered filters here.
        if (moniker) *moniker = nullptr;
        if (!name || !data) return E_POINTER;
        if (data->dwVersion != 1) return E_NOTIMPL;
        if (data->cPins && !data->rgPins) return E_POINTER;
        return Guarded([&] { return WriteFilter(filter, name, category, instance, *data); });
    }

    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumMoniker** filters, DWORD, BOOL, DWORD, BOOL,
                                                  DWORD, const GUID*, const REGPINMEDIUM*,
                                                  const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                                  const REGPINMEDIUM*, const CLSID*) override {
        // Every connection in this system is made directly; nothing searches by media type.
        if (filters) *filters = nullptr;
        return E_NOTIMPL;
    }

  private:
    template <typename Work>
    static HRESULT Guarded(Work work) {
        try {
            return work();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    static HRESULT WriteCategory(REFCLSID category, DWORD merit, LPCWSTR description) {
        RegistryKey key;
        LONG status = key.Create(u"CLSID\\" + BracedGuid(category));
        if (status == ERROR_SUCCESS)
            status = key.SetString(u"FriendlyName", description ? description : u"");
        if (status == ERROR_SUCCESS) status = key.SetString(u"CLSID", BracedGuid(category));
        if (status == ERROR_SUCCESS) status = key.SetDword(u"Merit", merit);
        return HRESULT_FROM_WIN32(status);
    }

    static HRESULT WriteFilter(REFCLSID filter, LPCWSTR name, const CLSID* category,
                               LPCWSTR instance, const REGFILTER2& data) {
        const std::vector<BYTE> bytes = EncodeFilterData(data);
        RegistryKey key;
        LONG status = key.Create(FilterInstanceKey(category, instance, filter));
        if (status == ERROR_SUCCESS) status = key.SetString(u"FriendlyName", name);
        if (status == ERROR_SUCCESS) status = key.SetString(u"CLSID", BracedGuid(filter));
        if (status == ERROR_SUCCESS)
            status = key.SetBinary(u"FilterData", bytes.data(), static_cast<DWORD>(bytes.size()));
        return HRESULT_FROM_WIN32(status);
    }
};

HRESULT CreateFilterMapper(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    auto* mapper = new (std::nothrow) CFilterMapper2(outer);
    if (!mapper) return E_OUTOFMEMORY;
    mapper->NonDelegatingAddRef();
    HRESULT hr = mapper->NonDelegatingQueryInterface(iid, object);
    mapper->NonDelegatingRelease();
    return hr;
}

platform::BuiltinClass g_filterMapperClass(CLSID_FilterMapper2, &CreateFilterMapper);

}  // namespace

}  // namespace platform::media
