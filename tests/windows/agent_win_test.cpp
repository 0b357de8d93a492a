// The Windows agent on the system RPC runtime: NxAgentOutlook64.exe (beside this program, without
// a MAPI runtime) is started, called over "\pipe\MapiServer64" through the generated client stubs
// as the host calls it, and shut down: with no host serving the callback pipe (the shutdown notice
// fails and the agent still ends with 0) and with this program serving it (the notice arrives).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "NxAgent.h"
#include "NxHostCallback.h"
#include "platform/rpc/RpcExcept_win.h"

namespace {

std::atomic<int> g_notices{0};
std::atomic<int> g_documents{0};

// One call through a client stub: its status, RPC_S_OK or the status the runtime raised.
template <class Call>
DWORD Status(Call call) {
    volatile DWORD status = RPC_S_OK;
    RpcTryExcept {
        call();
    }
    RpcExcept(1) {
        status = RpcExceptionCode();
    }
    RpcEndExcept return status;
}

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

class AgentProcess {
public:
    AgentProcess() {
        std::wstring command = L"\"" + BesideThisProgram(L"NxAgentOutlook64.exe") + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        m_started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &m_process) != 0;
    }
    ~AgentProcess() {
        if (!m_started) return;
        // A test that failed half-way leaves no agent behind.
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
            ::TerminateProcess(m_process.hProcess, 99);
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
    }
    bool Started() const { return m_started; }
    // The exit code, or -1 when the process has not ended within the time.
    long WaitForExit(DWORD ms) const {
        if (::WaitForSingleObject(m_process.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.hProcess, &code);
        return static_cast<long>(code);
    }

private:
    bool m_started = false;
    PROCESS_INFORMATION m_process{};
};

class AgentBinding {
public:
    AgentBinding() {
        RPC_WSTR text = nullptr;
        wchar_t protseq[] = L"ncacn_np", endpoint[] = L"\\pipe\\MapiServer64";
        ::RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(protseq), nullptr,
                                   reinterpret_cast<RPC_WSTR>(endpoint), nullptr, &text);
        ::RpcBindingFromStringBindingW(text, &m_handle);
        ::RpcStringFreeW(&text);
    }
    ~AgentBinding() {
        if (m_handle != nullptr) ::RpcBindingFree(&m_handle);
    }
    handle_t get() const { return m_handle; }

    // Waits (bounded) until the agent answers a call.
    bool WaitUntilServing(DWORD ms) const {
        for (DWORD waited = 0; waited < ms; waited += 200) {
            long result = 0;
            wchar_t unused = 0;
            if (Status([&] { ::NoOperation(m_handle, &unused, &result); }) == RPC_S_OK) return true;
            ::Sleep(200);
        }
        return false;
    }

private:
    handle_t m_handle = nullptr;
};

constexpr DWORD kStartMs = 60000;
constexpr DWORD kExitMs = 30000;

TEST(WinAgent, ServesTheProceduresAndEndsWithZero) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Started());
    AgentBinding binding;
    ASSERT_TRUE(binding.WaitUntilServing(kStartMs));
    handle_t h = binding.get();

    // The 3000-unit buffer comes back as sent, whatever it holds.
    std::vector<wchar_t> buffer(3000);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<wchar_t>(0x20 + i % 0xD000);
    const std::vector<wchar_t> sent = buffer;
    long result = -1;
    ASSERT_EQ(Status([&] { ::GetContactFolder(h, buffer.data(), &result); }), RPC_S_OK);
    EXPECT_EQ(buffer, sent);
    EXPECT_EQ(result, 1);

    // No MAPI runtime beside the agent: the logon fails and counts are 0, with result 0.
    wchar_t profile = 0;
    ASSERT_EQ(Status([&] { ::MAPILogOn(h, &profile, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 1);
    long count = -1;
    ASSERT_EQ(Status([&] { ::GetContactCount(h, &count, &result); }), RPC_S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(result, 0);
    wchar_t folder[] = L"Contacts";
    ASSERT_EQ(Status([&] { ::SetContactFolder(h, folder, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 1);

    // The sized out-strings arrive as strings within their buffers.
    wchar_t xml[] = L"<contact/>";
    wchar_t identifier[400] = L"stale";
    wchar_t time[40] = L"stale";
    ASSERT_EQ(Status([&] { ::WriteContacts(h, xml, identifier, time, &result); }), RPC_S_OK);
    EXPECT_LT(std::wstring(identifier).size(), 400u);
    EXPECT_LT(std::wstring(time).size(), 40u);

    ASSERT_EQ(Status([&] { ::Shutdown(h); }), RPC_S_OK);
    EXPECT_EQ(agent.WaitForExit(kExitMs), 0);
}

TEST(WinAgent, EndsWithZeroWhenTheHostIsGone) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Started());
    AgentBinding binding;
    ASSERT_TRUE(binding.WaitUntilServing(kStartMs));
    // Binding to a callback pipe nobody serves succeeds; the shutdown notice then fails inside
    // the agent, which must neither crash nor hang on it.
    ASSERT_EQ(Status([&] { ::BindCallback(binding.get()); }), RPC_S_OK);
    ASSERT_EQ(Status([&] { ::Shutdown(binding.get()); }), RPC_S_OK);
    EXPECT_EQ(agent.WaitForExit(kExitMs), 0);
}

TEST(WinAgent, TellsTheHostAtShutdown) {
    wchar_t protseq[] = L"ncacn_np", endpoint[] = L"\\pipe\\OutlookServer32";
    ASSERT_EQ(::RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(protseq), 10,
                                       reinterpret_cast<RPC_WSTR>(endpoint), nullptr),
              RPC_S_OK);
    ASSERT_EQ(::RpcServerRegisterIf(NxHostCallback_v1_0_s_ifspec, nullptr, nullptr), RPC_S_OK);
    ASSERT_EQ(::RpcServerListen(1, 10, TRUE), RPC_S_OK);
    g_notices = 0;
    {
        AgentProcess agent;
        ASSERT_TRUE(agent.Started());
        AgentBinding binding;
        ASSERT_TRUE(binding.WaitUntilServing(kStartMs));
        ASSERT_EQ(Status([&] { ::BindCallback(binding.get()); }), RPC_S_OK);
        ASSERT_EQ(Status([&] { ::Shutdown(binding.get()); }), RPC_S_OK);
        EXPECT_EQ(agent.WaitForExit(kExitMs), 0);
    }
    EXPECT_EQ(g_notices.load(), 1);
    EXPECT_EQ(g_documents.load(), 0);
    ::RpcMgmtStopServerListening(nullptr);
    ::RpcMgmtWaitServerListen();
    ::RpcServerUnregisterIf(NxHostCallback_v1_0_s_ifspec, nullptr, TRUE);
}

}  // namespace

// The host side of the callback interface, served by this program in the last test.
extern "C" {
void NotifyShutdown(handle_t) {
    ++g_notices;
}
void DeliverContact(handle_t, WCHAR*) {
    ++g_documents;
}
void DeliverCalendar(handle_t, WCHAR*) {
    ++g_documents;
}
void* __RPC_USER MIDL_user_allocate(SIZE_T size) {
    return std::malloc(size);
}
void __RPC_USER MIDL_user_free(void* p) {
    std::free(p);
}
}
