// Hands the widl-generated stubs of both interfaces to the Windows RPC runtime
// (platform/rpc/SystemStubs.h): the agent interface's server side, and the callback interface's
// client side as a call by opnum. Linked straight into the agent executable, so this file's
// registration always runs before main.
// clang-format off
// SystemStubs.h (Rpc.h) before the system headers, which make RPC_S_OK and its kin macros.
#include "platform/rpc/SystemStubs.h"
#include "platform/rpc/RpcExcept_win.h"
#include "NxAgent.h"
#include "NxHostCallback.h"
// clang-format on

#include <string>
#include <type_traits>

namespace {

// Managers.cpp defines the manager functions with these types; the generated prototypes must agree.
static_assert(std::is_same_v<decltype(&::MAPILogOn), void (*)(handle_t, WCHAR*, long*)>);
static_assert(std::is_same_v<decltype(&::GetContactFolder), void (*)(handle_t, WCHAR*, long*)>);
static_assert(std::is_same_v<decltype(&::WriteContacts), void (*)(handle_t, WCHAR*, WCHAR*, WCHAR*, long*)>);
static_assert(std::is_same_v<decltype(&::ReadCalendars), void (*)(handle_t, WCHAR*, WCHAR*, long*)>);
static_assert(std::is_same_v<handle_t, void*> && std::is_same_v<WCHAR, wchar_t>);

// The callback interface's procedures by opnum: 0 NotifyShutdown, 1 DeliverContact,
// 2 DeliverCalendar (agent/Interfaces.h). A failed call is its status, not an exception.
nx::rpc::RpcStatus CallHost(void* binding, uint16_t opnum, nx::rpc::Args& args) {
    std::u16string document;
    if (opnum == 1 || opnum == 2) document = args.Text(0);
    wchar_t* text = reinterpret_cast<wchar_t*>(document.data());
    volatile DWORD status = RPC_S_OK;  // read again after the runtime raised
    RpcTryExcept {
        switch (opnum) {
            case 0:
                ::NotifyShutdown(binding);
                break;
            case 1:
                ::DeliverContact(binding, text);
                break;
            case 2:
                ::DeliverCalendar(binding, text);
                break;
            default:
                status = RPC_S_PROCNUM_OUT_OF_RANGE;
        }
    }
    RpcExcept(1) {
        status = RpcExceptionCode();
    }
    RpcEndExcept return status;
}

[[maybe_unused]] const bool g_registered = [] {
    nx::rpc::RegisterSystemStubs(nx::rpc::InterfaceUuid(NxAgent_v1_0_s_ifspec),
                                 {NxAgent_v1_0_s_ifspec, nullptr});
    nx::rpc::RegisterSystemStubs(nx::rpc::InterfaceUuid(NxHostCallback_v1_0_c_ifspec), {nullptr, &CallHost});
    return true;
}();

}  // namespace
