// Time zones: the tagNxTimeZone record, the table of zones a Windows machine lists (its
// "Time Zones" registry key), the compact zone text exchanged with the host, the machine's
// current zone, and the UTC <-> local conversions of the agent's date values.
//
// Zone table source: platform/system/ZoneData.h. On Windows it is the registry key itself; on
// Linux it is built from ICU's Windows-zone mapping (each Windows zone id with the yearly rule in
// force now of its region "001" zone, names spelled the way the registry spells them: see
// docs/common.md). The order is the registry's enumeration order: key names compared
// case-insensitively.
//
// The machine's zone (GetTimeZoneInformation) is TZ when set (":Area/City", "Area/City", a path
// under a zoneinfo folder, or "" for UTC), else the target of /etc/localtime, else
// /etc/timezone, else the system's own zone (ICU's host detection on Linux, the kernel's zone
// key on Windows); a POSIX rule text in TZ ("CET-1CEST,M3.5.0,M10.5.0/3")
// is read as such. A zone that cannot be identified gives TIME_ZONE_ID_INVALID.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "platform/system/Tzi.h"

// The platform's time-zone information (the Windows TIME_ZONE_INFORMATION layout).
#ifndef _TIME_ZONE_INFORMATION_
#define _TIME_ZONE_INFORMATION_
struct TIME_ZONE_INFORMATION {
    LONG Bias;  // minutes, UTC = local + Bias
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};
#endif
#ifndef TIME_ZONE_ID_INVALID
#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu
#endif

namespace NAMESPACE_COMMON {

// A registry time zone. The five numbers are, byte for byte, the 44-byte "TZI" value.
struct tagNxTimeZone {
    std::string DisplayName;    // "Display"
    std::string StandardName;   // "Std"
    std::string DaylightName;   // "Dlt"
    int32_t Bias = 0;           // minutes, UTC = local + Bias (positive west of Greenwich)
    int32_t StandardBias = 0;   // added to Bias in standard time
    int32_t DaylightBias = 0;   // added to Bias in daylight time
    SYSTEMTIME StandardDate{};  // year 0: yearly rule, day = week of month (5 = last)
    SYSTEMTIME DaylightDate{};  // all zero: no daylight saving

    friend bool operator==(const tagNxTimeZone& a, const tagNxTimeZone& b);
};

inline constexpr std::size_t kTziSize = nx::sys::kTziSize;
std::array<uint8_t, kTziSize> GetTziBytes(const tagNxTimeZone& zone);
// Copies the first 44 bytes (a shorter value leaves the rest 0) into the numeric fields.
void SetTziBytes(tagNxTimeZone& zone, const uint8_t* bytes, std::size_t size);

// "GMT:%+d;DST:%d;STD:%04d%02d%02d%02d%02d%02d%02d;DLT:..." (DST: |DaylightBias| when
// DaylightDate is not all zero, else 0; dates as year, month, day, hour, minute, second, day of
// week).
std::string FormatTimeZone(const tagNxTimeZone& zone);
// The first two parts only, "GMT:%+d;DST:%d": the key a received text is matched by.
std::string FormatTimeZoneKey(const tagNxTimeZone& zone);
// The rule a whole zone text spells (FormatTimeZone's form): Bias, DaylightBias -DST, both dates,
// no names; nullopt for any text FormatTimeZone would not write (the short key included).
std::optional<tagNxTimeZone> ParseTimeZoneText(std::string_view text);

// The registry key names (Windows zone ids) in enumeration order.
std::vector<std::string> EnumTimeZoneKeys();
// One zone by key name; false (record cleared) for an unknown name.
bool ReadTimeZone(std::string_view keyName, tagNxTimeZone& zone);
// Fills an empty table with every zone in key order; a table that holds zones is left as it is.
// False only when no zone source is available.
bool LoadTimeZones(std::vector<tagNxTimeZone>& zones);

// Index of the first zone whose short key equals the text exactly (case-sensitive); -1 for an
// empty table or no match (a long text never matches).
int32_t FindTimeZoneIndex(const std::vector<tagNxTimeZone>& zones, std::string_view text);

// The first registry zone with the given StandardName, Bias, StandardBias and StandardDate (all
// 16 bytes); the output is cleared first and filled on success.
bool FindRegistryTimeZone(const TIME_ZONE_INFORMATION& tzi, tagNxTimeZone& zone);
// The display name of that zone, at most 259 UTF-16 units (the 260-character buffer).
bool GetTimeZoneDisplayName(const TIME_ZONE_INFORMATION& tzi, std::string& displayName);

// The machine's current zone: bias, names (the registry names of its Windows zone, at most 31
// UTF-16 units) and the yearly rule in force now. Returns TIME_ZONE_ID_UNKNOWN for a zone without
// daylight saving, TIME_ZONE_ID_STANDARD or TIME_ZONE_ID_DAYLIGHT for the current period, or
// TIME_ZONE_ID_INVALID (output cleared) when the zone cannot be identified.
uint32_t GetTimeZoneInformation(TIME_ZONE_INFORMATION& tzi);
// The same for a zone named as TZ names it (an IANA id, ":id", a zoneinfo path or a POSIX rule
// text) at a given instant.
uint32_t GetTimeZoneInformationForZone(std::string_view zoneText, std::time_t at, TIME_ZONE_INFORMATION& tzi);

// Conversions between UTC and a zone's local time by its rule, as the kernel's zone-specific
// conversions do: the transitions of the year in question ("day" = week of month, 5 = last;
// a rule with a year is taken as that month and day every year); without a daylight rule only
// Bias + StandardBias applies. Local times in the skipped hour count as daylight time and the
// repeated hour as daylight time (its first pass). Milliseconds are kept. False for invalid
// input fields or an invalid rule, and then the output is untouched.
bool SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION& tzi, const SYSTEMTIME& utc,
                                     SYSTEMTIME& local);
bool TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION& tzi, const SYSTEMTIME& local,
                                     SYSTEMTIME& utc);

// Where UtcToLocal and LocalToUtc take the machine's zone from. The default reads the system;
// tests inject a zone, a failure, or a kernel without the zone-specific conversions.
struct TimeZoneSource {
    std::function<uint32_t(TIME_ZONE_INFORMATION&)> getTimeZoneInformation;
    bool zoneConversionsAvailable = true;
};
const TimeZoneSource& SystemTimeZoneSource();

// UTC calendar fields -> local date value. Zone unreadable: `local` untouched. With the
// conversion: fields of the local time, milliseconds dropped. Fallback (conversion unavailable
// or failing): the UTC value minus Bias minutes, no daylight hour.
void UtcToLocal(const SYSTEMTIME& utc, CDateTime& local,
                const TimeZoneSource& source = SystemTimeZoneSource());
// Local date value -> UTC calendar fields. Zone unreadable or `local` not valid: `utc`
// untouched. Fallback: the value plus Bias minutes, no daylight hour.
void LocalToUtc(const CDateTime& local, SYSTEMTIME& utc,
                const TimeZoneSource& source = SystemTimeZoneSource());

// Record <-> platform information (names converted, at most 31 UTF-16 units each).
TIME_ZONE_INFORMATION ToTimeZoneInformation(const tagNxTimeZone& zone);
tagNxTimeZone FromTimeZoneInformation(const TIME_ZONE_INFORMATION& tzi,
                                      std::string displayName = std::string());

}  // namespace NAMESPACE_COMMON
