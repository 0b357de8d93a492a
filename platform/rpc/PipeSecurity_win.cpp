// clang-format off
// PipeSecurity_win.h (Rpc.h) before the system headers, which make RPC_S_OK and its kin macros.
#include "platform/rpc/PipeSecurity_win.h"
#include "platform/system/Win.h"
#include <rpc.h>
#include <sddl.h>
// clang-format on

#include <chrono>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace nx::rpc {

void TraceRpc(const std::string& text);  // Rpc_win.cpp: to the trace sink (SetTraceSink)

namespace win {
namespace {

using nx::sys::win::UniqueHandle;

static_assert(std::is_same_v<decltype(&AdmitCaller), RPC_IF_CALLBACK_FN*>);

// The user SID of a token, as its bytes.
std::optional<UserId> UserOfToken(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return std::nullopt;
    std::vector<uint8_t> buffer(size);  // a TOKEN_USER, then the SID it points to
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::nullopt;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (sid == nullptr || !::IsValidSid(sid)) return std::nullopt;
    const auto* first = static_cast<const uint8_t*>(sid);
    return UserId{std::vector<uint8_t>(first, first + ::GetLengthSid(sid))};
}

std::optional<UserId> CallerFromSystem(void* call) {
    // The named-pipe transport impersonates the pipe's client without any RPC authentication.
    if (::RpcImpersonateClient(call) != RPC_S_OK) return std::nullopt;
    HANDLE token = nullptr;
    // OpenAsSelf: the access check on the thread's token is made as this process, not the caller.
    const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    // Back to ourselves before anything else runs on this thread.
    if (call != nullptr) {
        ::RpcRevertToSelfEx(call);
    } else {
        ::RpcRevertToSelf();
    }
    if (!opened) return std::nullopt;  // an anonymous caller has no token to show
    const UniqueHandle owned(token);
    return UserOfToken(token);
}

RpcStatus ListenerFromSystem(const std::wstring& pipe, int waitMs, std::optional<UserId>& user,
                             PipeWitness& witness) {
    user.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (;;) {
        // Identification level: whoever serves the pipe may learn who connected, never act as us.
        // Read access: enough to ask for the server and to see it let go (PipeWitness).
        handle = ::CreateFileW(pipe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle != INVALID_HANDLE_VALUE) break;
        const DWORD error = ::GetLastError();
        // A pipe whose owner does not let us open it is not ours: judged as of another user.
        if (error == ERROR_ACCESS_DENIED) return RPC_S_OK;
        if (error != ERROR_PIPE_BUSY) return RPC_S_SERVER_UNAVAILABLE;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return RPC_S_SERVER_TOO_BUSY;
        ::WaitNamedPipeW(pipe.c_str(), static_cast<DWORD>(left.count()));
    }
    witness.Hold(handle);
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(handle, &pid)) return RPC_S_OK;
    // Another user's process usually refuses to be opened at all: then its user stays unknown.
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE token = nullptr;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return RPC_S_OK;
    const UniqueHandle owned(token);
    user = UserOfToken(token);
    return RPC_S_OK;
}

struct Sources {
    std::mutex lock;
    IdentitySources current = SystemIdentitySources();
};

Sources& TheSources() {
    static Sources sources;
    return sources;
}

IdentitySources CurrentSources() {
    Sources& s = TheSources();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.current;
}

}  // namespace

const UserId& ProcessUser() {
    static const UserId user = [] {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return UserId{};
        const UniqueHandle owned(token);
        return UserOfToken(token).value_or(UserId{});
    }();
    return user;
}

IdentitySources SystemIdentitySources() {
    return {&CallerFromSystem, &ListenerFromSystem};
}

IdentitySources ExchangeIdentitySources(const IdentitySources& sources) {
    Sources& s = TheSources();
    std::lock_guard<std::mutex> guard(s.lock);
    return std::exchange(s.current, sources);
}

long AdmitCaller(void*, void* call) {
    const std::optional<UserId> caller = CurrentSources().caller(call);
    if (auto refusal = PeerRefusal(PeerRole::Caller, {}, caller, ProcessUser())) {
        TraceRpc(*refusal);
        return RPC_S_ACCESS_DENIED;
    }
    return RPC_S_OK;
}

RpcStatus AdmitListener(std::string_view endpoint, int waitMs, PipeWitness& witness) {
    if (witness.Alive()) return RPC_S_OK;  // the server judged before still holds the pipe
    witness.Release();
    std::string path;
    if (RpcStatus status = EndpointSocketPath(endpoint, path); status != RPC_S_OK) return status;
    std::optional<UserId> user;
    PipeWitness judged;
    const RpcStatus found = CurrentSources().listener(nx::sys::win::Wide(path),
                                                      waitMs < 0 ? kListenerWaitMs : waitMs, user, judged);
    if (found != RPC_S_OK) return found;
    if (auto refusal = PeerRefusal(PeerRole::Listener, endpoint, user, ProcessUser())) {
        TraceRpc(*refusal);
        return RPC_S_ACCESS_DENIED;
    }
    witness = std::move(judged);
    return RPC_S_OK;
}

PipeWitness::~PipeWitness() {
    Release();
}

PipeWitness::PipeWitness(PipeWitness&& other) noexcept : m_pipe(std::exchange(other.m_pipe, nullptr)) {}

PipeWitness& PipeWitness::operator=(PipeWitness&& other) noexcept {
    if (this != &other) {
        Release();
        m_pipe = std::exchange(other.m_pipe, nullptr);
    }
    return *this;
}

void PipeWitness::Hold(void* pipe) {
    Release();
    m_pipe = pipe;
}

void PipeWitness::Release() {
    if (m_pipe != nullptr) ::CloseHandle(m_pipe);
    m_pipe = nullptr;
}

bool PipeWitness::Alive() const {
    DWORD waiting = 0;
    // Fails (ERROR_BROKEN_PIPE) once the server has closed its end, as when it ended.
    return m_pipe != nullptr && ::PeekNamedPipe(m_pipe, nullptr, 0, nullptr, &waiting, nullptr);
}

UserOnlyDescriptor::UserOnlyDescriptor() {
    std::vector<uint8_t> sid = ProcessUser().bytes;  // the system wants a mutable SID
    if (sid.empty()) return;
    LPWSTR sidText = nullptr;
    if (!::ConvertSidToStringSidW(sid.data(), &sidText)) return;
    // O: the owner; D:P an access list that inherits nothing; its one entry allows (A) all
    // access (GA) to the user.
    const std::wstring text = std::wstring(L"O:") + sidText + L"D:P(A;;GA;;;" + sidText + L")";
    ::LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor,
                                                               nullptr))
        m_descriptor = descriptor;
}

UserOnlyDescriptor::~UserOnlyDescriptor() {
    if (m_descriptor != nullptr) ::LocalFree(m_descriptor);
}

}  // namespace win
}  // namespace nx::rpc
