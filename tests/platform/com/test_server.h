#pragma once
// The class and interface of the test server module.

#include "platform/com/unknown.h"

// {5B0E9C3A-1F2D-4E6B-9A70-3C8D2E1F4A55}
inline constexpr CLSID CLSID_TestServerObject = {
    0x5B0E9C3A, 0x1F2D, 0x4E6B, {0x9A, 0x70, 0x3C, 0x8D, 0x2E, 0x1F, 0x4A, 0x55}};
// A class whose DllGetClassObject answers success without a factory, as a broken module might.
// {5B0E9C3C-1F2D-4E6B-9A70-3C8D2E1F4A55}
inline constexpr CLSID CLSID_TestServerNullFactory = {
    0x5B0E9C3C, 0x1F2D, 0x4E6B, {0x9A, 0x70, 0x3C, 0x8D, 0x2E, 0x1F, 0x4A, 0x55}};
// {5B0E9C3B-1F2D-4E6B-9A70-3C8D2E1F4A55}
inline constexpr IID IID_ITestValue = {
    0x5B0E9C3B, 0x1F2D, 0x4E6B, {0x9A, 0x70, 0x3C, 0x8D, 0x2E, 0x1F, 0x4A, 0x55}};

struct ITestValue : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetValue(int* value) = 0;

  protected:
    ~ITestValue() = default;
};
VELMORA_DECLARE_IID(ITestValue, IID_ITestValue)
