#include "platform/system/MachineZone.h"

#include <unistd.h>

#include <cstdlib>

namespace nx::sys {

std::optional<std::string> ZoneVariable() {
    if (const char* tz = std::getenv("TZ")) return std::string(tz);
    return std::nullopt;
}

std::string LocalTimeLinkTarget() {
    char target[4096];
    const ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

const char* ZoneNameFile() {
    return "/etc/timezone";
}

}  // namespace nx::sys
