// Profile strings on Windows: the system's own GetPrivateProfileStringW, with the caller's buffer
// size. The in-memory reading (GetProfileStringFromBytes) has no system counterpart and is not
// built here.
#include <vector>

#include "platform/system/ProfileString.h"
#include "platform/system/Win.h"

namespace nx::sys {

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t bufferUnits,
                                    const std::string& path) {
    if (bufferUnits == 0) return std::string();
    std::vector<wchar_t> buffer(bufferUnits, L'\0');
    const std::wstring s = win::Wide(section), k = win::Wide(key), d = win::Wide(defaultValue);
    const DWORD n = ::GetPrivateProfileStringW(s.c_str(), k.c_str(), d.c_str(), buffer.data(),
                                               static_cast<DWORD>(bufferUnits), win::Wide(path).c_str());
    return win::Narrow(std::wstring_view(buffer.data(), n));
}

}  // namespace nx::sys
