// The zone data of a Windows machine: the registry key "Time Zones" itself (each sub-key's
// "Display", "Std", "Dlt" and "TZI" values; a zone's "Dynamic DST" sub-key gives the rule of a
// given year), and the kernel's own zone (GetDynamicTimeZoneInformation names its key).
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/system/Ascii.h"
#include "platform/system/Win.h"
#include "platform/system/ZoneData.h"

namespace nx::sys {
namespace {

constexpr const wchar_t* kTimeZonesKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";

class Key {
public:
    Key(HKEY parent, const std::wstring& name) {
        if (::RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    }
    ~Key() {
        if (m_key != nullptr) ::RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }

    bool Bytes(const wchar_t* name, std::vector<BYTE>& out, DWORD wantType) const {
        DWORD type = 0, size = 0;
        if (::RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != wantType)
            return false;
        out.assign(size, 0);
        if (::RegQueryValueExW(m_key, name, nullptr, &type, out.data(), &size) != ERROR_SUCCESS) return false;
        out.resize(size);
        return true;
    }

    std::string Text(const wchar_t* name) const {
        std::vector<BYTE> bytes;
        if (!Bytes(name, bytes, REG_SZ)) return std::string();
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
        // REG_SZ data usually carries its terminator, and may carry more than one.
        const auto end = text.find(L'\0');
        if (end != std::wstring::npos) text.resize(end);
        return win::Narrow(text);
    }

    bool Tzi(const wchar_t* name, TziRule& out) const {
        std::vector<BYTE> bytes;
        return Bytes(name, bytes, REG_BINARY) && ParseTzi(bytes.data(), bytes.size(), out);
    }

    bool Dword(const wchar_t* name, DWORD& out) const {
        std::vector<BYTE> bytes;
        if (!Bytes(name, bytes, REG_DWORD) || bytes.size() != sizeof(DWORD)) return false;
        std::memcpy(&out, bytes.data(), sizeof out);
        return true;
    }

private:
    HKEY m_key = nullptr;
};

std::vector<ZoneRecord> ReadRegistryZones() {
    std::vector<ZoneRecord> zones;
    const Key root(HKEY_LOCAL_MACHINE, kTimeZonesKey);
    if (!root) return zones;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG rc = ::RegEnumKeyExW(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        const Key zoneKey(root.get(), std::wstring(name, length));
        ZoneRecord zone;
        if (!zoneKey || !zoneKey.Tzi(L"TZI", zone.rule)) continue;  // not a zone
        zone.key = win::Narrow(std::wstring_view(name, length));
        zone.displayName = zoneKey.Text(L"Display");
        zone.standardName = zoneKey.Text(L"Std");
        zone.daylightName = zoneKey.Text(L"Dlt");
        zones.push_back(std::move(zone));
    }
    return zones;
}

int YearOf(std::time_t at) {
    std::tm tm{};
    const __time64_t t = at;
    return ::_gmtime64_s(&tm, &t) == 0 ? tm.tm_year + 1900 : 1970;
}

}  // namespace

const std::vector<ZoneRecord>& RegistryZones() {
    static const std::vector<ZoneRecord> zones = ReadRegistryZones();
    return zones;
}

bool ZoneRecordAt(std::string_view zoneId, std::time_t at, ZoneRecord& out) {
    for (const ZoneRecord& zone : RegistryZones()) {
        if (!EqualsIgnoreAsciiCase(zone.key, zoneId)) continue;
        out = zone;
        // A zone whose rule changed over the years keeps one rule per year; the first and last
        // entries stand for the years before and after them.
        const Key dynamic(HKEY_LOCAL_MACHINE,
                          std::wstring(kTimeZonesKey) + L"\\" + win::Wide(zone.key) + L"\\Dynamic DST");
        DWORD first = 0, last = 0;
        if (dynamic && dynamic.Dword(L"FirstEntry", first) && dynamic.Dword(L"LastEntry", last) &&
            first <= last) {
            const DWORD year = std::clamp<DWORD>(static_cast<DWORD>(YearOf(at)), first, last);
            dynamic.Tzi(std::to_wstring(year).c_str(), out.rule);
        }
        return true;
    }
    return false;
}

std::string SystemZoneId() {
    DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
    if (::GetDynamicTimeZoneInformation(&dynamic) != TIME_ZONE_ID_INVALID &&
        dynamic.TimeZoneKeyName[0] != L'\0')
        return win::Narrow(dynamic.TimeZoneKeyName);
    // An older kernel names only the standard name: the zone that spells it so.
    TIME_ZONE_INFORMATION tzi{};
    if (::GetTimeZoneInformation(&tzi) != TIME_ZONE_ID_INVALID) {
        const std::string standardName = win::Narrow(tzi.StandardName);
        for (const ZoneRecord& zone : RegistryZones())
            if (zone.standardName == standardName) return zone.key;
    }
    return "UTC";
}

}  // namespace nx::sys
