#pragma once

// The Windows integer and handle types, with the widths they have on Windows
// (DWORD and LONG are 32 bits there even where `long` is 64 bits here).

#include <cstdint>

#define WINAPI

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT32 = std::uint32_t;
using LONG = std::int32_t;
using LONG_PTR = std::intptr_t;
using BOOL = int;
using HRESULT = std::int32_t;
using HANDLE = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
