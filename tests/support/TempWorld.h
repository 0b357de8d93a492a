// The temporary world every test fixture builds on: a fresh folder of the test's own, removed with
// everything in it when the world ends, and the variables that place a user's files pointing
// into it while the world lasts (each one restored afterwards):
//   XDG_CONFIG_HOME  <root>/config  registry files
//   XDG_DATA_HOME    <root>/data    application data: documents, MAPI profiles and stores, journal
//   XDG_RUNTIME_DIR  <root>/run
//   NX_PIPE_DIR      <root>/pipes   not made: the RPC runtime makes it, private, when it listens
//   APPDATA          <root>/data    Windows only: the application-data folder follows it there
// config, data and run are made; a test that needs one missing removes it. A specialised world
// (the end-to-end agent world, the MAPI world, the journal's) adds its own folders and variables.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>
#ifdef _WIN32
#include <process.h>
#else
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "tests/support/ScopedEnv.h"

namespace nx::test {

class TempWorld {
public:
    // The world's folder is <parent>/nxw-<process>-<n>-<tag>, `parent` the temporary folder unless
    // given (a world whose pipes are sockets passes a short one: a socket path has 108 bytes).
    explicit TempWorld(const std::string& tag = "test", const std::filesystem::path& parent = {}) {
        namespace fs = std::filesystem;
        const fs::path in = parent.empty() ? fs::temp_directory_path() : parent;
        static const bool swept = (RemoveOldWorlds(in), true);
        static_cast<void>(swept);
        static int counter = 0;
        m_root = in / (std::string(kStem) + std::to_string(ProcessId()) + "-" + std::to_string(counter++) +
                       "-" + tag);
        fs::remove_all(m_root);  // left behind by an earlier process of the same id
        for (const char* d : {"config", "data", "run"}) fs::create_directories(m_root / d);
        m_env.Set("XDG_CONFIG_HOME", (m_root / "config").string())
            .Set("XDG_DATA_HOME", (m_root / "data").string())
            .Set("XDG_RUNTIME_DIR", (m_root / "run").string())
            .Set("NX_PIPE_DIR", (m_root / "pipes").string());
#ifdef _WIN32
        m_env.Set("APPDATA", (m_root / "data").string());  // XDG_DATA_HOME's place on Windows
#endif
    }
    ~TempWorld() {
        Remove(m_root);
    }
    TempWorld(const TempWorld&) = delete;
    TempWorld& operator=(const TempWorld&) = delete;

    const std::filesystem::path& Root() const {
        return m_root;
    }
    std::filesystem::path Data() const {
        return m_root / "data";
    }

    // Marks a world that its program leaves behind on purpose (for runs by hand): no later
    // program's sweep removes it.
    static void MarkKept(const std::filesystem::path& root) {
        std::ofstream(root / kKeptMarker).put('\n');
    }

    // Changes a variable of this process (and so of every process started later) until the world
    // ends; nullopt removes it.
    TempWorld& SetEnv(const std::string& name, const std::optional<std::string>& value) {
        m_env.Set(name, value);
        return *this;
    }

private:
    static constexpr const char* kStem = "nxw-";
    static constexpr const char* kKeptMarker = "kept";

    static unsigned long ProcessId() {
#ifdef _WIN32
        return static_cast<unsigned long>(_getpid());
#else
        return static_cast<unsigned long>(::getpid());
#endif
    }

    // Removes the folder; false when something in it stays.
    static bool TryRemove(const std::filesystem::path& root) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::remove_all(root, ec);
        if (!ec) return true;
        // A test took the owner's rights away from a folder of its world: they come back first.
        std::error_code ignored;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (fs::recursive_directory_iterator
                 it(root, fs::directory_options::skip_permission_denied, ignored),
             end;
             it != end; it.increment(ignored)) {
            if (ignored) break;
            if (it->symlink_status(ignored).type() == fs::file_type::directory)
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        ec.clear();
        fs::remove_all(root, ec);
        return !ec;
    }

    // Windows removes no file that is still open, and the journal keeps the last world's open until
    // another world's is used: what cannot go now is tried again after each later world.
    static void Remove(const std::filesystem::path& root) {
        static std::vector<std::filesystem::path> pending;
        pending.push_back(root);
        std::erase_if(pending, TryRemove);
    }

    // Worlds left behind by programs that ended without removing them; the first world of every
    // program sweeps them. On Windows a world whose journal was still open when its program ended
    // stays: it goes once it is an hour old, far longer than any test program runs. Elsewhere the
    // child of a death test makes its own world and ends by the failure it tests, before any
    // destructor runs: a world whose process no longer exists goes (one of a live process, or of
    // another user's, stays).
    static void RemoveOldWorlds(const std::filesystem::path& in) {
        namespace fs = std::filesystem;
        std::error_code ec;
#ifdef _WIN32
        const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
#endif
        for (const auto& entry : fs::directory_iterator(in, ec)) {
            std::error_code ignored;
            const std::string name = entry.path().filename().string();
            if (name.rfind(kStem, 0) != 0 || !entry.is_directory(ignored) ||
                fs::exists(entry.path() / kKeptMarker, ignored))
                continue;
#ifdef _WIN32
            if (entry.last_write_time(ignored) < cutoff) fs::remove_all(entry.path(), ignored);
#else
            // nxw-<process>-<n>-<tag>
            const std::size_t from = std::string_view(kStem).size();
            const std::size_t to = name.find('-', from);
            if (to == std::string::npos) continue;
            const std::string digits = name.substr(from, to - from);
            if (digits.empty() || digits.size() > 9 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            if (::kill(static_cast<pid_t>(std::stol(digits)), 0) != 0 && errno == ESRCH)
                fs::remove_all(entry.path(), ignored);
#endif
        }
    }

    std::filesystem::path m_root;
    ScopedEnv m_env;
};

}  // namespace nx::test
