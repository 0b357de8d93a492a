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

}  // namespace

void ApplyMapiConfig() {
    const std::lock_guard<std::recursive_mutex> guard(NAMESPACE_MAPI::MAPIObjectLock());
    const AgentConfig& c = Config();
    NAMESPACE_MAPI::GetMAPIObject().SetConfig({c.subFolder, c.foldersDocumentPath, c.profilesDocumentPath});
}

void HandleMAPILogOn(nx::rpc::Args& args) {
    int32_t result = 1;
    try {
        const std::string profile = CharacterOf(args, 0);
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        result = Mapi().MAPILogOn(nullptr, profile.c_str()) == 1 ? 0 : 1;
    } catch (const std::exception&) {
        result = 1;
    }
    args.Long(1) = result;  // set before binding; the binding's outcome does not change it
    BindHostCallback();
}

void HandleMAPILogOff(nx::rpc::Args&) {
    try {
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        Mapi().MAPILogOff();
    } catch (const std::exception&) {
    }
}

void HandleGetAppProfile(nx::rpc::Args& args) {
    int32_t result = 1;
    try {
        const std::string text = TextOf(args, 0);
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        result = Mapi().GetAppProfile(text.c_str());
    } catch (const std::exception&) {
        result = 1;
    }
    args.Long(1) = result;
}

void HandleGetContactCount(nx::rpc::Args& args) {
    int32_t count = 0;
    try {
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        count = Mapi().GetContactCount();
    } catch (const std::exception&) {
        count = 0;
    }
    args.Long(0) = count;
    args.Long(1) = 0;
}

void HandleGetCalendarCount(nx::rpc::Args& args) {
    int32_t count = 0;
    try {
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Begin\r\n");
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        count = Mapi().GetCalendarEventCount();
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Finish\r\n");
    } catch (const std::exception&) {
        count = 0;
    }
    args.Long(0) = count;
    args.Long(1) = 0;
}

void HandleGetAppFolder(nx::rpc::Args& args) {
    int32_t result = 1;
    try {
        // The character is only required to be present; a zero unit is an empty argument.
        const std::string argument = CharacterOf(args, 0);
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        result = Mapi().GetAppFolder(argument.c_str());
    } catch (const std::exception&) {
        result = 1;
    }
    args.Long(1) = result;
}

void HandleSetContactFolder(nx::rpc::Args& args) {
    int32_t result = 1;
    try {
        const std::string text = TextOf(args, 0);
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        result = Mapi().SetContactFolder(text.c_str());
    } catch (const std::exception&) {
        result = 1;
    }
    args.Long(1) = result;
}

void HandleSetCalendarFolder(nx::rpc::Args& args) {
    int32_t result = 1;
    try {
        const std::string text = TextOf(args, 0);
        const Guard guard(NAMESPACE_MAPI::MAPIObjectLock());
        result = Mapi().SetCalendarFolder(text.c_str());
    } catch (const std::exception&) {
        result = 1;
    }
    args.Long(1) = result;
}

}  // namespace nx::agent
