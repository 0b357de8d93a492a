#include "platform/system/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace nx::sys {
namespace {

std::vector<std::string> EnvironmentWith(const EnvironmentChanges& changes) {
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

// In the child, between fork and exec: async-signal-safe calls only.
bool Redirect(const char* path, int flags, int target) {
    const int fd = open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = dup2(fd, target) >= 0;  // dup2's copy does not inherit O_CLOEXEC
    close(fd);
    return ok;
}

// Reports errno to the parent through the start pipe and ends the child.
[[noreturn]] void FailInChild(int reportFd, int exitCode) {
    const int e = errno;
    if (write(reportFd, &e, sizeof e) < 0) {
    }
    _exit(exitCode);
}

}  // namespace

bool ChildProcess::Spawn(const std::vector<std::string>& argv, const ChildOptions& options,
                         std::string& error) {
    // Everything the child needs is built before the fork: between fork and exec only
    // async-signal-safe calls are allowed (other threads may hold locks).
    std::vector<std::string> env = EnvironmentWith(options.env);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const char* in = options.in.empty() ? nullptr : options.in.c_str();
    const char* out = options.out.empty() ? nullptr : options.out.c_str();
    const char* err = options.errToOut || options.err.empty() ? nullptr : options.err.c_str();
    const char* folder = options.workFolder.empty() ? nullptr : options.workFolder.c_str();
    constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;

    // The child writes errno here when it cannot get to the exec; a successful exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (pid == 0) {
        if ((in && !Redirect(in, O_RDONLY, STDIN_FILENO)) || (out && !Redirect(out, kWrite, STDOUT_FILENO)) ||
            (err && !Redirect(err, kWrite, STDERR_FILENO)) ||
            (options.errToOut && dup2(STDOUT_FILENO, STDERR_FILENO) < 0) || (folder && chdir(folder) != 0))
            FailInChild(report[1], 126);
        if (options.beforeExec) options.beforeExec();
        execve(args[0], args.data(), envp.data());
        FailInChild(report[1], 127);
    }
    close(report[1]);
    int childErrno = 0;
    ssize_t got;
    while ((got = read(report[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        error = std::strerror(childErrno);
        return false;
    }
    m_id = static_cast<uint64_t>(pid);
    return true;
}

std::optional<int> ChildProcess::Poll() {
    if (!m_started) return std::nullopt;
    if (m_ended) return m_exitCode;
    int status = 0;
    const pid_t got = waitpid(static_cast<pid_t>(m_id), &status, WNOHANG);
    if (got == 0 || (got < 0 && errno == EINTR)) return std::nullopt;
    m_ended = true;
    if (got > 0 && WIFEXITED(status)) m_exitCode = WEXITSTATUS(status);
    if (got > 0 && WIFSIGNALED(status)) m_signal = WTERMSIG(status);
    return m_exitCode;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    std::optional<int> code;
    while (!(code = Poll()) && m_started && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return code;
}

void ChildProcess::Kill() {
    if (!Running()) return;
    kill(static_cast<pid_t>(m_id), SIGKILL);
    int status = 0;
    pid_t got;
    // SIGKILL cannot be caught: the wait ends as soon as the kernel has torn the process down.
    while ((got = waitpid(static_cast<pid_t>(m_id), &status, 0)) < 0 && errno == EINTR) {
    }
    m_ended = true;
    m_exitCode = got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : kEndedBySignal;
    m_signal = got > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (!Running()) return;
    kill(static_cast<pid_t>(m_id), SIGTERM);
    if (!Wait(grace)) Kill();
}

void EndProcess(uint64_t id) {
    if (id > 0) kill(static_cast<pid_t>(id), SIGTERM);
}

void OnInterrupt(void (*handler)(int code)) {
    signal(SIGINT, handler);
    signal(SIGTERM, handler);
}

}  // namespace nx::sys
