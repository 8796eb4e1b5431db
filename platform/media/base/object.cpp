#include "platform/media/base/object.h"

#include "platform/kernel/text.h"

namespace {
std::atomic<long> g_objects{0};
}

CUnknown::CUnknown(const char*, IUnknown* outer) : owner_(outer ? outer : &inner_) { ++g_objects; }

CUnknown::~CUnknown() { --g_objects; }

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown) return GetInterface(&inner_, object);
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CUnknown::NonDelegatingRelease() {
    LONG left = --m_cRef;
    if (left == 0) {
        // Guard against a re-entrant release from the destructor.
        m_cRef = 1;
        delete this;
    }
    return static_cast<ULONG>(left);
}

long CUnknown::ObjectCount() { return g_objects.load(); }

HRESULT GetInterface(IUnknown* unknown, void** object) {
    if (!object) return E_POINTER;
    *object = unknown;
    unknown->AddRef();
    return S_OK;
}

std::u16string WideFromNarrow(const char* text) {
    return text ? platform::Utf8ToUtf16(text) : std::u16string();
}

bool CopyWide(WCHAR* target, std::size_t capacity, const std::u16string& text) {
    if (capacity == 0) return false;
    std::size_t n = std::min(text.size(), capacity - 1);
    std::copy(text.begin(), text.begin() + n, target);
    target[n] = 0;
    return n == text.size();
}
