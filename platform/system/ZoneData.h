// Where the time-zone data comes from: the zones a Windows machine lists in its registry key
// "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time Zones", a zone named by id, and the id of
// the zone the system itself runs in. The common layer turns these records into its own and
// does every conversion itself; only the source differs between systems.
//
// On Windows the records are the registry's own values; on Linux they are built from ICU's
// Windows-zone mapping and the system tz database (docs/common.md says how).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/Tzi.h"

namespace nx::sys {

// One zone as the registry keeps it.
struct ZoneRecord {
    std::string key;           // the sub-key name: the Windows zone id
    std::string displayName;   // "Display"
    std::string standardName;  // "Std"
    std::string daylightName;  // "Dlt"
    TziRule rule;              // "TZI"
};

// Every zone of the key, in the registry's enumeration order (key names compared
// case-insensitively); read once per process. Empty when no zone source is available.
const std::vector<ZoneRecord>& RegistryZones();

// The zone `zoneId` names, with the yearly rule in force at `at` (the display name may be
// empty). False when the id names no zone of the system's zone database: then the caller may
// still read it as a POSIX rule text.
bool ZoneRecordAt(std::string_view zoneId, std::time_t at, ZoneRecord& out);

// The id of the zone the system reports as its own when nothing more specific names one;
// "UTC" when it reports none.
std::string SystemZoneId();

}  // namespace nx::sys
