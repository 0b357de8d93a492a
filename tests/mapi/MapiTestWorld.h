// A temporary MAPI world for tests that run against the real runtime (libmapi32.so in the build's
// bin folder; on Windows MAPI32.dll and mapiadmin.exe in their own folder, NX_MAPI_RUNTIME_DIR):
// its own XDG folders (and application-data folder on Windows), built with the mapiadmin tool, and the
// process-wide MAPI entry-point table bound to the runtime once per test process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/MapiFunctions.h"
#include "platform/system/Files.h"
#include "tests/support/Process.h"
#include "tests/support/ScopedEnv.h"

namespace nx::test {

namespace fs = std::filesystem;

#ifndef NX_MAPI_RUNTIME_DIR
#define NX_MAPI_RUNTIME_DIR NX_BIN_DIR
#endif
#ifdef _WIN32
inline constexpr const char* kMapiAdminFileName = "mapiadmin.exe";
#else
inline constexpr const char* kMapiAdminFileName = "mapiadmin";
#endif

class MapiTestWorld {
public:
    MapiTestWorld() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info ? info->name() : "world";
        for (char& c : name)
            if (c == '/') c = '_';
        m_root = fs::temp_directory_path() / ("nxmapi-" + std::to_string(nx::sys::CurrentProcessId()) + "-" +
                                              std::to_string(Counter()++) + "-" + name);
        fs::remove_all(m_root);
#ifdef _WIN32
        static const bool swept = (RemoveOldWorlds(), true);
        static_cast<void>(swept);
#endif
        for (const char* d : {"config", "data", "run"}) fs::create_directories(m_root / d);
        m_env.Set("XDG_CONFIG_HOME", (m_root / "config").string())
            .Set("XDG_DATA_HOME", (m_root / "data").string())
            .Set("XDG_RUNTIME_DIR", (m_root / "run").string())
            .Set("APPDATA", (m_root / "data").string());  // XDG_DATA_HOME's place on Windows
    }
    ~MapiTestWorld() {
        Remove(m_root);
    }
    MapiTestWorld(const MapiTestWorld&) = delete;
    MapiTestWorld& operator=(const MapiTestWorld&) = delete;

    const fs::path& Root() const {
        return m_root;
    }

    // The runtime and the tool are built; tests skip themselves otherwise.
    static bool Available() {
        return fs::exists(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiRuntimeFileName) &&
               fs::exists(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiAdminFileName);
    }
    // Binds the entry-point table to the runtime (once per process).
    static bool Bind() {
        static const bool bound = LoadMapiLibrary(NX_MAPI_RUNTIME_DIR) && LoadMapiFunctions();
        return bound;
    }

    // Runs mapiadmin; the last line of its output (an entry id for the create commands).
    // Records a test failure when it does not exit with 0.
    std::string Admin(const std::vector<std::string>& args) {
        std::string out;
        const int rc = RunAdmin(args, out);
        EXPECT_EQ(rc, 0) << "mapiadmin failed: " << Join(args) << "\n" << out;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        const auto nl = out.rfind('\n');
        return nl == std::string::npos ? out : out.substr(nl + 1);
    }

    // Creates an item of the class in the folder (path or entry id); its entry id.
    std::string PutItem(const std::string& folder, const std::string& messageClass,
                        const std::string& subject, const std::string& profile = "") {
        const fs::path file = m_root / ("item" + std::to_string(m_items++) + ".json");
        std::ofstream(file) << R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" << messageClass
                            << R"("},{"tag":"PR_SUBJECT_W","value":")" << subject << R"("}]})";
        std::vector<std::string> args;
        if (!profile.empty()) args = {"--profile", profile};
        args.insert(args.end(), {"item", "put", folder, file.string()});
        return Admin(args);
    }

    int RunAdmin(const std::vector<std::string>& args, std::string& output) {
        std::vector<std::string> argv = {(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiAdminFileName).string()};
        argv.insert(argv.end(), args.begin(), args.end());
        SpawnOptions options;
        options.errToOut = true;
        ProcessResult r = RunProcess(argv, 60, std::move(options));
        output = std::move(r.out);
        return r.exitCode;
    }

private:
    static std::string Join(const std::vector<std::string>& args) {
        std::string s;
        for (const auto& a : args) s += a + " ";
        return s;
    }
    // Windows removes no file that is still open, and the journal keeps the last world's open
    // until another world's is used: what cannot go now is tried again after each later world.
    static void Remove(const fs::path& root) {
        static std::vector<fs::path> pending;
        pending.push_back(root);
        std::erase_if(pending, [](const fs::path& p) {
            std::error_code ec;
            fs::remove_all(p, ec);
            return !ec;
        });
    }
    // A world whose journal was still open when its program ended stays behind on Windows: it
    // goes once it is an hour old, far longer than any test program runs.
    static void RemoveOldWorlds() {
        std::error_code ec;
        const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
        for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
            std::error_code ignored;
            if (entry.path().filename().string().rfind("nxmapi-", 0) == 0 && entry.is_directory(ignored) &&
                entry.last_write_time(ignored) < cutoff)
                fs::remove_all(entry.path(), ignored);
        }
    }
    static int& Counter() {
        static int n = 0;
        return n;
    }
    fs::path m_root;
    ScopedEnv m_env;
    int m_items = 0;
};

#define NX_REQUIRE_MAPI_RUNTIME()                                                         \
    do {                                                                                  \
        ASSERT_TRUE(::nx::test::MapiTestWorld::Available())                               \
            << "the MAPI runtime or mapiadmin is missing from the build";                 \
        ASSERT_TRUE(::nx::test::MapiTestWorld::Bind()) << "cannot bind the MAPI runtime"; \
    } while (0)

}  // namespace nx::test
