// The smoke session on the system runtime: nxhost.exe starts a copy of NxAgentOutlook64.exe that
// has the stand-in MAPI32.dll beside it and a fresh default profile and store, and runs
// tools/nxhost/sessions/smoke.nxh over "\pipe\MapiServer64" and "\pipe\OutlookServer32": profiles,
// logon, folders, counts, a contact written and read back through the callback, shutdown, exit 0.
// And nxhost.exe against an agent whose threads are all suspended: its bound on the agent's
// silence on the system runtime.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

// clang-format off
// Win.h (windows.h) before the tool-help header, which needs its types.
#include "platform/system/Win.h"
#include <tlhelp32.h>
// clang-format on
#include "tests/support/Process.h"
#include "tests/support/TempWorld.h"

namespace {

namespace fs = std::filesystem;

fs::path ThisProgramsFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(std::wstring(path, n)).parent_path();
}

// A temporary world (tests/support/TempWorld.h, its APPDATA the application-data folder of the
// runtime and the agent) holding a copy of the agent, its journal library and the stand-in MAPI
// runtime, and the runtime's default profile and store.
class StoreWorld {
public:
    StoreWorld() {
        fs::create_directories(m_folder);
        const fs::path bin = ThisProgramsFolder();
        fs::copy_file(bin / L"NxAgentOutlook64.exe", m_folder / L"NxAgentOutlook64.exe");
        fs::copy_file(bin / L"Deltatrack64.dll", m_folder / L"Deltatrack64.dll");
        fs::copy_file(fs::path(NX_MAPI32_DIR) / L"MAPI32.dll", m_folder / L"MAPI32.dll");
        // The runtime's own administration API makes the profile, as mapiadmin does on Linux.
        m_mapi = ::LoadLibraryW((m_folder / L"MAPI32.dll").c_str());
        if (m_mapi == nullptr) return;
        auto init = Export<int32_t()>("NxMapiAdminInitDefault");
        m_ready = init != nullptr && init() == 0;
    }
    ~StoreWorld() {
        if (m_mapi != nullptr) ::FreeLibrary(m_mapi);
    }
    bool Ready() const { return m_ready; }
    std::string Agent() const { return nx::sys::win::Narrow((m_folder / L"NxAgentOutlook64.exe").wstring()); }

private:
    template <class Fn>
    Fn* Export(const char* name) const {
        return reinterpret_cast<Fn*>(reinterpret_cast<void*>(::GetProcAddress(m_mapi, name)));
    }

    nx::test::TempWorld m_world{"win-host"};
    const fs::path m_folder = m_world.Root() / "agent";
    HMODULE m_mapi = nullptr;
    bool m_ready = false;
};

TEST(WinHost, RunsTheSmokeSessionOnAStoreThroughTheStandInRuntime) {
    StoreWorld world;
    ASSERT_TRUE(world.Ready());
    const std::string nxhost = nx::sys::win::Narrow((ThisProgramsFolder() / L"nxhost.exe").wstring());
    nx::test::SpawnOptions options;
    options.errToOut = true;
    const auto r = nx::test::RunProcess({nxhost, "--wait", "60", "--start", world.Agent(), "-s",
                                         NX_SOURCE_DIR "/tools/nxhost/sessions/smoke.nxh"},
                                        240, options);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("documents: 1 contact, 0 calendar; NotifyShutdown received: 1"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("agent: exit status 0"), std::string::npos) << r.out;
}

// The process running the program at `path`, 0 when none does.
DWORD AgentProcessId(const std::string& path) {
    const std::wstring name = fs::path(nx::sys::win::Wide(path)).filename().wstring();
    const nx::sys::win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) return entry.th32ProcessID;
    return 0;
}

// Suspends (or resumes) every thread of a process, which then answers nothing at all: the system's
// counterpart of SIGSTOP.
void SuspendProcess(DWORD pid, bool suspend) {
    const nx::sys::win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != pid) continue;
        const nx::sys::win::UniqueHandle thread(
            ::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        if (!thread) continue;
        if (suspend)
            ::SuspendThread(thread.get());
        else
            ::ResumeThread(thread.get());
    }
}

TEST(WinHost, GivesUpOnAnAgentThatStopsAnsweringWithItsMessageAndStatus) {
    // Under Wine 8.0 the runtime's cancel does not end a call to a suspended agent: nxhost gives
    // up on the call itself (Rpc_win.cpp), so the bound holds there too.
    StoreWorld world;
    ASSERT_TRUE(world.Ready());
    const std::string nxhost = nx::sys::win::Narrow((ThisProgramsFolder() / L"nxhost.exe").wstring());
    // The agent answers a first call, and is then suspended while the session sleeps: the
    // second call meets its silence.
    nx::test::SpawnOptions options;
    options.errToOut = true;
    options.env.push_back({"NX_HOST_TIMEOUT_MS", std::string("2000")});
    nx::test::Process host({nxhost, "--wait", "60", "--start", world.Agent(), "-e", "NoOperation x", "-e",
                            "sleep 3000", "-e", "GetContactCount"},
                           options);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (host.Out().find("> sleep 3000") == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(host.Out().find("> sleep 3000"), std::string::npos) << host.Out();
    const DWORD agent = AgentProcessId(world.Agent());
    ASSERT_NE(agent, 0u);
    SuspendProcess(agent, true);
    const int code = host.Wait(240);
    SuspendProcess(agent, false);
    EXPECT_EQ(code, 3) << host.Out();
    EXPECT_NE(host.Out().find(
                  "nxhost: GetContactCount: the agent stopped answering: no reply and no document for 2 s"),
              std::string::npos)
        << host.Out();
    EXPECT_NE(host.Out().find("nxhost: the agent stopped answering; ending it"), std::string::npos)
        << host.Out();
    const DWORD left = AgentProcessId(world.Agent());
    EXPECT_EQ(left, 0u) << "the agent nxhost started is ended";
    // An agent left behind would answer the next test's session in the same Wine prefix.
    if (left != 0) {
        const nx::sys::win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, left));
        if (process) ::TerminateProcess(process.get(), 1);
    }
}

}  // namespace
