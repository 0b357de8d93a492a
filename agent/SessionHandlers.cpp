#include "agent/SessionHandlers.h"

#include <exception>
#include <string>

#include "agent/AgentConfig.h"
#include "agent/HostCallback.h"
#include "common/LogFile.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace nx::agent {
namespace {

// The process-wide object, with the process configuration applied. Callers hold the lock.
NAMESPACE_MAPI::CMAPIObject& Mapi() {
    ApplyMapiConfig();
    return NAMESPACE_MAPI::GetMAPIObject();
}

using Guard = std::lock_guard<std::recursive_mutex>;

// A received wide text as the agent's UTF-8; it ends at its first zero unit, as the wire's
// zero-terminated string does.
std::string TextOf(nx::rpc::Args& args, std::size_t index) {
    const std::u16string& text = args.Text(index);
    return nx::sys::Utf16ToUtf8(std::u16string_view(text.c_str()));
}

// One received UTF-16 unit as a text of that one character; a zero unit is the empty text.
std::string CharacterOf(nx::rpc::Args& args, std::size_t index) {
    const char16_t unit = args.WChar(index);
    return unit == 0 ? std::string() : nx::sys::Utf16ToUtf8(std::u16string(1, unit));
}

// Runs one operation of the process-wide object under its lock. An operation reports its own
// failures through its result; anything that still escapes (an allocation failure) becomes the
// procedure's failure value, so nothing crosses the RPC boundary. Everything a handler does that
// can throw (the conversion of the received text, its trace lines) belongs inside `operation`:
// the RPC runtime turns an exception that leaves a handler into a failed call.
template <typename Operation>
int32_t RunLocked(int32_t failure, Operation&& operation) {
    try {
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        return operation(Mapi());
    } catch (const std::exception&) {
        return failure;
    }
}

}  // namespace

void ApplyMapiConfig() {
    const std::lock_guard<std::recursive_mutex> guard(NAMESPACE_MAPI::MAPIObjectLock());
    const AgentConfig& c = Config();
    NAMESPACE_MAPI::GetMAPIObject().SetConfig({c.subFolder, c.foldersDocumentPath, c.profilesDocumentPath});
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
