#include "agent/HostCallback.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "agent/ExitCode.h"
#include "agent/Interfaces.h"
#include "common/LogFile.h"
#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

namespace nx::agent {
namespace {

// The design keeps one plain handle; a lock makes replacing it while a read thread calls
// through the old one safe.
std::mutex g_bindingLock;
std::shared_ptr<nx::rpc::Binding> g_binding;

std::shared_ptr<nx::rpc::Binding> CurrentBinding() {
    std::lock_guard<std::mutex> guard(g_bindingLock);
    return g_binding;
}

nx::rpc::RpcStatus CallWithText(uint16_t opnum, std::string_view xml) {
    const auto binding = CurrentBinding();
    if (!binding) return nx::rpc::RPC_S_INVALID_BINDING;
    nx::rpc::Args args(CallbackInterface().procedures[opnum]);
    // A read sends thousands of documents from one thread: each is converted into the storage of
    // the one before, lent to the call and taken back.
    thread_local std::u16string units;
    nx::sys::AssignUtf16(units, xml);
    args.Text(0).swap(units);
    const nx::rpc::RpcStatus status = binding->Call(CallbackInterface(), opnum, args);
    args.Text(0).swap(units);
    return status;
}

}  // namespace

nx::rpc::CallTimeouts CallbackTimeoutsFor(const char* override) {
    const int ms = nx::sys::MillisecondsOr(override, 0);
    if (ms == 0) return kCallbackTimeouts;
    return {.connectMs = ms, .bindMs = ms, .replyMs = ms};
}

void BindHostCallback() {
    std::string stringBinding;
    const nx::rpc::RpcStatus composed =
        nx::rpc::StringBindingCompose("", kProtseq, "", kCallbackEndpoint, "", stringBinding);
    if (composed != nx::rpc::RPC_S_OK) ExitWithRpcStatus("RpcStringBindingCompose", composed);

    std::shared_ptr<nx::rpc::Binding> binding;
    const nx::rpc::RpcStatus bound = nx::rpc::BindingFromStringBinding(stringBinding, binding);
    if (bound != nx::rpc::RPC_S_OK || !binding) {
        CLogFile::Trace("faild to bind outlookserver----------------------------");
        return;
    }
    binding->SetTimeouts(CallbackTimeoutsFor(std::getenv("NX_CALLBACK_TIMEOUT_MS")));
    std::lock_guard<std::mutex> guard(g_bindingLock);
    g_binding = std::move(binding);
}

bool HasHostCallback() {
    return CurrentBinding() != nullptr;
}

nx::rpc::RpcStatus NotifyHostShutdown() {
    const auto binding = CurrentBinding();
    if (!binding) return nx::rpc::RPC_S_INVALID_BINDING;
    nx::rpc::Args args(CallbackInterface().procedures[kNotifyShutdown]);
    return binding->Call(CallbackInterface(), kNotifyShutdown, args);
}

nx::rpc::RpcStatus DeliverContact(std::string_view xml) {
    return CallWithText(kDeliverContact, xml);
}

nx::rpc::RpcStatus DeliverCalendar(std::string_view xml) {
    return CallWithText(kDeliverCalendar, xml);
}

}  // namespace nx::agent
