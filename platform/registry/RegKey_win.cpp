// The registry on Windows: advapi32. A key is opened to learn that it exists and opened again at
// each query, so a RegKey holds no handle (and needs no destructor of its own).
#include <cstring>

#include "platform/registry/Registry.h"
#include "platform/system/Win.h"

namespace nx::reg {
namespace {

constexpr std::string_view kCurrentUserPrefix = "HKEY_CURRENT_USER\\";
constexpr std::string_view kLocalMachinePrefix = "HKEY_LOCAL_MACHINE\\";

HKEY RootOf(Hive hive) {
    return hive == Hive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// The root and sub-key of a path "HKEY_...\sub\key" as Open stored it.
bool Split(const std::string& path, HKEY& root, std::wstring& subKey) {
    for (const auto& [prefix, hive] : {std::pair{kCurrentUserPrefix, Hive::CurrentUser},
                                       std::pair{kLocalMachinePrefix, Hive::LocalMachine}}) {
        if (path.compare(0, prefix.size(), prefix) == 0) {
            root = RootOf(hive);
            subKey = nx::sys::win::Wide(std::string_view(path).substr(prefix.size()));
            return true;
        }
    }
    return false;
}

}  // namespace

long RegKey::Open(Hive hive, std::string_view subKey, RegKey& out) {
    HKEY key = nullptr;
    const LONG rc =
        ::RegOpenKeyExW(RootOf(hive), nx::sys::win::Wide(subKey).c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    ::RegCloseKey(key);
    out.m_path = std::string(HiveName(hive)) + "\\" + std::string(subKey);
    return ERROR_SUCCESS;
}

long RegKey::QueryValue(std::string_view name, Value& out) const {
    HKEY root = nullptr;
    std::wstring subKey;
    if (!Split(m_path, root, subKey)) return ERROR_FILE_NOT_FOUND;
    HKEY key = nullptr;
    LONG rc = ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    const std::wstring valueName = nx::sys::win::Wide(name);
    DWORD type = 0, size = 0;
    rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    Value value;
    // The value may grow between the two calls: ask again until it fits.
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        value.data.resize(size);
        rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, value.data.data(), &size);
        if (rc == ERROR_SUCCESS) break;
    }
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    value.data.resize(size);
    value.type = type;
    out = std::move(value);
    return ERROR_SUCCESS;
}

}  // namespace nx::reg
