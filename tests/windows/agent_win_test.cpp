// The Windows agent on the system RPC runtime: NxAgentOutlook64.exe (beside this program, without
// a MAPI runtime) is started, called over "\pipe\MapiServer64" through the generated client stubs
// as the host calls it, and shut down: with no host serving the callback pipe (the shutdown notice
// fails and the agent still ends with 0) and with this program serving it (the notice arrives).
// Last, a copy of the agent with the stand-in MAPI32.dll beside it runs a session on a store:
// profiles, logon, folders, counts, a contact written and read back through the callback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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
    explicit AgentProcess(const std::wstring& exe = BesideThisProgram(L"NxAgentOutlook64.exe")) {
        std::wstring command = L"\"" + exe + L"\"";
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

// This program as the host's callback server on "\pipe\OutlookServer32" for one scope.
class CallbackServer {
public:
    CallbackServer() {
        wchar_t protseq[] = L"ncacn_np", endpoint[] = L"\\pipe\\OutlookServer32";
        m_status = ::RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(protseq), 10,
                                            reinterpret_cast<RPC_WSTR>(endpoint), nullptr);
        if (m_status == RPC_S_OK)
            m_status = ::RpcServerRegisterIf(NxHostCallback_v1_0_s_ifspec, nullptr, nullptr);
        if (m_status == RPC_S_OK) m_status = ::RpcServerListen(1, 10, TRUE);
        g_notices = 0;
        g_documents = 0;
    }
    ~CallbackServer() {
        if (m_status != RPC_S_OK) return;
        ::RpcMgmtStopServerListening(nullptr);
        ::RpcMgmtWaitServerListen();
        ::RpcServerUnregisterIf(NxHostCallback_v1_0_s_ifspec, nullptr, TRUE);
    }
    RPC_STATUS Status() const { return m_status; }

private:
    RPC_STATUS m_status = RPC_S_OK;
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

// Starts the agent, binds it to the callback pipe and shuts it down: the exit code.
void BindCallbackAndShutDown() {
    AgentProcess agent;
    ASSERT_TRUE(agent.Started());
    AgentBinding binding;
    ASSERT_TRUE(binding.WaitUntilServing(kStartMs));
    ASSERT_EQ(Status([&] { ::BindCallback(binding.get()); }), RPC_S_OK);
    ASSERT_EQ(Status([&] { ::Shutdown(binding.get()); }), RPC_S_OK);
    EXPECT_EQ(agent.WaitForExit(kExitMs), 0);
}

TEST(WinAgent, EndsWithZeroWhenTheHostIsGone) {
    // Binding to a callback pipe nobody serves succeeds; the shutdown notice then fails inside
    // the agent, which must neither crash nor hang on it.
    g_notices = 0;
    BindCallbackAndShutDown();
    EXPECT_EQ(g_notices.load(), 0);
}

TEST(WinAgent, TellsTheHostAtShutdown) {
    CallbackServer host;
    ASSERT_EQ(host.Status(), RPC_S_OK);
    BindCallbackAndShutDown();
    EXPECT_EQ(g_notices.load(), 1);
    EXPECT_EQ(g_documents.load(), 0);
}

// A folder of its own holding a copy of the agent, its journal library and the stand-in MAPI
// runtime, and the runtime's default profile and store; removed again at the end.
class StoreWorld {
public:
    StoreWorld() {
        namespace fs = std::filesystem;
        wchar_t temp[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH + 1, temp);
        m_folder = fs::path(temp) / (L"nx-agent-" + std::to_wstring(::GetCurrentProcessId()));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        const fs::path bin = fs::path(BesideThisProgram(L""));
        fs::copy_file(bin / L"NxAgentOutlook64.exe", m_folder / L"NxAgentOutlook64.exe");
        fs::copy_file(bin / L"Deltatrack64.dll", m_folder / L"Deltatrack64.dll");
        fs::copy_file(fs::path(NX_MAPI32_DIR) / L"MAPI32.dll", m_folder / L"MAPI32.dll");
        // The runtime's own administration API makes the profile, as mapiadmin does on Linux.
        m_mapi = ::LoadLibraryW((m_folder / L"MAPI32.dll").c_str());
        if (m_mapi == nullptr) return;
        char dataFolder[MAX_PATH * 3] = {};
        auto folder = Export<int32_t(char*, uint32_t)>("NxMapiAdminDataFolder");
        auto init = Export<int32_t()>("NxMapiAdminInitDefault");
        if (folder == nullptr || init == nullptr || folder(dataFolder, sizeof dataFolder) != 0) return;
        m_data = fs::u8path(dataFolder);
        fs::remove_all(m_data);  // a store another run left behind
        m_ready = init() == 0;
    }
    ~StoreWorld() {
        if (m_mapi != nullptr) ::FreeLibrary(m_mapi);
        std::error_code ignored;
        if (!m_data.empty()) std::filesystem::remove_all(m_data, ignored);
        std::filesystem::remove_all(m_folder, ignored);
    }
    bool Ready() const { return m_ready; }
    std::wstring Agent() const { return (m_folder / L"NxAgentOutlook64.exe").wstring(); }
    std::wstring File(const wchar_t* name) const { return (m_folder / name).wstring(); }

private:
    template <class Fn>
    Fn* Export(const char* name) const {
        return reinterpret_cast<Fn*>(reinterpret_cast<void*>(::GetProcAddress(m_mapi, name)));
    }

    std::filesystem::path m_folder;
    std::filesystem::path m_data;
    HMODULE m_mapi = nullptr;
    bool m_ready = false;
};

TEST(WinAgent, RunsASessionOnAStoreThroughTheStandInRuntime) {
    StoreWorld world;
    ASSERT_TRUE(world.Ready());
    CallbackServer host;
    ASSERT_EQ(host.Status(), RPC_S_OK);
    AgentProcess agent(world.Agent());
    ASSERT_TRUE(agent.Started());
    AgentBinding binding;
    ASSERT_TRUE(binding.WaitUntilServing(kStartMs));
    handle_t h = binding.get();
    long result = -1;
    long count = -1;

    wchar_t anyText[] = L"x";
    ASSERT_EQ(Status([&] { ::GetAppProfile(h, anyText, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 0) << "profiles document";
    wchar_t defaultProfile = 0;
    ASSERT_EQ(Status([&] { ::MAPILogOn(h, &defaultProfile, &result); }), RPC_S_OK);
    ASSERT_EQ(result, 0) << "logon to the default profile";
    wchar_t anyChar = L'x';
    ASSERT_EQ(Status([&] { ::GetAppFolder(h, &anyChar, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 0) << "folders document";
    wchar_t defaultFolder[] = L"";
    ASSERT_EQ(Status([&] { ::SetContactFolder(h, defaultFolder, &result); }), RPC_S_OK);
    ASSERT_EQ(result, 0) << "the default contacts folder";
    ASSERT_EQ(Status([&] { ::GetContactCount(h, &count, &result); }), RPC_S_OK);
    EXPECT_EQ(count, 0);

    wchar_t xml[] =
        L"<Contact><lFlag>8</lFlag><FirstName>Ada</FirstName><LastName>Lovelace</LastName></Contact>";
    wchar_t identifier[400] = {};
    wchar_t time[40] = {};
    ASSERT_EQ(Status([&] { ::WriteContacts(h, xml, identifier, time, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_GT(std::wstring(identifier).size(), 0u) << "the new contact's entry id";
    EXPECT_EQ(std::wstring(time).size(), 19u) << "%Y/%m/%d %H:%M:%S";
    ASSERT_EQ(Status([&] { ::GetContactCount(h, &count, &result); }), RPC_S_OK);
    EXPECT_EQ(count, 1);

    wchar_t none[] = L"";
    ASSERT_EQ(Status([&] { ::ReadContacts(h, none, none, &result); }), RPC_S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_documents.load(), 1) << "the contact, delivered through the callback";

    ASSERT_EQ(Status([&] { ::MAPILogOff(h); }), RPC_S_OK);
    ASSERT_EQ(Status([&] { ::Shutdown(h); }), RPC_S_OK);
    EXPECT_EQ(agent.WaitForExit(kExitMs), 0);
    EXPECT_EQ(g_notices.load(), 1);
}

}  // namespace

// The host side of the callback interface, served by this program in the last test.
extern "C" {
void NotifyShutdown(handle_t) {
    ++g_notices;
}
void DeliverContact(handle_t, WCHAR* document) {
    if (document != nullptr && std::wstring(document).find(L"Lovelace") != std::wstring::npos) ++g_documents;
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
