// The change journal end to end: the agent keeps the journal's file open between the change reads
// of a session and closes it when it logs off (an open file would keep its folder on Windows).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/StoreWorld.h"

namespace nx::e2e {
namespace {

// The process running `exe` (a world's own copy of the agent), -1 when none does.
pid_t ProcessOf(const std::string& exe) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code failed;
        const fs::path running = fs::read_symlink(entry.path() / "exe", failed);
        if (!failed && running == exe) return static_cast<pid_t>(std::stol(entry.path().filename().string()));
    }
    return -1;
}

// The names of the files `pid` holds open in `folder`.
std::vector<std::string> OpenFilesIn(pid_t pid, const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code failed;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", failed)) {
        const fs::path target = fs::read_symlink(fd.path(), failed);
        if (!failed && target.parent_path() == folder) names.push_back(target.filename().string());
    }
    return names;
}

// Whether nxhost's output has reached `line` within a minute.
bool Reached(const fs::path& out, const std::string& line) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ReadWholeFile(out).find(line + "\n") == std::string::npos) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(JournalE2E, TheJournalFileIsClosedWhenTheAgentLogsOff) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.PutContact(kContacts, R"({"tag":"PR_DISPLAY_NAME_W","value":"ann"})");
    const fs::path out = w.Root() / "host.out";
    // Each pause is announced ("> sleep N") once the call before it has returned.
    const pid_t host = w.Spawn({w.Bin("nxhost").string(), "--start", w.Agent(), "-e", "MAPILogOn", "-e",
                                "ReadContacts \"\" \"closing\"", "-e", "sleep 5000", "-e", "MAPILogOff", "-e",
                                "sleep 5001", "-e", "Shutdown"},
                               out, w.Root() / "host.err");
    const fs::path journal = w.Data() / "nxjournal";
    ASSERT_TRUE(Reached(out, "> sleep 5000")) << ReadWholeFile(out);
    const pid_t agent = ProcessOf(w.Agent());
    ASSERT_GT(agent, 0) << "the agent is not running";
    EXPECT_FALSE(OpenFilesIn(agent, journal).empty()) << "the session keeps the journal open";
    ASSERT_TRUE(Reached(out, "> sleep 5001")) << ReadWholeFile(out);
    EXPECT_EQ(OpenFilesIn(agent, journal), std::vector<std::string>{}) << "after the logoff";
    EXPECT_EQ(w.Wait(host, 60), 0) << ReadWholeFile(out);
}

}  // namespace
}  // namespace nx::e2e
