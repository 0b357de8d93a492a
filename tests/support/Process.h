// Running other programs from tests: the one way to start a process (argv, environment changes,
// a hook in the child), wait for it with a bound, capture its output, and never leave it behind.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace nx::test {

// Environment changes: a value sets the variable, nullopt removes it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct SpawnOptions {
    EnvChanges env;                 // applied to the child's copy of this process's environment
    std::filesystem::path out;      // standard output goes here ("" : a file of the process's own)
    std::filesystem::path err;      // standard error likewise
    bool errToOut = false;          // standard error joins standard output
    std::function<void()> inChild;  // runs in the child after the redirections, before the exec
};

struct ProcessResult {
    int exitCode = -1;  // -1: killed, ended by a signal, or did not end in time
    std::string out;
    std::string err;
};

inline std::string ReadWholeFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One child process. The destructor kills and reaps it when it still runs, so a failed
// assertion never leaves a process holding a pipe, a socket or the test's output open.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string>& argv, SpawnOptions options = {}) {
        Start(argv, std::move(options));
    }
    ~Process() {
        Kill();
        RemoveOwnFiles();
    }
    Process(Process&& other) noexcept { *this = std::move(other); }
    Process& operator=(Process&& other) noexcept {
        if (this != &other) {
            Kill();
            RemoveOwnFiles();
            m_pid = std::exchange(other.m_pid, -1);
            m_exitCode = other.m_exitCode;
            m_out = std::move(other.m_out);
            m_err = std::move(other.m_err);
            m_ownFiles = std::move(other.m_ownFiles);
            other.m_ownFiles.clear();
        }
        return *this;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running() const { return m_pid > 0; }

    // The exit code once the process ended, -1 when it had to be killed (after `seconds`) or a
    // signal ended it. A second call answers the same.
    int Wait(int seconds) {
        if (m_pid <= 0) return m_exitCode;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        pid_t got = 0;
        while ((got = waitpid(m_pid, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                Kill();
                return m_exitCode;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
        m_exitCode = got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_exitCode;
    }

    // Ends the process at once (SIGKILL) and reaps it; nothing when it is not running.
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        m_exitCode = -1;
    }

    std::string Out() const { return ReadWholeFile(m_out); }
    std::string Err() const { return m_err.empty() ? std::string() : ReadWholeFile(m_err); }

private:
    void Start(const std::vector<std::string>& argv, SpawnOptions options) {
        m_out = options.out.empty() ? OwnFile("out") : options.out;
        if (!options.errToOut) m_err = options.err.empty() ? OwnFile("err") : options.err;

        // Everything the child needs is built before the fork: between fork and exec only
        // async-signal-safe calls are allowed (other threads of the test may hold locks).
        std::vector<std::string> env = EnvironmentWith(options.env);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string out = m_out.string();
        const std::string err = m_err.string();

        m_pid = fork();
        if (m_pid == 0) {
            if (!Redirect(out.c_str(), STDOUT_FILENO)) _exit(126);
            if (err.empty() ? dup2(STDOUT_FILENO, STDERR_FILENO) < 0 : !Redirect(err.c_str(), STDERR_FILENO))
                _exit(126);
            if (options.inChild) options.inChild();
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
    }

    static bool Redirect(const char* path, int target) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const bool ok = dup2(fd, target) >= 0;  // dup2's copy does not inherit O_CLOEXEC
        close(fd);
        return ok;
    }

    static std::vector<std::string> EnvironmentWith(const EnvChanges& changes) {
        std::vector<std::string> env;
        for (char** e = environ; e && *e; ++e) {
            const std::string entry(*e);
            const std::string name = entry.substr(0, entry.find('='));
            bool changed = false;
            for (const auto& c : changes) changed = changed || c.first == name;
            if (!changed) env.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            if (value) env.push_back(name + "=" + *value);
        return env;
    }

    std::filesystem::path OwnFile(const char* what) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string("nxproc-") + what + "-XXXXXX")).string();
        const int fd = mkstemp(pattern.data());
        if (fd >= 0) close(fd);
        m_ownFiles.push_back(pattern);
        return pattern;
    }

    void RemoveOwnFiles() {
        std::error_code ignored;
        for (const auto& f : m_ownFiles) std::filesystem::remove(f, ignored);
        m_ownFiles.clear();
    }

    pid_t m_pid = -1;
    int m_exitCode = -1;
    std::filesystem::path m_out;
    std::filesystem::path m_err;  // empty: joined with the output
    std::vector<std::filesystem::path> m_ownFiles;
};

// Runs a program to its end (killed after `seconds`) and returns its exit code and output.
inline ProcessResult RunProcess(const std::vector<std::string>& argv, int seconds = 60,
                                SpawnOptions options = {}) {
    Process p(argv, std::move(options));
    ProcessResult r;
    r.exitCode = p.Wait(seconds);
    r.out = p.Out();
    r.err = p.Err();
    return r;
}

}  // namespace nx::test
