// On Windows the machine's zone is the system's own (GetDynamicTimeZoneInformation, read through
// ZoneData.h's SystemZoneId): there is no TZ variable, zone link or zone name file to consult.
#include "platform/system/MachineZone.h"

namespace nx::sys {

std::optional<std::string> ZoneVariable() {
    return std::nullopt;
}

std::string LocalTimeLinkTarget() {
    return std::string();
}

const char* ZoneNameFile() {
    return "";
}

}  // namespace nx::sys
