#include "agent/HostCallback.h"

#include <cassert>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
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

// The document on its way from this thread (SendWithText), until its answer is collected: its
// call's arguments must live until the answer is read, and the binding it went out on answers it.
// A read sends thousands of documents from one thread: each is converted into the storage of the
// one before, lent to the call and taken back with the answer.
struct SentDocument {
    std::shared_ptr<nx::rpc::Binding> binding;
    std::optional<nx::rpc::Args> args;
    std::u16string units;
};
thread_local SentDocument t_sent;

// The call's arguments let go, the text's storage kept for the next document.
void TakeBackText() {
    t_sent.args->Text(0).swap(t_sent.units);
    t_sent.args.reset();
    t_sent.binding.reset();
}

nx::rpc::RpcStatus SendWithText(uint16_t opnum, std::string_view xml) {
    assert(!t_sent.args);  // one document on its way per thread
    auto binding = CurrentBinding();
    if (!binding) return nx::rpc::RPC_S_INVALID_BINDING;
    nx::sys::AssignUtf16(t_sent.units, xml);
    nx::rpc::Args& args = t_sent.args.emplace(CallbackInterface().procedures[opnum]);
    args.Text(0).swap(t_sent.units);
    const nx::rpc::RpcStatus status = binding->Send(CallbackInterface(), opnum, args);
    t_sent.binding = std::move(binding);
    if (status != nx::rpc::RPC_S_OK) TakeBackText();  // nothing is on its way
    return status;
}

nx::rpc::RpcStatus CollectText() {
    if (!t_sent.args) return nx::rpc::RPC_S_INVALID_ARG;
    const nx::rpc::RpcStatus status = t_sent.binding->Receive();
    TakeBackText();
    return status;
}

// One call whole: its request, then its answer.
nx::rpc::RpcStatus CallWithText(uint16_t opnum, std::string_view xml) {
    const nx::rpc::RpcStatus sent = SendWithText(opnum, xml);
    return sent == nx::rpc::RPC_S_OK ? CollectText() : sent;
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

nx::rpc::RpcStatus SendContact(std::string_view xml) {
    return SendWithText(kDeliverContact, xml);
}

nx::rpc::RpcStatus SendCalendar(std::string_view xml) {
    return SendWithText(kDeliverCalendar, xml);
}

nx::rpc::RpcStatus CollectDelivery() {
    return CollectText();
}

}  // namespace nx::agent
