// The end-to-end world: a temporary world (tests/support/TempWorld.h) with the agent's own folder
// and temporary folder, a copy of the agent (with or without the MAPI runtime beside it), and the
// real processes run and started in it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "platform/system/Utf.h"
#include "tests/support/Files.h"
#include "tests/support/Process.h"
#include "tests/support/TempWorld.h"

namespace nx::e2e {

namespace fs = std::filesystem;

using Result = nx::test::ProcessResult;
using nx::test::ReadWholeFile;
using nx::test::WriteWholeFile;

// Whether a server listens on the endpoint within `seconds`.
inline bool WaitListening(const char* endpoint, int seconds = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!nx::rpc::EndpointIsListening(endpoint)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The short parent keeps the pipe socket's path inside the 108 bytes of a socket address.
class World : public nx::test::TempWorld {
public:
    World() : TempWorld("e2e", "/tmp") {
        for (const char* d : {"agent", "tmp", "pipes"}) fs::create_directories(Root() / d);
        // The processes the test starts (and the test's own MAPI calls) see the world's folders.
        SetEnv("TMPDIR", (Root() / "tmp").string()).SetEnv("NX_DEBUG_OUTPUT", std::nullopt);
    }
    ~World() {
        m_children.clear();  // kills what still runs before its folders go
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    fs::path Bin(const char* name) const { return fs::path(NX_BIN_DIR) / name; }
    static bool HaveMapiRuntime() { return fs::exists(fs::path(NX_BIN_DIR) / "libmapi32.so"); }

    // Copies the agent and the shared libraries of bin/ into the world's agent folder, the MAPI
    // runtime only when asked. Returns the copy's path.
    std::string InstallAgent(bool withMapi) {
        const fs::path dir = Root() / "agent";
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
        const std::string bytes = ReadWholeFile(Root() / "agent/NxAgentOutlook64.log");
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
    std::list<nx::test::Process> m_children;
};

}  // namespace nx::e2e
