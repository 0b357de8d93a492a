#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/ScopedEnv.h"

namespace {

using nx::test::Process;
using nx::test::RunProcess;
using nx::test::ScopedEnv;
using nx::test::SpawnOptions;

TEST(Process, ExitCodeOutputAndEnvironmentReachTheCaller) {
    const ScopedEnv inherited("NX_SUPPORT_INHERITED", "from-parent");
    struct Case {
        const char* script;
        nx::test::EnvChanges env;
        bool errToOut;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"echo hi; echo oops >&2; exit 3", {}, false, 3, "hi\n", "oops\n"},
        {"echo hi; echo oops >&2", {}, true, 0, "hi\noops\n", ""},
        {"echo \"$NX_SUPPORT_INHERITED\"", {}, false, 0, "from-parent\n", ""},
        {"echo \"${NX_SUPPORT_INHERITED-gone}\" \"$NX_SUPPORT_NEW\"",
         {{"NX_SUPPORT_INHERITED", std::nullopt}, {"NX_SUPPORT_NEW", "set"}},
         false,
         0,
         "gone set\n",
         ""},
        {"kill -9 $$", {}, false, -1, "", ""},
    };
    for (const Case& c : cases) {
        SpawnOptions options;
        options.env = c.env;
        options.errToOut = c.errToOut;
        const auto r = RunProcess({"/bin/sh", "-c", c.script}, 20, options);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
    }
    EXPECT_EQ(RunProcess({"/nonexistent/program"}).exitCode, 127);
}

TEST(Process, AProcessThatDoesNotEndIsKilledAtTheBoundAndOnDestruction) {
    Process slow({"/bin/sleep", "30"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.Wait(1), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(slow.Running());

    pid_t pid = -1;
    {
        Process forgotten({"/bin/sleep", "30"});
        pid = forgotten.Pid();
        ASSERT_GT(pid, 0);
    }
    // Reaped, not only signalled: the pid no longer names a process of ours.
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(Process, LinesAreFollowedAsWrittenBeforeAndAfterAKill) {
    // The child announces two lines, then waits for its kill; a third comes only after the wait.
    Process p({"/bin/sh", "-c", "echo one; echo two; sleep 30; echo three"});
    std::vector<std::string> lines;
    EXPECT_TRUE(p.FollowOutput(20, [&](const std::string& line) {
        lines.push_back(line);
        return line != "one";
    }));
    EXPECT_TRUE(p.FollowOutput(20, [&](const std::string& line) {
        lines.push_back(line);
        return line != "two";
    }));
    EXPECT_FALSE(p.Ended());
    p.Kill();
    EXPECT_TRUE(p.FollowOutput(0, [&](const std::string& line) {
        lines.push_back(line);
        return true;
    }));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
}

TEST(Process, CodeOfTheTestRunsInAChildOfItsOwn) {
    int counter = 1;
    Process child = nx::test::StartInChild([&counter] {
        ++counter;  // the child's copy
        return counter == 2 ? 7 : 1;
    });
    EXPECT_EQ(child.Wait(20), 7);
    EXPECT_EQ(counter, 1);
}

TEST(ScopedEnv, RestoresEachVariableAsItWas) {
    setenv("NX_SUPPORT_A", "before", 1);
    unsetenv("NX_SUPPORT_B");
    {
        ScopedEnv env;
        env.Set("NX_SUPPORT_A", "during")
            .Set("NX_SUPPORT_B", "during")
            .Set("NX_SUPPORT_A", "again")
            .Unset("NX_SUPPORT_B");
        EXPECT_STREQ(getenv("NX_SUPPORT_A"), "again");
        EXPECT_EQ(getenv("NX_SUPPORT_B"), nullptr);
    }
    EXPECT_STREQ(getenv("NX_SUPPORT_A"), "before");
    EXPECT_EQ(getenv("NX_SUPPORT_B"), nullptr);
    unsetenv("NX_SUPPORT_A");
}

}  // namespace
