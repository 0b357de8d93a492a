#include "agent/SessionHandlers.h"

#include <exception>
#include <string>

#include "agent/AgentConfig.h"
#include "agent/HandlerSupport.h"
#include "agent/HostCallback.h"
#include "common/LogFile.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace nx::agent {

void ApplyMapiConfig() {
    const std::lock_guard<std::recursive_mutex> guard(NAMESPACE_MAPI::MAPIObjectLock());
    const AgentConfig& c = Config();
    NAMESPACE_MAPI::GetMAPIObject().SetConfig(
        {c.subFolder, c.foldersDocumentPath, c.profilesDocumentPath, c.workFolder});
}

void HandleMAPILogOn(nx::rpc::Args& args) {
    args.Long(1) = RunLocked(1, [&](auto& m) {
        const std::string profile = CharacterOf(args, 0);
        return m.MAPILogOn(nullptr, profile.c_str()) == 1 ? 0 : 1;
    });
    BindHostCallback();  // the result is set first; the binding's outcome does not change it
}

void HandleMAPILogOff(nx::rpc::Args&) {
    RunLocked(0, [](auto& m) {
        m.MAPILogOff();
        return 0;
    });
}

void HandleGetAppProfile(nx::rpc::Args& args) {
    args.Long(1) = RunLocked(1, [&](auto& m) { return m.GetAppProfile(TextOf(args, 0).c_str()); });
}

void HandleGetContactCount(nx::rpc::Args& args) {
    args.Long(0) = RunLocked(0, [](auto& m) { return m.GetContactCount(); });
    args.Long(1) = 0;
}

void HandleGetCalendarCount(nx::rpc::Args& args) {
    args.Long(0) = RunLocked(0, [](auto& m) {
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Begin\r\n");
        const int32_t count = m.GetCalendarEventCount();
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Finish\r\n");
        return count;
    });
    args.Long(1) = 0;
}

void HandleGetAppFolder(nx::rpc::Args& args) {
    // The character is only required to be present; a zero unit is an empty argument.
    args.Long(1) = RunLocked(1, [&](auto& m) { return m.GetAppFolder(CharacterOf(args, 0).c_str()); });
}

void HandleSetContactFolder(nx::rpc::Args& args) {
    args.Long(1) = RunLocked(1, [&](auto& m) { return m.SetContactFolder(TextOf(args, 0).c_str()); });
}

void HandleSetCalendarFolder(nx::rpc::Args& args) {
    args.Long(1) = RunLocked(1, [&](auto& m) { return m.SetCalendarFolder(TextOf(args, 0).c_str()); });
}

}  // namespace nx::agent
