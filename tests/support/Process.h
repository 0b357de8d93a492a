// Running other programs from tests: the one way to start a process (argv, environment changes,
// a hook in the child on POSIX), wait for it with a bound, capture its output, and never leave it
// behind. It stands on the process seam, so the same harness runs under Windows too.
#pragma once

#include <sys/types.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system/ChildProcess.h"
#include "tests/support/Files.h"

namespace nx::test {

// Environment changes: a value sets the variable, nullopt removes it.
using EnvChanges = nx::sys::EnvironmentChanges;

struct SpawnOptions {
    EnvChanges env;                    // applied to the child's copy of this process's environment
    std::filesystem::path out;         // standard output goes here ("" : a file of the process's own)
    std::filesystem::path err;         // standard error likewise
    bool errToOut = false;             // standard error joins standard output
    std::filesystem::path in;          // standard input read from this file ("" : this process's)
    std::filesystem::path workFolder;  // the child's working folder ("" : this process's)
    // POSIX only: runs in the child after the redirections, before the exec (StartInChild's way of
    // running this program's own code in a child)
    std::function<void()> inChild;
};

struct ProcessResult {
    int exitCode = -1;  // -1: killed, ended by a signal, or did not end in time
    std::string out;
    std::string err;
};

// One child process. The destructor kills and reaps it when it still runs, so a failed
// assertion never leaves a process holding a pipe, a socket or the test's output open.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string>& argv, SpawnOptions options = {}) {
        Start(argv, std::move(options));
    }
    ~Process() {
        m_child.Kill();
        RemoveOwnFiles();
    }
    Process(Process&& other) noexcept { *this = std::move(other); }
    Process& operator=(Process&& other) noexcept {
        if (this != &other) {
            m_child = std::move(other.m_child);  // kills and reaps what this one ran
            RemoveOwnFiles();
            m_exitCode = other.m_exitCode;
            m_out = std::move(other.m_out);
            m_err = std::move(other.m_err);
            m_followed = other.m_followed;
            m_ownFiles = std::move(other.m_ownFiles);
            other.m_ownFiles.clear();
        }
        return *this;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return m_child.Running() ? static_cast<pid_t>(m_child.Id()) : -1; }
    bool Running() const { return m_child.Running(); }

    // The exit code once the process ended, -1 when it had to be killed (after `seconds`) or a
    // signal ended it; 127 when it could not be started. A second call answers the same.
    int Wait(int seconds) {
        if (!m_child.Running()) return m_exitCode;
        const std::optional<int> code = m_child.Wait(std::chrono::seconds(seconds));
        if (!code) m_child.Kill();
        m_exitCode = code.value_or(nx::sys::kEndedBySignal);
        return m_exitCode;
    }

    // Ends the process at once and reaps it; nothing when it is not running.
    void Kill() {
        if (!m_child.Running()) return;
        m_child.Kill();
        m_exitCode = nx::sys::kEndedBySignal;
    }

    // Whether the process has ended (Wait then answers its exit code at once); never blocks.
    bool Ended() {
        if (!m_child.Running()) return true;
        const std::optional<int> code = m_child.Poll();
        if (code) m_exitCode = *code;
        return code.has_value();
    }

    // Hands each line of standard output to `onLine` (without its '\n') as soon as the process has
    // written it, until `onLine` returns false, or the process has ended and its last line was
    // handed over, or `seconds` have passed (then false). A later call goes on after the last line
    // handed over, so the lines written before a kill can still be read after it.
    bool FollowOutput(int seconds, const std::function<bool(const std::string& line)>& onLine) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            // Asked before the read, so an ended process's last lines are in what is read.
            const bool ended = Ended();
            const std::string out = ReadWholeFile(m_out);
            for (std::size_t end; (end = out.find('\n', m_followed)) != std::string::npos;) {
                const std::string line = out.substr(m_followed, end - m_followed);
                m_followed = end + 1;
                if (!onLine(line)) return true;
            }
            if (ended) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    std::string Out() const { return ReadWholeFile(m_out); }
    std::string Err() const { return m_err.empty() ? std::string() : ReadWholeFile(m_err); }

private:
    void Start(const std::vector<std::string>& argv, SpawnOptions options) {
        m_out = options.out.empty() ? OwnFile("out") : options.out;
        if (!options.errToOut) m_err = options.err.empty() ? OwnFile("err") : options.err;
        nx::sys::ChildOptions child;
        child.env = std::move(options.env);
        child.out = m_out.string();
        child.err = m_err.string();
        child.errToOut = options.errToOut;
        child.in = options.in.string();
        child.workFolder = options.workFolder.string();
        child.beforeExec = std::move(options.inChild);
        std::string error;
        // As a shell reports a program it cannot run.
        if (!m_child.Start(argv, child, error)) m_exitCode = 127;
    }

    // A name in the temporary folder for an output nobody asked to keep; the child creates it.
    std::filesystem::path OwnFile(const char* what) {
        static std::atomic<unsigned> counter{0};
        const std::string name = std::string("nxproc-") + what + "-" +
                                 std::to_string(std::random_device{}()) + "-" + std::to_string(++counter);
        m_ownFiles.push_back(std::filesystem::temp_directory_path() / name);
        return m_ownFiles.back();
    }

    void RemoveOwnFiles() {
        std::error_code ignored;
        for (const auto& f : m_ownFiles) std::filesystem::remove(f, ignored);
        m_ownFiles.clear();
    }

    nx::sys::ChildProcess m_child;
    int m_exitCode = -1;
    std::filesystem::path m_out;
    std::filesystem::path m_err;  // empty: joined with the output
    std::size_t m_followed = 0;   // the bytes of output FollowOutput has handed over
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

#ifndef _WIN32
// POSIX only: a child that runs `body`, code of this program, instead of another program (a fork
// without an exec), and ends with its result as exit code. The child is a copy of this process at
// the start, so `body` finds the test's objects as they were then; what it changes stays its own.
// It starts as an exec'd program would, its close-on-exec descriptors closed: the process seam
// learns that a start went through when the child's end of such a pipe closes.
inline Process StartInChild(std::function<int()> body, SpawnOptions options = {}) {
    options.inChild = [body = std::move(body)] {
        for (long fd = 3, end = ::sysconf(_SC_OPEN_MAX); fd < end; ++fd) {
            const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
            if (flags >= 0 && (flags & FD_CLOEXEC)) ::close(static_cast<int>(fd));
        }
        std::_Exit(body());
    };
    return Process({"/bin/false"}, std::move(options));  // never run: the child ends in `body`
}
#endif

}  // namespace nx::test
