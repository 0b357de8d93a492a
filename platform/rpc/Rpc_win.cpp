// The Windows side of Rpc.h: the system RPC runtime (rpcrt4) with stubs that widl generated from
// the interfaces' IDL (SystemStubs.h). The server registers "ncacn_np" and its interfaces with
// rpcrt4 and listens there; a binding is an rpcrt4 binding handle. The interface tables
// (Interface, Args) and the status names are the portable ones (Types.cpp). Who may call and be
// called is PeerPolicy.h's rule, applied with the system's means of PipeSecurity_win.h.
// clang-format off
// Rpc.h (through SystemStubs.h) before windows.h: the system headers make RPC_S_OK and its kin
// macros.
#include "platform/rpc/SystemStubs.h"
#include "platform/rpc/PipeSecurity_win.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/RpcExcept_win.h"
// clang-format on

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

namespace nx::rpc {
namespace {

std::wstring Wide(std::string_view utf8) {
    const std::u16string u = nx::sys::Utf8ToUtf16(utf8);
    return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

std::string Narrow(const wchar_t* text) {
    if (text == nullptr) return std::string();
    return nx::sys::Utf16ToUtf8(reinterpret_cast<const char16_t*>(text));
}

// The runtime wants null, not "", for a part that is not given.
RPC_WSTR OrNull(std::wstring& text) {
    return text.empty() ? nullptr : reinterpret_cast<RPC_WSTR>(text.data());
}

// A table by interface UUID, shared by every server and binding of the process.
template <class Value>
struct ByUuid {
    std::mutex lock;
    std::map<std::string, Value> byUuid;
};

template <class Value>
ByUuid<Value>& Table() {
    static ByUuid<Value> table;
    return table;
}

// The handlers servers registered, for CallRegisteredHandler.
struct RegisteredHandlers {
    const Interface* iface = nullptr;
    std::vector<Handler> handlers;
};

SystemStubs FindStubs(const Uuid& uuid) {
    auto& t = Table<SystemStubs>();
    std::lock_guard<std::mutex> guard(t.lock);
    const auto it = t.byUuid.find(uuid.ToString());
    return it == t.byUuid.end() ? SystemStubs{} : it->second;
}

struct TraceSink {
    std::mutex lock;
    std::function<void(std::string_view)> sink;
};

TraceSink& Trace() {
    static TraceSink t;
    return t;
}

// The endpoints this process has handed to the runtime, which keeps them (lower case): taking
// one of them again is this process's own business, any other live pipe of the name is not.
struct OwnEndpoints {
    std::mutex lock;
    std::set<std::string> names;
};

OwnEndpoints& Own() {
    static OwnEndpoints own;
    return own;
}

// ---- RpcTryExcept without compiler support (RpcExcept_win.h) ---------------------------------

thread_local win::RecoveryPoint* t_point = nullptr;

// The codes the runtime raises: its RPC_S_ and RPC_X_ statuses, the DCE fault statuses, and the
// few general Windows errors it reports the same way.
bool IsRpcStatus(DWORD code) {
    return (code >= 1700 && code <= 1830) || (code >= 0x1C000000 && code <= 0x1C0100FF) ||
           code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_HANDLE || code == ERROR_NOT_ENOUGH_MEMORY ||
           code == ERROR_OUTOFMEMORY || code == ERROR_INVALID_PARAMETER;
}

[[noreturn]] void JumpBack() {
    __builtin_longjmp(t_point->jump, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    win::RecoveryPoint* point = t_point;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (point == nullptr || !IsRpcStatus(code)) return EXCEPTION_CONTINUE_SEARCH;
    point->code = code;
    // Resume in JumpBack as if the raising frame had called it: a 16-byte aligned stack less the
    // return address slot.
    CONTEXT* c = info->ContextRecord;
    c->Rsp = (c->Rsp & ~DWORD64{15}) - 8;
    c->Rip = reinterpret_cast<DWORD64>(&JumpBack);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void TraceRpc(const std::string& text) {
    TraceSink& t = Trace();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.sink) t.sink(text);
}

namespace win {

RecoveryScope::RecoveryScope() {
    static PVOID handler = ::AddVectoredExceptionHandler(1, &OnException);
    static_cast<void>(handler);
    point.previous = t_point;
    t_point = &point;
}

RecoveryScope::~RecoveryScope() {
    t_point = point.previous;
}

void RecoveryScope::RaiseAgain() {
    t_point = point.previous;
    ::RaiseException(point.code, 0, 0, nullptr);
    std::abort();  // not reached: nothing continues a raised status
}

}  // namespace win

void RegisterSystemStubs(const Uuid& uuid, const SystemStubs& stubs) {
    auto& t = Table<SystemStubs>();
    std::lock_guard<std::mutex> guard(t.lock);
    t.byUuid[uuid.ToString()] = stubs;
}

Uuid InterfaceUuid(const void* ifHandle) {
    // Both generated interface structures start with their length, then the interface id.
    const auto* serverIf = static_cast<const RPC_SERVER_INTERFACE*>(ifHandle);
    Uuid uuid;
    static_assert(sizeof(uuid.bytes) == sizeof(GUID));
    std::memcpy(uuid.bytes.data(), &serverIf->InterfaceId.SyntaxGUID, sizeof(GUID));
    return uuid;
}

RpcStatus CallRegisteredHandler(const Uuid& uuid, uint16_t opnum, const std::function<void(Args&)>& fill) {
    const Interface* iface = nullptr;
    Handler handler;
    {
        auto& t = Table<RegisteredHandlers>();
        std::lock_guard<std::mutex> guard(t.lock);
        const auto it = t.byUuid.find(uuid.ToString());
        if (it == t.byUuid.end()) return RPC_S_UNKNOWN_IF;
        if (opnum >= it->second.handlers.size()) return RPC_S_PROCNUM_OUT_OF_RANGE;
        iface = it->second.iface;
        handler = it->second.handlers[opnum];  // a copy: the call runs without the lock
    }
    if (!handler) return RPC_S_PROCNUM_OUT_OF_RANGE;
    try {
        Args args(iface->procedures[opnum]);
        fill(args);
        handler(args);
    } catch (...) {
        // As on Linux: a handler that throws fails the call, and the server goes on serving.
        return RPC_S_CALL_FAILED;
    }
    return RPC_S_OK;
}

void SetTraceSink(std::function<void(std::string_view)> sink) {
    TraceSink& t = Trace();
    std::lock_guard<std::mutex> guard(t.lock);
    t.sink = std::move(sink);
}

// ---- server ------------------------------------------------------------------------------------

struct Server::Impl {
    std::mutex lock;
    std::map<std::string, RPC_IF_HANDLE> registered;  // by interface UUID
    // Held while the runtime starts listening, and by StopListening: the two never meet half-way
    // (Wine's runtime never returns from a stop that arrives while its start is still bringing
    // up the listening thread, and the start then waits for that stop for ever).
    std::mutex listenLock;
    bool listening = false;  // the runtime has started listening for Listen and not stopped yet
};

Server::Server() : m_impl(std::make_unique<Impl>()) {}
Server::~Server() = default;

RpcStatus Server::UseProtseqEp(std::string_view protseq, unsigned maxCalls, std::string_view endpoint) {
    // Every instance of the pipe is the user's alone (PipeSecurity_win.h); the runtime creates
    // instances as clients come, for as long as the process lives, so the descriptor does too.
    static const win::UserOnlyDescriptor descriptor;
    if (descriptor.get() == nullptr) return RPC_S_CANT_CREATE_ENDPOINT;
    {
        // A pipe of the name that another process serves is refused, as on Linux: the runtime
        // would add its instances to that pipe (Wine's does not ask for the first instance).
        OwnEndpoints& own = Own();
        std::lock_guard<std::mutex> guard(own.lock);
        if (own.names.count(nx::sys::AsciiLower(endpoint)) == 0 && EndpointIsListening(endpoint))
            return RPC_S_DUPLICATE_ENDPOINT;
    }
    std::wstring p = Wide(protseq), e = Wide(endpoint);
    const RpcStatus status = ::RpcServerUseProtseqEpW(
        reinterpret_cast<RPC_WSTR>(p.data()), maxCalls == 0 ? RPC_C_PROTSEQ_MAX_REQS_DEFAULT : maxCalls,
        reinterpret_cast<RPC_WSTR>(e.data()), descriptor.get());
    if (status == RPC_S_OK) {
        OwnEndpoints& own = Own();
        std::lock_guard<std::mutex> guard(own.lock);
        own.names.insert(nx::sys::AsciiLower(endpoint));
    }
    return status;
}

RpcStatus Server::RegisterIf(const Interface& iface, std::vector<Handler> handlers) {
    // The generated stubs call the interface's manager functions, which may serve a call through
    // these handlers (CallRegisteredHandler).
    if (handlers.size() != iface.procedures.size()) return RPC_S_INVALID_ARG;
    const SystemStubs stubs = FindStubs(iface.uuid);
    if (stubs.serverInterface == nullptr) return RPC_S_UNKNOWN_IF;
    const auto handle = static_cast<RPC_IF_HANDLE>(stubs.serverInterface);
    // Local callers only (a named pipe is otherwise reachable from other machines through the
    // file server), each judged by AdmitCaller; the callback runs for unauthenticated calls too,
    // which is what a host's calls are. A call may be as large as on Linux (pdu::kMaxCallStub).
    const RpcStatus status = ::RpcServerRegisterIf2(
        handle, nullptr, nullptr, RPC_IF_ALLOW_LOCAL_ONLY | RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
        RPC_C_LISTEN_MAX_CALLS_DEFAULT, static_cast<unsigned>(pdu::kMaxCallStub), &win::AdmitCaller);
    if (status == RPC_S_OK) {
        std::lock_guard<std::mutex> guard(m_impl->lock);
        m_impl->registered[iface.uuid.ToString()] = handle;
        auto& t = Table<RegisteredHandlers>();
        std::lock_guard<std::mutex> tableGuard(t.lock);
        t.byUuid[iface.uuid.ToString()] = {&iface, std::move(handlers)};
    }
    return status;
}

RpcStatus Server::Listen(unsigned minThreads, unsigned maxCalls) {
    {
        std::lock_guard<std::mutex> guard(m_impl->listenLock);
        const RpcStatus started = ::RpcServerListen(minThreads, maxCalls, TRUE);  // returns once listening
        if (started != RPC_S_OK) return started;
        m_impl->listening = true;
    }
    // Blocks until StopListening and the calls in flight have finished.
    const RpcStatus status = ::RpcMgmtWaitServerListen();
    std::lock_guard<std::mutex> guard(m_impl->listenLock);
    m_impl->listening = false;
    return status;
}

RpcStatus Server::StopListening() {
    std::lock_guard<std::mutex> guard(m_impl->listenLock);
    if (!m_impl->listening) return RPC_S_NOT_LISTENING;  // as on Linux outside Listen; Listen may be starting
    return ::RpcMgmtStopServerListening(nullptr);
}

RpcStatus Server::UnregisterIf(const Interface* iface, bool waitForCalls) {
    RPC_IF_HANDLE handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_impl->lock);
        if (iface != nullptr) {
            const auto it = m_impl->registered.find(iface->uuid.ToString());
            if (it == m_impl->registered.end()) return RPC_S_UNKNOWN_IF;
            handle = it->second;
        }
        auto& t = Table<RegisteredHandlers>();
        std::lock_guard<std::mutex> tableGuard(t.lock);
        for (const auto& [uuid, registered] : m_impl->registered)
            if (iface == nullptr || registered == handle) t.byUuid.erase(uuid);
    }
    return ::RpcServerUnregisterIf(handle, nullptr, waitForCalls ? TRUE : FALSE);
}

// ---- client ------------------------------------------------------------------------------------

struct Binding::Impl {
    RPC_BINDING_HANDLE handle = nullptr;
    std::string endpoint;
    int connectMs = -1;        // how long the listener check waits for a busy pipe (-1: its own bound)
    win::PipeWitness witness;  // the connection to the server judged last (PipeSecurity_win.h)
    std::mutex lock;           // calls on one binding are serialised, as on Linux
    int silenceMs = -1;        // SetSilenceBound
    SignOfLife signOfLife;
    bool abandoned = false;  // a call was given up while the runtime still held it (CallUnderSilenceBound)
    // The thread whose Send went through: the system's stubs made the whole call, Receive answers it.
    std::atomic<std::thread::id> answered{};
};

namespace {

// What the binding's lock guards a call with: the listener check, then the stub.
RpcStatus AdmitAndCall(Binding::Impl& impl, const SystemStubs& stubs, uint16_t opnum, Args& args) {
    // Nothing is sent to a pipe another user serves (PipeSecurity_win.h): judged again whenever
    // the server judged before has gone, because the runtime connects again on its own.
    const RpcStatus status = win::AdmitListener(impl.endpoint, impl.connectMs, impl.witness);
    return status == RPC_S_OK ? stubs.call(impl.handle, opnum, args) : status;
}

// One call under a silence bound runs on a thread of its own, and the caller waits for it.
// The runtime's own call timeout (RPC_C_OPT_CALL_TIMEOUT) restarts only with a packet of the
// call itself, so a long read whose life shows in the callbacks would be cut; instead the caller
// asks the runtime to cancel the call (RpcCancelThreadEx without waiting for the server) once
// neither the call's start nor a sign of life is younger than the bound. Windows then fails the
// call (RPC_S_CALL_CANCELLED). Wine 8.0 was seen to leave a call to a suspended server blocked for
// good whatever the cancel: so when the call has not ended kCancelGrace after the first cancel,
// the caller gives up on it and answers RPC_S_CALL_CANCELLED itself. The call's thread is then
// left to the runtime with its own copy of the arguments, and the binding is never used or freed
// again (Binding::Impl::abandoned): the one user of the bound, nxhost, ends its session there.
constexpr auto kCancelGrace = std::chrono::seconds(2);

struct PendingCall {
    explicit PendingCall(const Args& given) : args(given) {}
    Args args;  // the call's own copy: it may outlive the caller's
    std::mutex lock;
    std::condition_variable changed;
    HANDLE thread = nullptr;  // the call's thread, valid while !ended
    bool ended = false;
    RpcStatus status = RPC_S_OK;
};

RpcStatus CallUnderSilenceBound(Binding::Impl& impl, const SystemStubs& stubs, uint16_t opnum, Args& args) {
    using Clock = std::chrono::steady_clock;
    assert(impl.silenceMs >= 0);
    auto pending = std::make_shared<PendingCall>(args);
    try {
        std::thread([pending, &impl, stubs, opnum] {
            HANDLE self = nullptr;
            // The pseudo handle names whichever thread uses it: the caller needs a real one.
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0,
                              FALSE, DUPLICATE_SAME_ACCESS);
            {
                std::lock_guard<std::mutex> guard(pending->lock);
                pending->thread = self;
            }
            // `impl` outlives this thread: an abandoned binding is never freed (~Binding).
            const RpcStatus status = AdmitAndCall(impl, stubs, opnum, pending->args);
            {
                std::lock_guard<std::mutex> guard(pending->lock);
                pending->status = status;
                pending->ended = true;
                pending->thread = nullptr;  // under the lock: no cancel reaches a closed handle
            }
            pending->changed.notify_all();
            if (self != nullptr) ::CloseHandle(self);
        }).detach();
    } catch (const std::system_error&) {
        return RPC_S_OUT_OF_RESOURCES;
    }

