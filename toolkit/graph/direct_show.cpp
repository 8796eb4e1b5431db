#include "toolkit/graph/direct_show.h"

#include <cstring>
#include <new>

#include "platform/com/com.h"
#include "platform/kernel/text.h"

namespace {

// A wide name converted into a narrow buffer of the given size; false when it does not fit.
bool NarrowInto(LPCWSTR wide, char* buffer, int size) {
    return WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer, size, nullptr, nullptr) != 0;
}

template <typename T>
void ReleaseAndClear(T*& reference) {
    if (reference) reference->Release();
    reference = nullptr;
}

}  // namespace

std::unique_ptr<CFilterTable> CFilterTable::Copy(const FilterEntry* table, int count) {
    if (count < 0 || (count > 0 && !table)) return nullptr;
    try {
        std::unique_ptr<CFilterTable> copy(new CFilterTable);
        copy->entries_.assign(table, table + count);
        copy->pins_.resize(count);
        for (int i = 0; i < count; ++i) {
            const FilterEntry& source = table[i];
            int pins = std::max(0, source.pinCount);
            if (pins > 0 && source.pins)
                copy->pins_[i].assign(source.pins, source.pins + pins);
            else
                copy->pins_[i].assign(pins, PinEntry{nullptr, nullptr});
            copy->entries_[i].pins = copy->pins_[i].data();
        }
        return copy;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CFilterTable::~CFilterTable() {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        for (PinEntry& pin : pins_[i]) ReleaseAndClear(pin.pin);
        ReleaseAndClear(entries_[i].filter);
    }
}

CDirectShow::~CDirectShow() { ReleaseGraph(); }

int CDirectShow::CreateGraph() {
    if (m_pGraph) return 0;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGraphBuilder, reinterpret_cast<void**>(&m_pGraph));
    if (FAILED(hr)) {
        m_pGraph = nullptr;
        return 0;
    }
    return 1;
}

int CDirectShow::ReleaseGraph() {
    ReleaseAndClear(m_pGraph);
    return 1;
}

std::unique_ptr<CFilterTable> CDirectShow::CopyTable(const FilterEntry* table, int count) {
    return CFilterTable::Copy(table, count);
}

int CDirectShow::FreeTable(std::unique_ptr<CFilterTable>& table) {
    table.reset();
    return 1;
}

int CDirectShow::CreateFilters(FilterEntry* table, int count) {
    for (int i = 0; i < count; ++i) {
        FilterEntry& entry = table[i];
        IBaseFilter* filter = nullptr;
        if (entry.kind == kCreateByClass) {
            HRESULT hr = entry.cls.clsid
                             ? CoCreateInstance(*entry.cls.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IBaseFilter, reinterpret_cast<void**>(&filter))
                             : E_POINTER;
            if (FAILED(hr) || !filter) throw _tagDXM_EXPECT{i, kExpectFilterNotCreated, 0};
        } else if (entry.kind == kCreateDevice) {
            IMoniker* moniker = FindDevice(entry.name, static_cast<int>(entry.cls.deviceIndex));
            if (!moniker) throw _tagDXM_EXPECT{i, kExpectFilterNotCreated, 0};
            HRESULT hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                               reinterpret_cast<void**>(&filter));
            moniker->Release();
            if (FAILED(hr) || !filter) throw _tagDXM_EXPECT{i, kExpectFilterNotCreated, 0};
        } else {
            continue;
        }
        ReleaseAndClear(entry.filter);
        entry.filter = filter;
    }
    return 1;
}

int CDirectShow::AddFilters(FilterEntry* table, int count) {
    if (!m_pGraph) return 0;
    for (int i = 0; i < count; ++i) {
        WCHAR name[128];
        if (!table[i].name ||
            MultiByteToWideChar(CP_ACP, 0, table[i].name, -1, name, 128) == 0)
            return 0;
        if (FAILED(m_pGraph->AddFilter(table[i].filter, name))) return 0;
    }
    return 1;
}

