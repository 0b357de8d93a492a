// A temporary world for end-to-end runs: its own XDG folders and pipe directory, a copy of the
// agent (with or without the MAPI runtime beside it), and helpers to run the real processes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "platform/system/Utf.h"
#include "tests/support/Process.h"
#include "tests/support/ScopedEnv.h"

namespace nx::e2e {

namespace fs = std::filesystem;

using Result = nx::test::ProcessResult;

inline std::string ReadFile(const fs::path& p) {
    return nx::test::ReadWholeFile(p);
}

inline void WriteFile(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Whether a server listens on the endpoint within `seconds`.
inline bool WaitListening(const char* endpoint, int seconds = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!nx::rpc::EndpointIsListening(endpoint)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class World {
public:
    World() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "world";
        for (char& c : name)
            if (c == '/') c = '_';
        // Short root: the pipe socket path must stay inside the 108 bytes of a socket address.
        m_root =
            fs::path("/tmp") / ("nxe2e-" + std::to_string(::getpid()) + "-" + std::to_string(Counter()++));
        fs::remove_all(m_root);
        for (const char* d : {"config", "data", "run", "pipes", "agent", "tmp"})
            fs::create_directories(m_root / d);
        WriteFile(m_root / "name", name);
        // The processes the test starts (and the test's own MAPI calls) see the world's folders.
        m_env.Set("XDG_CONFIG_HOME", (m_root / "config").string())
            .Set("XDG_DATA_HOME", (m_root / "data").string())
            .Set("XDG_RUNTIME_DIR", (m_root / "run").string())
            .Set("NX_PIPE_DIR", (m_root / "pipes").string())
            .Set("TMPDIR", (m_root / "tmp").string())
            .Unset("NX_DEBUG_OUTPUT");
    }
    ~World() {
        m_children.clear();  // kills what still runs before its folders go
        fs::remove_all(m_root);
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Changes a variable of this process (and so of every process started after) for the
    // world's lifetime; nullopt removes it.
    void SetEnv(const std::string& name, const std::optional<std::string>& value) { m_env.Set(name, value); }

    const fs::path& Root() const { return m_root; }
    fs::path Bin(const char* name) const { return fs::path(NX_BIN_DIR) / name; }
    static bool HaveMapiRuntime() { return fs::exists(fs::path(NX_BIN_DIR) / "libmapi32.so"); }

    // Copies the agent and the shared libraries of bin/ into the world's agent folder, the MAPI
    // runtime only when asked. Returns the copy's path.
    std::string InstallAgent(bool withMapi) {
        const fs::path dir = m_root / "agent";
        fs::copy_file(Bin("NxAgentOutlook64"), dir / "NxAgentOutlook64",
                      fs::copy_options::overwrite_existing);
        for (const auto& e : fs::directory_iterator(NX_BIN_DIR)) {
            const std::string file = e.path().filename().string();
            if (file.find(".so") == std::string::npos) continue;
            if (file == "libmapi32.so" && !withMapi) continue;
            fs::copy_file(e.path(), dir / file, fs::copy_options::overwrite_existing);
        }
        return (dir / "NxAgentOutlook64").string();
    }

    // Runs a program to its end (killed after `seconds`), capturing its output.
    Result Run(const std::vector<std::string>& argv, int seconds = 60) {
        return nx::test::RunProcess(argv, seconds);
    }

    // Starts a program in the background; its output goes to the files given. `inChild` runs in
    // the child just before the exec (a change of user, say). The world kills what it started
    // when it ends, so a failed assertion never leaves a process holding the test's output open.
    pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
                const std::function<void()>& inChild = {}) {
        nx::test::SpawnOptions options;
        options.out = out;
        options.err = err;
        options.inChild = inChild;
        return m_children.emplace_back(argv, std::move(options)).Pid();
    }

    // The exit code, or -1 when the process had to be killed.
    int Wait(pid_t pid, int seconds) {
        for (auto it = m_children.begin(); it != m_children.end(); ++it)
            if (it->Pid() == pid) {
                const int code = it->Wait(seconds);
                m_children.erase(it);
                return code;
            }
        ADD_FAILURE() << "process " << pid << " was not started by this world or was waited for already";
        return -1;
    }

    // The installed agent's trace log as UTF-8: its UTF-16LE text after the byte-order mark.
    std::string TraceText() const {
        const std::string bytes = ReadFile(m_root / "agent/NxAgentOutlook64.log");
        std::u16string units;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        return nx::sys::Utf16ToUtf8(units);
    }

    // nxhost with the given arguments.
    Result Host(std::vector<std::string> args, int seconds = 60) {
        args.insert(args.begin(), Bin("nxhost").string());
        return Run(args, seconds);
    }

private:
    static int& Counter() {
        static int n = 0;
        return n;
    }
    fs::path m_root;
    nx::test::ScopedEnv m_env;
    std::list<nx::test::Process> m_children;
};

}  // namespace nx::e2e
