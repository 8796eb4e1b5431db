#include "platform/com/automation.h"

#include <cstdlib>
#include <cstring>

#include "platform/kernel/text.h"

// A string is preceded by its byte length (32 bits) and followed by a terminator.
BSTR SysAllocStringLen(LPCOLESTR text, UINT length) {
    auto* block = static_cast<std::uint32_t*>(std::malloc(4 + (length + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    *block = length * sizeof(OLECHAR);
    auto* chars = reinterpret_cast<OLECHAR*>(block + 1);
    if (text) std::memcpy(chars, text, length * sizeof(OLECHAR));
    chars[length] = 0;
    return chars;
}

BSTR SysAllocString(LPCOLESTR text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(platform::WideLength(text)));
}

void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<std::uint32_t*>(text) - 1);
}

UINT SysStringLen(BSTR text) {
    return text ? reinterpret_cast<std::uint32_t*>(text)[-1] / sizeof(OLECHAR) : 0;
}

void VariantInit(VARIANT* value) {
    if (value) std::memset(value, 0, sizeof *value);
}

HRESULT VariantClear(VARIANT* value) {
    if (!value) return E_POINTER;
    if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
    VariantInit(value);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* target, const VARIANT* source) {
    if (!target || !source) return E_POINTER;
    VariantClear(target);
    *target = *source;
    if (source->vt == VT_BSTR && source->bstrVal) {
        target->bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (!target->bstrVal) {
            VariantInit(target);
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}