int CDirectShow::Connect(FilterEntry* table, int count, const ConnectStep* plan, int steps) {
    auto pinAt = [&](int filter, int pin) -> PinEntry* {
        if (filter < 0 || filter >= count || pin < 0 || pin >= table[filter].pinCount)
            return nullptr;
        return &table[filter].pins[pin];
    };
    HRESULT running = 0;
    for (int s = 0; s < steps; ++s) {
        const ConnectStep& step = plan[s];
        if (step.operation == kStepFindPin) {
            PinEntry* entry = pinAt(step.filter, step.pin);
            IPin* found = entry && table[step.filter].filter
                              ? FindPin(table[step.filter].filter, entry->name)
                              : nullptr;
            if (entry) {
                ReleaseAndClear(entry->pin);
                entry->pin = found;
            }
            if (!found) throw _tagDXM_EXPECT{s, kExpectPinNotFound, running};
        } else if (step.operation == kStepConnect) {
            PinEntry* out = pinAt(step.filter, step.pin);
            PinEntry* in = pinAt(step.filter2, step.pin2);
            running = m_pGraph ? m_pGraph->ConnectDirect(out ? out->pin : nullptr,
                                                         in ? in->pin : nullptr, step.type)
                               : E_UNEXPECTED;
            if (FAILED(running)) throw _tagDXM_EXPECT{s, kExpectConnectionRefused, running};
        }
    }
    return 1;
}

IPin* CDirectShow::FindPin(IBaseFilter* filter, const char* name) {
    if (!filter || !name) return nullptr;
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins)) || !pins) return nullptr;
    pins->Reset();
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_INFO info{};
        bool match = false;
        if (SUCCEEDED(pin->QueryPinInfo(&info))) {
            char narrow[128];
            match = NarrowInto(info.achName, narrow, sizeof narrow) &&
                    std::strcmp(narrow, name) == 0;
            if (info.pFilter) info.pFilter->Release();
        }
        if (match) {
            pins->Release();
            return pin;
        }
        pin->Release();
    }
    pins->Release();
    return nullptr;
}

template <typename Visit>
void CDirectShow::WalkDevices(const char* friendlyName, Visit visit) {
    if (!friendlyName) return;
    ICreateDevEnum* devices = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICreateDevEnum, reinterpret_cast<void**>(&devices))))
        return;
    IEnumMoniker* monikers = nullptr;
    HRESULT hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
    devices->Release();
    if (hr != S_OK || !monikers) return;
    monikers->Reset();
    IMoniker* moniker = nullptr;
    int match = 0;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        IBindCtx* context = nullptr;
        CreateBindCtx(0, &context);
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(context, nullptr, IID_IPropertyBag,
                                             reinterpret_cast<void**>(&bag)))) {
            VARIANT name;
            VariantInit(&name);
            name.vt = VT_BSTR;
            char narrow[100];
            if (SUCCEEDED(bag->Read(u"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR &&
                name.bstrVal && NarrowInto(name.bstrVal, narrow, sizeof narrow) &&
                std::strcmp(narrow, friendlyName) == 0) {
                visit(moniker, match++);
            }
            VariantClear(&name);
            bag->Release();
        }
        if (context) context->Release();
        moniker->Release();
    }
    monikers->Release();
}

IMoniker* CDirectShow::FindDevice(const char* friendlyName, int index) {
    IMoniker* found = nullptr;
    WalkDevices(friendlyName, [&](IMoniker* moniker, int match) {
        if (match == index && !found) {
            found = moniker;
            found->AddRef();
        }
    });
    return found;
}

int CDirectShow::CountDevices(const char* friendlyName) {
    int count = 0;
    WalkDevices(friendlyName, [&](IMoniker*, int) { ++count; });
    return count;
}

void CDirectShow::DisconnectAll(FilterEntry* table, int count) {
    if (!m_pGraph) return;
    for (int i = 0; i < count; ++i) {
        if (!table[i].filter) continue;
        for (int p = 0; p < table[i].pinCount; ++p)
            if (table[i].pins[p].pin) m_pGraph->Disconnect(table[i].pins[p].pin);
    }
}

void CDirectShow::Teardown(FilterEntry* table, int count) {
    DisconnectAll(table, count);
    for (int i = 0; i < count; ++i) {
        if (!table[i].filter) continue;
        for (int p = 0; p < table[i].pinCount; ++p) ReleaseAndClear(table[i].pins[p].pin);
    }
    for (int i = 0; i < count; ++i) {
        if (!table[i].filter) continue;
        if (m_pGraph) m_pGraph->RemoveFilter(table[i].filter);
        ReleaseAndClear(table[i].filter);
    }
}
