// Where the machine names its time zone, in the order the C library consults it. The common
// layer turns these texts into a zone (and asks ICU when none is named).
#pragma once

#include <optional>
#include <string>

namespace nx::sys {

// The TZ variable when it is set (possibly empty), else nothing.
std::optional<std::string> ZoneVariable();

// The path /etc/localtime links to ("/usr/share/zoneinfo/Europe/Berlin"), "" when it is no link.
std::string LocalTimeLinkTarget();

// The file that names the zone in one line on systems that keep one ("/etc/timezone").
const char* ZoneNameFile();

}  // namespace nx::sys
