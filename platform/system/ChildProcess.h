// Starting and supervising another program: argv and environment changes, optional redirection of
// its standard streams to files, a working folder, a non-blocking poll, a bounded wait and a kill.
// nxhost starts the agent through it and the test harness every program it runs, on both systems.
//
// POSIX: fork and execve (the program is a path, PATH is not searched), waitpid, SIGTERM/SIGKILL.
// Windows: CreateProcessW with a command line quoted the way the C runtime splits it back into
// argv, an environment block of its own, WaitForSingleObject, TerminateProcess,
// GetExitCodeProcess.
#pragma once

#include <cassert>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nx::sys {

// Environment changes: a value sets the variable, nullopt removes it. Everything else the child
// inherits from this process.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct ChildOptions {
    EnvironmentChanges env;
    std::string in;          // standard input read from this file ("": this process's)
    std::string out;         // standard output to this file, made anew ("": this process's)
    std::string err;         // standard error likewise
    bool errToOut = false;   // standard error joins standard output (`err` is then ignored)
    std::string workFolder;  // the child's working folder ("": this process's)
    // POSIX only: runs in the child after the redirections, just before the exec; only
    // async-signal-safe calls belong here. Starting with one fails on Windows.
    std::function<void()> beforeExec;
};

// The exit code a child reports when it was killed, or a signal ended it.
inline constexpr int kEndedBySignal = -1;

// One child process. The destructor kills and reaps it when it still runs, so no caller leaves a
// process behind on an early return.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        if (this != &other) {
            Kill();
            m_started = std::exchange(other.m_started, false);
            m_ended = std::exchange(other.m_ended, false);
            m_exitCode = std::exchange(other.m_exitCode, kEndedBySignal);
            m_signal = std::exchange(other.m_signal, 0);
            m_id = std::exchange(other.m_id, 0);
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with argv as its arguments. False with the reason ("No such file or
    // directory") when the program could not be started (no such file, not executable, a
    // redirection that cannot be opened); the object is then as if never started.
    bool Start(const std::vector<std::string>& argv, const ChildOptions& options, std::string& error) {
        assert(!Running() && "one ChildProcess runs one child at a time");
        if (argv.empty()) {
            error = "no program to start";
            return false;
        }
        if (!Spawn(argv, options, error)) return false;
        m_started = true;
        m_ended = false;
        m_exitCode = kEndedBySignal;
        m_signal = 0;
        return true;
    }

    bool Started() const { return m_started; }
    // Started and not yet seen ending.
    bool Running() const { return m_started && !m_ended; }
    // The system's process id (0 before a start).
    uint64_t Id() const { return m_id; }

    // The exit code once the child has ended (kEndedBySignal for a kill or a signal); nullopt while
    // it runs or when it was never started. Never blocks.
    std::optional<int> Poll();
    // Like Poll, waiting up to `bound` for the end.
    std::optional<int> Wait(std::chrono::milliseconds bound);
    // Ends the child at once and reaps it; nothing when it is not running.
    void Kill();
    // Asks the child to end (SIGTERM), waits up to `grace`, then kills it. Windows has no request
    // a console program receives alone, so there it is Kill.
    void Stop(std::chrono::milliseconds grace);
    // POSIX: the signal that ended the child (0 when it exited or still runs); 0 on Windows.
    int Signal() const { return m_signal; }

private:
    // The system's half of Start: the new process's id (and handle) on success.
    bool Spawn(const std::vector<std::string>& argv, const ChildOptions& options, std::string& error);

    bool m_started = false;
    bool m_ended = false;
    int m_exitCode = kEndedBySignal;
    int m_signal = 0;
    uint64_t m_id = 0;
    void* m_handle = nullptr;  // Windows: the process handle, until the end is seen
};

// Ends the process with this id at once (POSIX: SIGTERM, Windows: TerminateProcess). Safe in a
// signal or console-control handler, where the ChildProcess object must not be touched.
void EndProcess(uint64_t id);

// Calls `handler` when the user interrupts this process (POSIX: SIGINT, SIGTERM; Windows: Ctrl+C,
// Ctrl+Break, closing the console) with the signal's number (Windows: 2 for Ctrl+C, else 15). It
// runs in a signal handler or on a thread of the system's: only async-signal-safe work, then
// std::_Exit.
void OnInterrupt(void (*handler)(int code));

}  // namespace nx::sys