    const auto start = Clock::now();
    std::optional<Clock::time_point> firstCancel;
    std::unique_lock<std::mutex> lock(pending->lock);
    while (!pending->ended) {
        Clock::time_point last = start;
        if (impl.signOfLife) last = std::max(last, impl.signOfLife());
        const auto silenceEnd = last + std::chrono::milliseconds(impl.silenceMs);
        const auto now = Clock::now();
        if (now < silenceEnd && !firstCancel) {
            pending->changed.wait_until(lock, silenceEnd);
            continue;
        }
        if (!firstCancel) firstCancel = now;
        if (now - *firstCancel >= kCancelGrace) {
            impl.abandoned = true;
            TraceRpc("rpc: " + impl.endpoint + ": the cancelled call did not end within " +
                     std::to_string(std::chrono::milliseconds(kCancelGrace).count()) +
                     " ms; given up, the binding is not used again");
            return RPC_S_CALL_CANCELLED;
        }
        // Repeated while the call lasts, in case a cancel came between two of the runtime's waits.
        if (pending->thread != nullptr) ::RpcCancelThreadEx(pending->thread, 0);
        pending->changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    args = std::move(pending->args);
    if (firstCancel && pending->status != RPC_S_OK) {
        TraceRpc("rpc: " + impl.endpoint + ": no sign of life from the server for " +
                 std::to_string(impl.silenceMs) + " ms; call cancelled");
        return RPC_S_CALL_CANCELLED;
    }
    return pending->status;
}

}  // namespace

Binding::Binding(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Binding::~Binding() {
    if (!m_impl) return;
    if (m_impl->abandoned) {
        // A call the runtime still holds uses the handle and the Impl: both stay (the process is
        // ending its session; see CallUnderSilenceBound).
        (void)m_impl.release();
        return;
    }
    if (m_impl->handle != nullptr) ::RpcBindingFree(&m_impl->handle);
}

void Binding::SetTimeouts(const CallTimeouts& timeouts) {
    // The runtime bounds a call as a whole; connect and bind waits fall under the same limit.
    int ms = timeouts.replyMs;
    for (int other : {timeouts.connectMs, timeouts.bindMs})
        if (other >= 0 && (ms < 0 || other > ms)) ms = other;
    if (ms >= 0) ::RpcBindingSetOption(m_impl->handle, RPC_C_OPT_CALL_TIMEOUT, static_cast<ULONG_PTR>(ms));
    m_impl->connectMs = timeouts.connectMs;
}

void Binding::SetSilenceBound(int ms, SignOfLife signOfLife) {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->silenceMs = ms < 0 ? -1 : ms;
    m_impl->signOfLife = std::move(signOfLife);
}

RpcStatus Binding::Call(const Interface& iface, uint16_t opnum, Args& args) {
    const SystemStubs stubs = FindStubs(iface.uuid);
    if (stubs.call == nullptr) return RPC_S_UNKNOWN_IF;
    if (opnum >= iface.procedures.size()) return RPC_S_PROCNUM_OUT_OF_RANGE;
    std::lock_guard<std::mutex> guard(m_impl->lock);
    RpcStatus status = RPC_S_CALL_CANCELLED;  // an abandoned binding is not used again
    if (!m_impl->abandoned)
        status = m_impl->silenceMs < 0 ? AdmitAndCall(*m_impl, stubs, opnum, args)
                                       : CallUnderSilenceBound(*m_impl, stubs, opnum, args);
    if (status != RPC_S_OK)
        TraceRpc("call " + std::to_string(opnum) + " on " + m_impl->endpoint +
                 " failed: " + std::to_string(status) + " " + RpcStatusName(status));
    return status;
}

RpcStatus Binding::Send(const Interface& iface, uint16_t opnum, Args& args) {
    // The system's stubs make a call whole: it is made here, and Receive gives its answer.
    const RpcStatus status = Call(iface, opnum, args);
    if (status == RPC_S_OK) m_impl->answered = std::this_thread::get_id();
    return status;
}

RpcStatus Binding::Receive() {
    if (m_impl->answered.load() != std::this_thread::get_id()) return RPC_S_INVALID_ARG;
    m_impl->answered = std::thread::id();
    return RPC_S_OK;
}

const std::string& Binding::Endpoint() const {
    return m_impl->endpoint;
}

RpcStatus StringBindingCompose(std::string_view objUuid, std::string_view protseq,
                               std::string_view networkAddr, std::string_view endpoint,
                               std::string_view options, std::string& out) {
    std::wstring u = Wide(objUuid), p = Wide(protseq), n = Wide(networkAddr), e = Wide(endpoint),
                 o = Wide(options);
    RPC_WSTR composed = nullptr;
    const RpcStatus status =
        ::RpcStringBindingComposeW(OrNull(u), OrNull(p), OrNull(n), OrNull(e), OrNull(o), &composed);
    if (status != RPC_S_OK) return status;
    out = Narrow(reinterpret_cast<const wchar_t*>(composed));
    return ::RpcStringFreeW(&composed);
}

RpcStatus BindingFromStringBinding(std::string_view stringBinding, std::shared_ptr<Binding>& out) {
    std::wstring text = Wide(stringBinding);
    RPC_WSTR address = nullptr, endpoint = nullptr;
    RpcStatus status = ::RpcStringBindingParseW(reinterpret_cast<RPC_WSTR>(text.data()), nullptr, nullptr,
                                                &address, &endpoint, nullptr);
    if (status != RPC_S_OK) return status;
    const std::string addressText = Narrow(reinterpret_cast<const wchar_t*>(address));
    auto impl = std::make_unique<Binding::Impl>();
    impl->endpoint = Narrow(reinterpret_cast<const wchar_t*>(endpoint));
    ::RpcStringFreeW(&address);
    ::RpcStringFreeW(&endpoint);
    // Only a server on this machine can be judged (PeerPolicy.h).
    if (!IsLocalAddress(addressText)) return RPC_S_INVALID_NET_ADDR;
    status = ::RpcBindingFromStringBindingW(reinterpret_cast<RPC_WSTR>(text.data()), &impl->handle);
    if (status != RPC_S_OK) return status;
    out = std::make_shared<Binding>(std::move(impl));
    return RPC_S_OK;
}

// ---- endpoints -----------------------------------------------------------------------------------

// The system's named pipes live in one namespace of the machine.
std::string PipeDirectory() {
    return "\\\\.\\pipe";
}

RpcStatus EndpointSocketPath(std::string_view endpoint, std::string& path) {
    path = "\\\\." + std::string(endpoint);
    return RPC_S_OK;
}

bool EndpointIsListening(std::string_view endpoint) {
    std::string path;
    EndpointSocketPath(endpoint, path);
    // A pipe whose instances are all busy still has a server behind it.
    return ::WaitNamedPipeW(Wide(path).c_str(), 1) || ::GetLastError() == ERROR_SEM_TIMEOUT;
}

}  // namespace nx::rpc

// The generated stubs allocate and free through these.
extern "C" void* __RPC_USER MIDL_user_allocate(SIZE_T size) {
    return std::malloc(size);
}

extern "C" void __RPC_USER MIDL_user_free(void* p) {
    std::free(p);
}
