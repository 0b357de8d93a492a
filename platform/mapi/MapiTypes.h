// Base types of the MAPI ABI: the Windows scalar types MAPI signatures use, GUID, FILETIME,
// SYSTEMTIME, LARGE_INTEGER, HRESULT helpers and the calling-convention macros.
//
// Written from the public MAPI and [MS-DTYP] documentation. The sizes are those of the 64-bit
// Windows ABI (LLP64): ULONG and LONG are 32 bits, pointers and ULONG_PTR are 64 bits, WCHAR is
// one UTF-16 code unit (char16_t, so that std::u16string holds MAPI text directly).
#pragma once

#include <cstddef>
#include <cstdint>

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define MAPI_DIM 1

using BYTE = std::uint8_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using WCHAR = char16_t;
using LPBYTE = BYTE*;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
// MAPI methods take LPTSTR text whose width the MAPI_UNICODE flag of the call selects. The agent
// is a Unicode program, so LPTSTR is a wide string; an 8-bit caller casts its char* and leaves
// MAPI_UNICODE out, and the runtime then reads the pointer as 8-bit text.
using LPTSTR = LPWSTR;
using LPULONG = ULONG*;
using LPLONG = LONG*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using LPGUID = GUID*;
using LPIID = IID*;
using LPCIID = const IID*;
using REFIID = const IID&;

inline bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) noexcept {
    return !(a == b);
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) noexcept {
    return a == b;
}

// 100-nanosecond intervals since 1601-01-01 00:00 UTC, split in two 32-bit halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

// The file time of 1970-01-01 00:00 UTC, where the system clock counts from.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
inline constexpr uint64_t kFileTicksPerSecond = 10000000ULL;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};

// PT_CURRENCY: a 64-bit integer scaled by 10 000.
union CURRENCY {
    struct {
        ULONG Lo;
        LONG Hi;
    } u;
    LONGLONG int64;
};

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HR_SUCCEEDED(hr) SUCCEEDED(hr)
#define HR_FAILED(hr) FAILED(hr)
#define MAKE_MAPI_SCODE(sev, fac, code)                                                    \
    static_cast<SCODE>((static_cast<ULONG>(sev) << 31) | (static_cast<ULONG>(fac) << 16) | \
                       static_cast<ULONG>(code))
#define MAKE_MAPI_E(code) MAKE_MAPI_SCODE(1, 4, code)
#define MAKE_MAPI_S(code) MAKE_MAPI_SCODE(0, 4, code)
