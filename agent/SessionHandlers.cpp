#include "agent/SessionHandlers.h"

#include <string>

#include "agent/HandlerSupport.h"
#include "agent/HostCallback.h"
#include "mapi/MAPIObject.h"

namespace nx::agent {

int32_t MAPILogOn(WireChar profile) {
    const int32_t result = RunLocked(1, [&](auto& m) {
        const std::string name = CharacterOf(profile);
        return m.MAPILogOn(nullptr, name.c_str()) == 1 ? 0 : 1;
    });
    BindHostCallback();  // whatever the logon gave; the binding's outcome does not change it
    return result;
}

void MAPILogOff() {
    RunLocked(0, [](auto& m) {
        m.MAPILogOff();
        return 0;
    });
}

int32_t GetAppProfile(InText profiles) {
    return RunLocked(1, [&](auto& m) { return m.GetAppProfile(TextOf(profiles).c_str()); });
}

int32_t GetContactCount(int32_t& count) {
    count = RunLocked(0, [](auto& m) { return m.GetContactCount(); });
    return 0;
}

int32_t GetCalendarCount(int32_t& count) {
    count = RunLocked(0, [](auto& m) { return m.GetCalendarCount(); });
    return 0;
}

int32_t GetAppFolder(WireChar folders) {
    // The character is only required to be present; a zero unit is an empty argument.
    return RunLocked(1, [&](auto& m) { return m.GetAppFolder(CharacterOf(folders).c_str()); });
}

int32_t SetContactFolder(InText folder) {
    return RunLocked(1, [&](auto& m) { return m.SetContactFolder(TextOf(folder).c_str()); });
}

int32_t SetCalendarFolder(InText folder) {
    return RunLocked(1, [&](auto& m) { return m.SetCalendarFolder(TextOf(folder).c_str()); });
}

}  // namespace nx::agent
