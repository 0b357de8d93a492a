#include "common/TimeZone.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "platform/system/MachineZone.h"
#include "platform/system/Utf.h"
#include "platform/system/ZoneData.h"

namespace NAMESPACE_COMMON {
namespace {

constexpr int64_t kMsPerMinute = 60000;
constexpr int64_t kMsPerDay = 86400000;

// ---- small helpers --------------------------------------------------------------------------

// Copies a UTF-8 text into a 32-unit name field: at most 31 UTF-16 units, then NUL.
void SetName(char16_t (&field)[32], std::string_view utf8) {
    std::u16string wide = nx::sys::Utf8ToUtf16(utf8);
    if (wide.size() > 31) wide.resize(31);
    std::fill(std::begin(field), std::end(field), u'\0');
    std::copy(wide.begin(), wide.end(), field);
}

std::string GetName(const char16_t (&field)[32]) {
    std::size_t n = 0;
    while (n < 32 && field[n] != u'\0') ++n;
    return nx::sys::Utf16ToUtf8(std::u16string_view(field, n));
}

std::string TruncateUtf16(std::string_view utf8, std::size_t units) {
    std::u16string wide = nx::sys::Utf8ToUtf16(utf8);
    if (wide.size() <= units) return std::string(utf8);
    wide.resize(units);
    return nx::sys::Utf16ToUtf8(wide);
}

bool IsZero(const SYSTEMTIME& st) {
    static constexpr SYSTEMTIME kZero{};
    return std::memcmp(&st, &kZero, sizeof st) == 0;
}

// The record's five numbers as the platform's "TZI" rule, and back.
nx::sys::TziDate ToTziDate(const SYSTEMTIME& st) {
    return {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

SYSTEMTIME FromTziDate(const nx::sys::TziDate& d) {
    return {d.year, d.month, d.dayOfWeek, d.day, d.hour, d.minute, d.second, d.milliseconds};
}

SYSTEMTIME RuleTime(int month, int week, int dayOfWeek, int64_t millisInDay) {
    return FromTziDate(nx::sys::YearlyRuleDate(month, week, dayOfWeek, millisInDay));
}

nx::sys::TziRule RuleOf(const tagNxTimeZone& zone) {
    return {zone.Bias, zone.StandardBias, zone.DaylightBias, ToTziDate(zone.StandardDate),
            ToTziDate(zone.DaylightDate)};
}

void SetRule(tagNxTimeZone& zone, const nx::sys::TziRule& rule) {
    zone.Bias = rule.bias;
    zone.StandardBias = rule.standardBias;
    zone.DaylightBias = rule.daylightBias;
    zone.StandardDate = FromTziDate(rule.standardDate);
    zone.DaylightDate = FromTziDate(rule.daylightDate);
}

// ---- the registry's zone list, read once -------------------------------------------------------

struct ZoneEntry {
    std::string key;
    tagNxTimeZone zone;
};

std::vector<ZoneEntry> BuildZoneTable() {
    std::vector<ZoneEntry> table;
    for (const nx::sys::ZoneRecord& record : nx::sys::RegistryZones()) {
        ZoneEntry entry;
        entry.key = record.key;
        entry.zone.DisplayName = record.displayName;
        entry.zone.StandardName = record.standardName;
        entry.zone.DaylightName = record.daylightName;
        SetRule(entry.zone, record.rule);
        table.push_back(std::move(entry));
    }
    return table;
}

const std::vector<ZoneEntry>& ZoneTable() {
    static const std::vector<ZoneEntry> table = BuildZoneTable();
    return table;
}

// ---- rule evaluation (the kernel's zone-specific conversions) -------------------------------

bool ValidRule(const SYSTEMTIME& rule) {
    if (rule.wMonth < 1 || rule.wMonth > 12 || rule.wHour > 23 || rule.wMinute > 59 || rule.wSecond > 59 ||
        rule.wMilliseconds > 999)
        return false;
    if (rule.wYear == 0) return rule.wDay >= 1 && rule.wDay <= 5 && rule.wDayOfWeek <= 6;
    return rule.wDay >= 1 && rule.wDay <= 31;
}

bool HasDaylightRule(const TIME_ZONE_INFORMATION& tzi) {
    return tzi.StandardDate.wMonth != 0 && tzi.DaylightDate.wMonth != 0;
}

int64_t DayNumber(int year, int month, int day) {
    // Days since 1601-01-01 via FILETIME arithmetic of midnight.
    SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(year);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(day);
    FILETIME ft{};
    SystemTimeToFileTime(st, ft);
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000ULL / static_cast<uint64_t>(kMsPerDay));
}

// The local wall-clock instant (ms since 1601) at which a rule fires in `year`.
int64_t RuleInstant(const SYSTEMTIME& rule, int year) {
    const int month = rule.wMonth;
    const int days = DaysInMonth(year, month);
    int day = 0;
    if (rule.wYear == 0) {
        const int first = DayOfWeek(year, month, 1);
        day = 1 + (rule.wDayOfWeek - first + 7) % 7 + (rule.wDay - 1) * 7;
        while (day > days) day -= 7;
    } else {
        day = std::min<int>(rule.wDay, days);
    }
    return DayNumber(year, month, day) * kMsPerDay + rule.wHour * 3600000LL + rule.wMinute * 60000LL +
           rule.wSecond * 1000LL + rule.wMilliseconds;
}

bool ToMillis(const SYSTEMTIME& st, int64_t& ms) {
    FILETIME ft{};
    if (!SystemTimeToFileTime(st, ft)) return false;
    ms = static_cast<int64_t>(((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) / 10000ULL);
    return true;
}

bool FromMillis(int64_t ms, SYSTEMTIME& st) {
    if (ms < 0) return false;
    const uint64_t ticks = static_cast<uint64_t>(ms) * 10000ULL;
    FILETIME ft{static_cast<uint32_t>(ticks & 0xFFFFFFFFu), static_cast<uint32_t>(ticks >> 32)};
    SYSTEMTIME out{};
    if (!FileTimeToSystemTime(ft, out) || out.wYear > 30827) return false;
    st = out;
    return true;
}

int YearOf(int64_t ms) {
    SYSTEMTIME st{};
    return FromMillis(ms, st) ? st.wYear : 1601;
}

// Whether a local wall-clock time (ms) falls in daylight time.
bool IsDaylightLocal(const TIME_ZONE_INFORMATION& tzi, int64_t local) {
    const int year = YearOf(local);
    const int64_t daylightStart = RuleInstant(tzi.DaylightDate, year);  // standard wall clock
    const int64_t standardStart = RuleInstant(tzi.StandardDate, year);  // daylight wall clock
    if (daylightStart < standardStart) return local >= daylightStart && local < standardStart;
    return local >= daylightStart || local < standardStart;
}

bool IsDaylightUtc(const TIME_ZONE_INFORMATION& tzi, int64_t utc) {
    const int year = YearOf(utc - int64_t{tzi.Bias} * kMsPerMinute);
    const int64_t daylightStart =
        RuleInstant(tzi.DaylightDate, year) + (int64_t{tzi.Bias} + tzi.StandardBias) * kMsPerMinute;
    const int64_t standardStart =
        RuleInstant(tzi.StandardDate, year) + (int64_t{tzi.Bias} + tzi.DaylightBias) * kMsPerMinute;
    if (daylightStart < standardStart) return utc >= daylightStart && utc < standardStart;
    return utc >= daylightStart || utc < standardStart;
}

bool RulesUsable(const TIME_ZONE_INFORMATION& tzi) {
    return !HasDaylightRule(tzi) || (ValidRule(tzi.StandardDate) && ValidRule(tzi.DaylightDate));
}

// ---- the machine's zone ----------------------------------------------------------------------

std::string ReadFirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    return line;
}

std::string AfterZoneinfo(const std::string& path) {
    const std::string marker = "zoneinfo/";
    const std::size_t pos = path.rfind(marker);
    if (pos == std::string::npos) return std::string();
    std::string id = path.substr(pos + marker.size());
    // "posix/Area/City" and "right/Area/City" name the same zones.
    for (const char* prefix : {"posix/", "right/"})
        if (id.rfind(prefix, 0) == 0) id = id.substr(std::strlen(prefix));
    return id;
}

// A TZ-style text as a zone id: ":" dropped, a path under a zoneinfo folder reduced to the id.
std::string NormalizeZoneText(std::string_view text) {
    std::string value(text);
    if (!value.empty() && value[0] == ':') value.erase(0, 1);
    if (!value.empty() && value[0] == '/') {
        std::string id = AfterZoneinfo(value);
        if (!id.empty()) return id;
    }
    return value;
}

std::string HostZoneId() {
    if (const std::optional<std::string> tz = nx::sys::ZoneVariable()) {
        if (tz->empty()) return "UTC";
        return NormalizeZoneText(*tz);
    }
    std::string id = AfterZoneinfo(nx::sys::LocalTimeLinkTarget());
    if (!id.empty()) return id;
    id = ReadFirstLine(nx::sys::ZoneNameFile());
    if (!id.empty()) return id;
    return nx::sys::SystemZoneId();
}

// POSIX rule text: std offset [dst [offset] [,start[/time],end[/time]]], offsets positive west.
class PosixRuleReader {
public:
    explicit PosixRuleReader(std::string_view s) : m_s(s) {}

    bool Read(TIME_ZONE_INFORMATION& tzi, int year) {
        std::string standardName;
        std::string daylightName;
        int64_t standardOffset = 0;
        if (!Name(standardName) || !Offset(standardOffset)) return false;
        tzi = TIME_ZONE_INFORMATION{};
        tzi.Bias = static_cast<int32_t>(standardOffset / 60);
        tzi.DaylightBias = -60;
        SetName(tzi.StandardName, standardName);
        SetName(tzi.DaylightName, standardName);
        if (m_pos == m_s.size()) return true;
        if (!Name(daylightName)) return false;
        SetName(tzi.DaylightName, daylightName);
        int64_t daylightOffset = standardOffset - 3600;
        if (m_pos < m_s.size() && m_s[m_pos] != ',' && !Offset(daylightOffset)) return false;
        tzi.DaylightBias = static_cast<int32_t>((daylightOffset - standardOffset) / 60);
        SYSTEMTIME start = RuleTime(3, 2, 0, 2 * 3600000LL);  // default: the US rule
        SYSTEMTIME end = RuleTime(11, 1, 0, 2 * 3600000LL);
        if (m_pos < m_s.size()) {
            if (m_s[m_pos] != ',') return false;
            ++m_pos;
            if (!Rule(start, year)) return false;
            if (m_pos >= m_s.size() || m_s[m_pos] != ',') return false;
            ++m_pos;
            if (!Rule(end, year)) return false;
        }
        if (m_pos != m_s.size()) return false;
        tzi.DaylightDate = start;
        tzi.StandardDate = end;
        return true;
    }

private:
    char At() const { return m_pos < m_s.size() ? m_s[m_pos] : '\0'; }
    static bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    bool Name(std::string& name) {
        const std::size_t start = m_pos;
        if (At() == '<') {
            const std::size_t close = m_s.find('>', m_pos);
            if (close == std::string_view::npos || close - m_pos - 1 < 3) return false;
            name = std::string(m_s.substr(m_pos + 1, close - m_pos - 1));
            m_pos = close + 1;
            return true;
        }
        while (IsAlpha(At())) ++m_pos;
        if (m_pos - start < 3) return false;
        name = std::string(m_s.substr(start, m_pos - start));
        return true;
    }

    bool Number(int maxValue, int& value) {
        if (!IsDigit(At())) return false;
        value = 0;
        while (IsDigit(At())) {
            value = value * 10 + (At() - '0');
            if (value > maxValue) return false;
            ++m_pos;
        }
        return true;
    }

    // [+-]hh[:mm[:ss]] in seconds.
    bool Offset(int64_t& seconds, int maxHours = 24) {
        int sign = 1;
        if (At() == '+' || At() == '-') {
            sign = At() == '-' ? -1 : 1;
            ++m_pos;
        }
        int h = 0, m = 0, s = 0;
        if (!Number(maxHours, h)) return false;
        if (At() == ':') {
            ++m_pos;
            if (!Number(59, m)) return false;
            if (At() == ':') {
                ++m_pos;
                if (!Number(59, s)) return false;
            }
        }
        seconds = sign * (h * 3600LL + m * 60LL + s);
        return true;
    }

    bool Rule(SYSTEMTIME& rule, int year) {
        int month = 0, week = 0, weekday = 0;
        if (At() == 'M') {
            ++m_pos;
            if (!Number(12, month) || month < 1 || At() != '.') return false;
            ++m_pos;
            if (!Number(5, week) || week < 1 || At() != '.') return false;
            ++m_pos;
            if (!Number(6, weekday)) return false;
        } else {
            // Jn (1-365, no leap day) or n (0-365): the date it names this year, as a weekday
            // rule of its week.
            const bool julian = At() == 'J';
            if (julian) ++m_pos;
            int n = 0;
            if (!Number(365, n) || (julian && n < 1)) return false;
            int dayOfYear = julian ? n : n + 1;
            const bool leap = DaysInMonth(year, 2) == 29;
            if (julian && leap && dayOfYear >= 60) ++dayOfYear;
            month = 1;
            while (month < 12 && dayOfYear > DaysInMonth(year, month))
                dayOfYear -= DaysInMonth(year, month++);
            const int day = std::min(dayOfYear, DaysInMonth(year, month));
            weekday = DayOfWeek(year, month, day);
            week = std::min(5, (day - 1) / 7 + 1);
        }
        int64_t time = 2 * 3600;
        if (At() == '/') {
            ++m_pos;
            if (!Offset(time, 167)) return false;
        }
        if (time < 0 || time >= 86400) return false;  // Windows rules hold a time of day
        rule = RuleTime(month, week, weekday, time * 1000);
        return true;
    }

    std::string_view m_s;
    std::size_t m_pos = 0;
};

// Seconds since 1970 as milliseconds since 1601, the scale the rules are evaluated on.
int64_t UnixMillis(std::time_t at) {
    return (static_cast<int64_t>(at) + static_cast<int64_t>(kFileTimeUnixEpoch / kFileTicksPerSecond)) * 1000;
}

uint32_t CurrentPeriod(const TIME_ZONE_INFORMATION& tzi, std::time_t at) {
    if (!HasDaylightRule(tzi)) return TIME_ZONE_ID_UNKNOWN;
    return IsDaylightUtc(tzi, UnixMillis(at)) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

}  // namespace

// ---- records -----------------------------------------------------------------------------------

bool operator==(const tagNxTimeZone& a, const tagNxTimeZone& b) {
    return a.DisplayName == b.DisplayName && a.StandardName == b.StandardName &&
           a.DaylightName == b.DaylightName && GetTziBytes(a) == GetTziBytes(b);
}

std::array<uint8_t, kTziSize> GetTziBytes(const tagNxTimeZone& zone) {
    return nx::sys::PackTzi(RuleOf(zone));
}

void SetTziBytes(tagNxTimeZone& zone, const uint8_t* bytes, std::size_t size) {
    std::array<uint8_t, kTziSize> all{};
    if (bytes != nullptr) std::copy(bytes, bytes + std::min(size, kTziSize), all.begin());
    nx::sys::TziRule rule;
    nx::sys::ParseTzi(all.data(), all.size(), rule);  // 44 bytes: always read
    SetRule(zone, rule);
}

std::string FormatTimeZoneKey(const tagNxTimeZone& zone) {
    char buffer[64];
    // |DaylightBias| computed without overflow: INT32_MIN stays INT32_MIN, as C's abs gives it.
    const uint32_t magnitude = zone.DaylightBias < 0 ? 0u - static_cast<uint32_t>(zone.DaylightBias)
                                                     : static_cast<uint32_t>(zone.DaylightBias);
    const int32_t dst = IsZero(zone.DaylightDate) ? 0 : static_cast<int32_t>(magnitude);
    // "GMT:%+d;DST:%d", without the printf machinery: a calendar write compares the text of
    // every zone of the table with the item's.
    char* const end = buffer + sizeof buffer;
    char* p = std::copy_n("GMT:", 4, buffer);
    if (zone.Bias >= 0) *p++ = '+';
    p = std::to_chars(p, end, static_cast<int32_t>(zone.Bias)).ptr;
    p = std::copy_n(";DST:", 5, p);
    p = std::to_chars(p, end, dst).ptr;
    return std::string(buffer, p);
}

std::string FormatTimeZone(const tagNxTimeZone& zone) {
    char buffer[192];
    const SYSTEMTIME& s = zone.StandardDate;
    const SYSTEMTIME& d = zone.DaylightDate;
    std::snprintf(buffer, sizeof buffer, ";STD:%04d%02d%02d%02d%02d%02d%02d;DLT:%04d%02d%02d%02d%02d%02d%02d",
                  s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute, s.wSecond, s.wDayOfWeek, d.wYear, d.wMonth,
                  d.wDay, d.wHour, d.wMinute, d.wSecond, d.wDayOfWeek);
    return FormatTimeZoneKey(zone) + buffer;
}

std::optional<tagNxTimeZone> ParseTimeZoneText(std::string_view text) {
    // "GMT:<int>;DST:<int>;STD:<14 digits + weekday>;DLT:<...>"; read leniently, kept only when
    // the rule read formats back to exactly the text.
    tagNxTimeZone zone;
    auto number = [&](std::string_view& rest, std::string_view prefix, int32_t& out) {
        if (rest.substr(0, prefix.size()) != prefix) return false;
        rest.remove_prefix(prefix.size());
        if (!rest.empty() && rest.front() == '+') rest.remove_prefix(1);
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), out);
        if (ec != std::errc()) return false;
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        return true;
    };
    auto date = [&](std::string_view& rest, std::string_view prefix, SYSTEMTIME& st) {
        constexpr std::size_t kDigits = 4 + 2 * 6;
        if (rest.substr(0, prefix.size()) != prefix || rest.size() < prefix.size() + kDigits) return false;
        rest.remove_prefix(prefix.size());
        WORD* fields[] = {&st.wYear,   &st.wMonth,  &st.wDay,      &st.wHour,
                          &st.wMinute, &st.wSecond, &st.wDayOfWeek};
        std::size_t at = 0;
        for (std::size_t i = 0; i < 7; ++i) {
            const std::size_t width = i == 0 ? 4 : 2;
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(rest.data() + at, rest.data() + at + width, value);
            if (ec != std::errc() || end != rest.data() + at + width) return false;
            *fields[i] = static_cast<WORD>(value);
            at += width;
        }
        rest.remove_prefix(at);
        return true;
    };
    std::string_view rest = text;
    int32_t dst = 0;
    if (!number(rest, "GMT:", zone.Bias) || !number(rest, ";DST:", dst) ||
        !date(rest, ";STD:", zone.StandardDate) || !date(rest, ";DLT:", zone.DaylightDate) || !rest.empty())
        return std::nullopt;
    zone.DaylightBias = dst == INT32_MIN ? dst : -dst;
    if (FormatTimeZone(zone) != text) return std::nullopt;
    return zone;
}

std::vector<std::string> EnumTimeZoneKeys() {
    std::vector<std::string> keys;
    for (const ZoneEntry& e : ZoneTable()) keys.push_back(e.key);
    return keys;
}

bool ReadTimeZone(std::string_view keyName, tagNxTimeZone& zone) {
    zone = tagNxTimeZone{};
    for (const ZoneEntry& e : ZoneTable()) {
        if (e.key == keyName) {
            zone = e.zone;
            return true;
        }
    }
    return false;
}

bool LoadTimeZones(std::vector<tagNxTimeZone>& zones) {
    if (!zones.empty()) return true;
    const std::vector<ZoneEntry>& table = ZoneTable();
    if (table.empty()) return false;
    zones.reserve(table.size());
    for (const ZoneEntry& e : table) zones.push_back(e.zone);
    return true;
}

int32_t FindTimeZoneIndex(const std::vector<tagNxTimeZone>& zones, std::string_view text) {
    for (std::size_t i = 0; i < zones.size() && i < static_cast<std::size_t>(INT32_MAX); ++i)
        if (FormatTimeZoneKey(zones[i]) == text) return static_cast<int32_t>(i);
    return -1;
}

bool FindRegistryTimeZone(const TIME_ZONE_INFORMATION& tzi, tagNxTimeZone& zone) {
    zone = tagNxTimeZone{};
    const std::string standardName = GetName(tzi.StandardName);
    for (const ZoneEntry& e : ZoneTable()) {
        if (TruncateUtf16(e.zone.StandardName, 31) == standardName && e.zone.Bias == tzi.Bias &&
            e.zone.StandardBias == tzi.StandardBias &&
            std::memcmp(&e.zone.StandardDate, &tzi.StandardDate, sizeof(SYSTEMTIME)) == 0) {
            zone = e.zone;
            return true;
        }
    }
    return false;
}

bool GetTimeZoneDisplayName(const TIME_ZONE_INFORMATION& tzi, std::string& displayName) {
    tagNxTimeZone zone;
    if (!FindRegistryTimeZone(tzi, zone)) return false;
    displayName = TruncateUtf16(zone.DisplayName, 259);
    return true;
}

TIME_ZONE_INFORMATION ToTimeZoneInformation(const tagNxTimeZone& zone) {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = zone.Bias;
    tzi.StandardBias = zone.StandardBias;
    tzi.DaylightBias = zone.DaylightBias;
    tzi.StandardDate = zone.StandardDate;
    tzi.DaylightDate = zone.DaylightDate;
    SetName(tzi.StandardName, zone.StandardName);
    SetName(tzi.DaylightName, zone.DaylightName);
    return tzi;
}

tagNxTimeZone FromTimeZoneInformation(const TIME_ZONE_INFORMATION& tzi, std::string displayName) {
    tagNxTimeZone zone;
    zone.DisplayName = std::move(displayName);
    zone.StandardName = GetName(tzi.StandardName);
    zone.DaylightName = GetName(tzi.DaylightName);
    zone.Bias = tzi.Bias;
    zone.StandardBias = tzi.StandardBias;
    zone.DaylightBias = tzi.DaylightBias;
    zone.StandardDate = tzi.StandardDate;
    zone.DaylightDate = tzi.DaylightDate;
    return zone;
}

// ---- the machine's zone ----------------------------------------------------------------------

uint32_t GetTimeZoneInformationForZone(std::string_view zoneText, std::time_t at,
                                       TIME_ZONE_INFORMATION& tzi) {
    tzi = TIME_ZONE_INFORMATION{};
    const std::string zoneId = NormalizeZoneText(zoneText);
    if (zoneId.empty()) return TIME_ZONE_ID_INVALID;
    nx::sys::ZoneRecord record;
    if (nx::sys::ZoneRecordAt(zoneId, at, record)) {
        tagNxTimeZone zone;
        zone.StandardName = record.standardName;
        zone.DaylightName = record.daylightName;
        SetRule(zone, record.rule);
        tzi = ToTimeZoneInformation(zone);
        return CurrentPeriod(tzi, at);
    }
    PosixRuleReader reader(zoneId);
    TIME_ZONE_INFORMATION parsed{};
    if (!reader.Read(parsed, YearOf(UnixMillis(at)))) return TIME_ZONE_ID_INVALID;
    tzi = parsed;
    return CurrentPeriod(tzi, at);
}

uint32_t GetTimeZoneInformation(TIME_ZONE_INFORMATION& tzi) {
    // The zone is identified afresh on every call (TZ or /etc/localtime may change at any
    // time); building its record from the zone database is what costs, so the record of the
    // last zone is kept for the rest of that UTC day. The current period is always recomputed.
    struct Cache {
        std::mutex lock;
        std::string zone;
        int64_t day = -1;
        bool valid = false;
        TIME_ZONE_INFORMATION tzi{};
    };
    static Cache cache;
    const std::string zone = HostZoneId();
    const std::time_t now = std::time(nullptr);
    const int64_t day = static_cast<int64_t>(now) / 86400;
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        if (cache.valid && cache.day == day && cache.zone == zone) {
            tzi = cache.tzi;
            return CurrentPeriod(tzi, now);
        }
    }
    const uint32_t period = GetTimeZoneInformationForZone(zone, now, tzi);
    if (period != TIME_ZONE_ID_INVALID) {
        std::lock_guard<std::mutex> guard(cache.lock);
        cache.zone = zone;
        cache.day = day;
        cache.tzi = tzi;
        cache.valid = true;
    }
    return period;
}

