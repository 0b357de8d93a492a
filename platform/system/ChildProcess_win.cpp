#include <algorithm>
#include <mutex>

#include "platform/system/ChildProcess.h"
#include "platform/system/Win.h"

namespace nx::sys {
namespace {

using win::UniqueHandle;
using win::Wide;

// One argument as the C runtime's command-line splitting reads it back: quoted when it is empty
// or holds a blank or a quote; a quote escaped with a backslash, and the backslashes in front of a
// quote (or of the closing quote) doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

// A variable's name: up to the first '=' after the first character (the kernel's per-drive
// entries are named "=C:").
std::wstring_view NameOf(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

// This process's environment with the changes applied, as the block CreateProcessW takes: sorted
// by name without regard to case, each entry ended by a zero, the block by another.
std::wstring EnvironmentBlock(const EnvironmentChanges& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* own = ::GetEnvironmentStringsW()) {
        for (const wchar_t* e = own; *e != L'\0'; e += std::wcslen(e) + 1) {
            const std::wstring entry(e);
            bool changed = false;
            for (const auto& c : changes) changed = changed || SameName(NameOf(entry), Wide(c.first));
            if (!changed) entries.push_back(entry);
        }
        ::FreeEnvironmentStringsW(own);
    }
    for (const auto& [name, value] : changes)
        if (value) entries.push_back(Wide(name) + L"=" + Wide(*value));
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const auto na = NameOf(a), nb = NameOf(b);
        return ::CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(),
                                      static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const auto& e : entries) block.append(e).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// An inheritable handle for one of the child's standard streams: the file given, or a copy of this
// process's own stream (none when this process has none).
UniqueHandle StreamHandle(const std::string& path, bool write, DWORD ownStream, std::string& error) {
    if (path.empty()) {
        HANDLE own = ::GetStdHandle(ownStream);
        HANDLE copy = nullptr;
        if (own == nullptr || own == INVALID_HANDLE_VALUE ||
            !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                               DUPLICATE_SAME_ACCESS))
            return UniqueHandle();
        return UniqueHandle(copy);
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle h(::CreateFileW(Wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) error = "cannot open " + path + ": Windows error " + std::to_string(::GetLastError());
    return h;
}

// The standard handles are made inheritable for the one CreateProcessW that should inherit them;
// starting children one at a time keeps another start in this process from inheriting them too.
std::mutex g_startLock;

}  // namespace

bool ChildProcess::Spawn(const std::vector<std::string>& argv, const ChildOptions& options,
                         std::string& error) {
    if (options.beforeExec) {
        error = "a hook before the exec exists on POSIX only";
        return false;
    }
    std::wstring line;
    for (const auto& a : argv) {
        if (!line.empty()) line += L' ';
        AppendQuoted(line, Wide(a));
    }
    std::wstring env = EnvironmentBlock(options.env);
    const std::wstring folder = Wide(options.workFolder);

    std::lock_guard<std::mutex> guard(g_startLock);
    UniqueHandle in = StreamHandle(options.in, false, STD_INPUT_HANDLE, error);
    UniqueHandle out = StreamHandle(options.out, true, STD_OUTPUT_HANDLE, error);
    UniqueHandle err =
        options.errToOut ? UniqueHandle() : StreamHandle(options.err, true, STD_ERROR_HANDLE, error);
    if (!error.empty()) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = options.errToOut ? out.get() : err.get();
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                          env.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        error = "Windows error " + std::to_string(::GetLastError());
        return false;
    }
    ::CloseHandle(process.hThread);
    m_handle = process.hProcess;
    m_id = process.dwProcessId;
    return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds bound) {
    if (!m_started) return std::nullopt;
    if (m_ended) return m_exitCode;
    const auto ms = static_cast<DWORD>(std::clamp<long long>(bound.count(), 0, INFINITE - 1));
    if (::WaitForSingleObject(m_handle, ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    m_exitCode = ::GetExitCodeProcess(m_handle, &code) ? static_cast<int>(code) : kEndedBySignal;
    m_ended = true;
    ::CloseHandle(m_handle);
    m_handle = nullptr;
    return m_exitCode;
}

std::optional<int> ChildProcess::Poll() {
    return Wait(std::chrono::milliseconds(0));
}

void ChildProcess::Kill() {
    if (!Running()) return;
    ::TerminateProcess(m_handle, 1);
    // The kernel ends a terminated process promptly; the bound only guards against a hung driver.
    ::WaitForSingleObject(m_handle, 10000);
    ::CloseHandle(m_handle);
    m_handle = nullptr;
    m_ended = true;
    m_exitCode = kEndedBySignal;
}

void ChildProcess::Stop(std::chrono::milliseconds) {
    Kill();
}

void EndProcess(uint64_t id) {
    UniqueHandle h(::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(id)));
    if (h) ::TerminateProcess(h.get(), 1);
}

namespace {

void (*g_interruptHandler)(int) = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (g_interruptHandler == nullptr) return FALSE;
    g_interruptHandler(event == CTRL_C_EVENT ? 2 : 15);
    return TRUE;
}

}  // namespace

void OnInterrupt(void (*handler)(int code)) {
    g_interruptHandler = handler;
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

}  // namespace nx::sys
