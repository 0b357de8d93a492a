// The smoke session on the system runtime: nxhost.exe starts a copy of NxAgentOutlook64.exe that
// has the stand-in MAPI32.dll beside it and a fresh default profile and store, and runs
// tools/nxhost/sessions/smoke.nxh over "\pipe\MapiServer64" and "\pipe\OutlookServer32": profiles,
// logon, folders, counts, a contact written and read back through the callback, shutdown, exit 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/system/Win.h"
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

}  // namespace
