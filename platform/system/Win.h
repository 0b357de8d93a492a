// Helpers shared by the Windows side of the system seams (only *_win.cpp files include this):
// UTF-8 <-> the system's wide strings, and a handle owner.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The seams have functions of these names; the files here call the W functions by name.
#undef OutputDebugString
#undef GetPrivateProfileString

#include <string>
#include <string_view>
#include <utility>

#include "platform/system/Utf.h"

namespace nx::sys::win {

// WCHAR is one UTF-16 unit on Windows, so the conversion is the portable one, retyped.
inline std::wstring Wide(std::string_view utf8) {
    const std::u16string u = Utf8ToUtf16(utf8);
    return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

inline std::string Narrow(std::wstring_view wide) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// Owns a kernel object handle; closes it when it goes out of scope.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.m_h, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void reset(HANDLE h = nullptr) {
        if (m_h != nullptr) ::CloseHandle(m_h);
        m_h = h;
    }

private:
    HANDLE m_h = nullptr;
};

}  // namespace nx::sys::win
