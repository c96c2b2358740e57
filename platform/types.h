// Basic value types of the platform interface, spelled the way the platform
// spells them, so that bank/ and player/ read the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using SHORT = std::int16_t;
using HRESULT = std::int32_t;
using LPVOID = void*;
using BOOL = int;
using SIZE_T = std::size_t;
using LPDWORD = DWORD*;

// An opaque window handle. On Linux the console layer hands out a token that
// stands for the terminal the player runs in.
using HWND = struct HWND__*;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPCGUID = const GUID*;

// An aggregation outer object; no call of this layer supports aggregation.
struct IUnknown;
using LPUNKNOWN = IUnknown*;

// Result codes are 32-bit values: 0 is success, anything with the top bit set
// is an error. Written as unsigned literals and narrowed, as the platform does.
constexpr HRESULT makeResult(std::uint32_t code) { return static_cast<HRESULT>(code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_INVALIDARG = makeResult(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = makeResult(0x8007000Eu);
inline constexpr HRESULT E_FAIL = makeResult(0x80004005u);
inline constexpr HRESULT E_NOINTERFACE = makeResult(0x80004002u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = makeResult(0x80040110u);
