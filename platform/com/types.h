#pragma once
// The basic scalar types of the platform's programming interface, with their fixed widths.
// A 64-bit build keeps 32-bit LONG/ULONG/DWORD/BOOL, as the platform's records expect.

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using HRESULT = std::int32_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using HMODULE = void*;  // the base address of a loaded module, as on the original platform
using HINSTANCE = HMODULE;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
