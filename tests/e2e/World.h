// A temporary world for end-to-end runs: its own XDG folders and pipe directory, a copy of the
// agent (with or without the MAPI runtime beside it), and helpers to run the real processes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace nx::e2e {

namespace fs = std::filesystem;

struct Result {
    int exitCode = -1;  // -1: killed or did not end in time
    std::string out;
    std::string err;
};

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
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
        setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_root / "data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_root / "run").c_str(), 1);
        setenv("NX_PIPE_DIR", (m_root / "pipes").c_str(), 1);
        setenv("TMPDIR", (m_root / "tmp").c_str(), 1);
        unsetenv("NX_DEBUG_OUTPUT");
    }
    ~World() {
        for (pid_t pid : m_children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(m_root);
    }

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
        const fs::path out = m_root / "out.txt";
        const fs::path err = m_root / "err.txt";
        const pid_t pid = Spawn(argv, out, err);
        Result r;
        r.exitCode = Wait(pid, seconds);
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    // Starts a program in the background; its output goes to the files given. `inChild` runs in
    // the child just before the exec (a change of user, say). The world kills what it started
    // when it ends, so a failed assertion never leaves a process holding the test's output open.
    pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
                const std::function<void()>& inChild = {}) {
        const pid_t pid = fork();
        if (pid == 0) {
            freopen(out.c_str(), "w", stdout);
            freopen(err.c_str(), "w", stderr);
            if (inChild) inChild();
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        m_children.push_back(pid);
        return pid;
    }

    // The exit code, or -1 when the process had to be killed.
    int Wait(pid_t pid, int seconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                Forget(pid);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Forget(pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    void Forget(pid_t pid) {
        for (auto it = m_children.begin(); it != m_children.end(); ++it)
            if (*it == pid) {
                m_children.erase(it);
                break;
            }
    }

    fs::path m_root;
    std::vector<pid_t> m_children;
};

}  // namespace nx::e2e
