// nxhost's half of the widl-generated stubs on Windows (platform/rpc/SystemStubs.h), the reverse of
// the agent's: the agent interface's client side as a call by opnum, and the callback interface's
// server side, whose manager functions hand each call to the handlers nxhost registered with
// Server::RegisterIf. Linked straight into nxhost, so this file's registration runs before main.
// clang-format off
// SystemStubs.h (Rpc.h) before the system headers, which make RPC_S_OK and its kin macros.
#include "platform/rpc/SystemStubs.h"
#include "platform/rpc/RpcExcept_win.h"
#include "NxAgent.h"
#include "NxHostCallback.h"
// clang-format on

#include <string>

namespace {

wchar_t* Units(std::u16string& text) {
    return reinterpret_cast<wchar_t*>(text.data());
}

// [out, string, size_is(n)]: the runtime writes at most n units, the terminator included.
struct OutText {
    explicit OutText(std::size_t units) : buffer(units, u'\0') {}
    void To(std::u16string& text) const { text.assign(buffer.c_str()); }
    std::u16string buffer;
};

// The agent interface's procedures by opnum (agent/Interfaces.h); each [in] value read from
// `args`, each [out] value written back. Every result is a long in the last parameter.
void CallAgentStub(handle_t h, uint16_t opnum, nx::rpc::Args& args, RPC_STATUS& status) {
    long result = 0;
    long count = 0;
    auto resultAt = [&](std::size_t i) { args.Long(i) = static_cast<int32_t>(result); };
    switch (opnum) {
        case 0:
            ::Shutdown(h);
            return;
        case 2:
            ::MAPILogOff(h);
            return;
        case 16:
            ::BindCallback(h);
            return;
        case 1:  // MAPILogOn, GetAppFolder, GetCalendarFolder and NoOperation take one unit
        case 6:
        case 8:
        case 9: {
            wchar_t unit = static_cast<wchar_t>(args.WChar(0));
            auto* stub = opnum == 1   ? &::MAPILogOn
                         : opnum == 6 ? &::GetAppFolder
                         : opnum == 8 ? &::GetCalendarFolder
                                      : &::NoOperation;
            stub(h, &unit, &result);
            resultAt(1);
            return;
        }
        case 3:  // GetAppProfile, SetContactFolder and SetCalendarFolder take one text
        case 10:
        case 11: {
            std::u16string text = args.Text(0);
            auto* stub = opnum == 3    ? &::GetAppProfile
                         : opnum == 10 ? &::SetContactFolder
                                       : &::SetCalendarFolder;
            stub(h, Units(text), &result);
            resultAt(1);
            return;
        }
        case 4:
        case 5:
            (opnum == 4 ? &::GetContactCount : &::GetCalendarCount)(h, &count, &result);
            args.Long(0) = static_cast<int32_t>(count);
            resultAt(1);
            return;
        case 7: {
            std::vector<char16_t>& buffer = args.Array(0);
            ::GetContactFolder(h, reinterpret_cast<wchar_t*>(buffer.data()), &result);
            resultAt(1);
            return;
        }
        case 12:
        case 13: {
            std::u16string xml = args.Text(0);
            OutText identifier(400), time(40);
            (opnum == 12 ? &::WriteContacts : &::WriteCalendars)(h, Units(xml), Units(identifier.buffer),
                                                                 Units(time.buffer), &result);
            identifier.To(args.Text(1));
            time.To(args.Text(2));
            resultAt(3);
            return;
        }
        case 14:
        case 15: {
            std::u16string first = args.Text(0), anchor = args.Text(1);
            (opnum == 14 ? &::ReadContacts : &::ReadCalendars)(h, Units(first), Units(anchor), &result);
            resultAt(2);
            return;
        }
        default:
            status = RPC_S_PROCNUM_OUT_OF_RANGE;
    }
}

// A failed call is its status, not an exception.
nx::rpc::RpcStatus CallAgent(void* binding, uint16_t opnum, nx::rpc::Args& args) {
    volatile RPC_STATUS status = RPC_S_OK;  // read again after the runtime raised
    RpcTryExcept {
        RPC_STATUS set = RPC_S_OK;
        CallAgentStub(binding, opnum, args, set);
        status = set;
    }
    RpcExcept(1) {
        status = RpcExceptionCode();
    }
    RpcEndExcept return status;
}

// One callback through nxhost's handler; a handler that refuses the call (an exception, as on
// Linux) fails it for the agent.
void Serve(uint16_t opnum, const WCHAR* document) {
    const nx::rpc::Uuid uuid = nx::rpc::InterfaceUuid(NxHostCallback_v1_0_s_ifspec);
    nx::rpc::RpcStatus status = nx::rpc::CallRegisteredHandler(uuid, opnum, [document](nx::rpc::Args& args) {
        if (document != nullptr) args.Text(0) = reinterpret_cast<const char16_t*>(document);
    });
    if (status != RPC_S_OK) ::RpcRaiseException(static_cast<RPC_STATUS>(status));
}

[[maybe_unused]] const bool g_registered = [] {
    nx::rpc::RegisterSystemStubs(nx::rpc::InterfaceUuid(NxAgent_v1_0_c_ifspec), {nullptr, &CallAgent});
    nx::rpc::RegisterSystemStubs(nx::rpc::InterfaceUuid(NxHostCallback_v1_0_s_ifspec),
                                 {NxHostCallback_v1_0_s_ifspec, nullptr});
    return true;
}();

}  // namespace

// The callback interface's manager functions (NxHostCallback.idl): 0, 1 and 2 by opnum.
extern "C" {
void NotifyShutdown(handle_t) {
    Serve(0, nullptr);
}
void DeliverContact(handle_t, WCHAR* document) {
    Serve(1, document);
}
void DeliverCalendar(handle_t, WCHAR* document) {
    Serve(2, document);
}
}