bool SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION& tzi, const SYSTEMTIME& utc,
                                     SYSTEMTIME& local) {
    int64_t ms = 0;
    if (!ToMillis(utc, ms) || !RulesUsable(tzi)) return false;
    int64_t bias = int64_t{tzi.Bias} + tzi.StandardBias;
    if (HasDaylightRule(tzi) && IsDaylightUtc(tzi, ms)) bias = int64_t{tzi.Bias} + tzi.DaylightBias;
    return FromMillis(ms - bias * kMsPerMinute, local);
}

bool TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION& tzi, const SYSTEMTIME& local,
                                     SYSTEMTIME& utc) {
    int64_t ms = 0;
    if (!ToMillis(local, ms) || !RulesUsable(tzi)) return false;
    int64_t bias = int64_t{tzi.Bias} + tzi.StandardBias;
    if (HasDaylightRule(tzi) && IsDaylightLocal(tzi, ms)) bias = int64_t{tzi.Bias} + tzi.DaylightBias;
    return FromMillis(ms + bias * kMsPerMinute, utc);
}

const TimeZoneSource& SystemTimeZoneSource() {
    static const TimeZoneSource source{[](TIME_ZONE_INFORMATION& tzi) { return GetTimeZoneInformation(tzi); },
                                       true};
    return source;
}

void UtcToLocal(const SYSTEMTIME& utc, CDateTime& local, const TimeZoneSource& source) {
    TIME_ZONE_INFORMATION tzi{};
    if (!source.getTimeZoneInformation || source.getTimeZoneInformation(tzi) == TIME_ZONE_ID_INVALID) return;
    SYSTEMTIME converted{};
    if (source.zoneConversionsAvailable && SystemTimeToTzSpecificLocalTime(tzi, utc, converted)) {
        local.SetDateTime(converted.wYear, converted.wMonth, converted.wDay, converted.wHour,
                          converted.wMinute, converted.wSecond);
        return;
    }
    local = CDateTime(utc).AddMinutes(-tzi.Bias);
}

void LocalToUtc(const CDateTime& local, SYSTEMTIME& utc, const TimeZoneSource& source) {
    TIME_ZONE_INFORMATION tzi{};
    if (!source.getTimeZoneInformation || source.getTimeZoneInformation(tzi) == TIME_ZONE_ID_INVALID) return;
    if (!local.IsValid()) return;
    SYSTEMTIME fields{};
    SYSTEMTIME converted{};
    if (source.zoneConversionsAvailable && local.GetAsSystemTime(fields) &&
        TzSpecificLocalTimeToSystemTime(tzi, fields, converted)) {
        utc = converted;
        return;
    }
    SYSTEMTIME shifted{};
    if (local.AddMinutes(tzi.Bias).GetAsSystemTime(shifted)) utc = shifted;
}

}  // namespace NAMESPACE_COMMON
