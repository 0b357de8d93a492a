// The process seam on either system: arguments arrive as given, the environment changes, the
// redirections and the working folder reach the child, a start that cannot happen says so, and a
// child that does not end is bounded, polled and killed. The child is child_probe beside the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system/ChildProcess.h"
#include "tests/support/Files.h"
#include "tests/support/TempWorld.h"

namespace {

namespace fs = std::filesystem;
using nx::sys::ChildOptions;
using nx::sys::ChildProcess;
using namespace std::chrono_literals;

#ifdef _WIN32
const std::string kProbe = NX_BIN_DIR "/child_probe.exe";
void SetVariable(const char* name, const char* value) {
    _putenv_s(name, value);
}
#else
const std::string kProbe = NX_BIN_DIR "/child_probe";
void SetVariable(const char* name, const char* value) {
    setenv(name, value, 1);
}
#endif

std::string Read(const fs::path& p) {
    std::string text = nx::test::ReadWholeFile(p);
    std::erase(text, '\r');  // the Windows C runtime writes text-mode newlines
    return text;
}

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_dir / "work"); }
    std::string Path(const char* name) const { return (m_dir / name).string(); }

    nx::test::TempWorld m_world{"child"};
    const fs::path m_dir = m_world.Root();
};

TEST_F(ChildProcessTest, ArgumentsEnvironmentAndStreamsReachTheChild) {
    SetVariable("NX_CHILD_INHERITED", "from-parent");
    { std::ofstream(Path("in.txt"), std::ios::binary) << "line one\nline two\n"; }
    struct Case {
        std::vector<std::string> steps;
        nx::sys::EnvironmentChanges env;
        bool errToOut;
        bool input;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"out", "hi", "err", "oops", "exit", "3"}, {}, false, false, 3, "hi\n", "oops\n"},
        {{"out", "hi", "err", "oops"}, {}, true, false, 0, "hi\noops\n", ""},
        {{"env", "NX_CHILD_INHERITED", "env", "NX_CHILD_NEW"}, {}, false, false, 0, "from-parent\n-\n", ""},
        {{"env", "NX_CHILD_INHERITED", "env", "NX_CHILD_NEW"},
         {{"NX_CHILD_INHERITED", std::nullopt}, {"NX_CHILD_NEW", "set"}},
         false,
         false,
         0,
         "-\nset\n",
         ""},
        {{"in", "cwd"}, {}, false, true, 0, "line one\nline two\nwork\n", ""},
        // Blanks, quotes and backslashes survive the system's command line.
        {{"args", "", "a b", "q\"uote", "back\\slash\\", "tail\\\"", "\\\\server\\share"},
         {},
         false,
         false,
         0,
         "[][a b][q\"uote][back\\slash\\][tail\\\"][\\\\server\\share]",
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kProbe};
        argv.insert(argv.end(), c.steps.begin(), c.steps.end());
        ChildOptions options;
        options.env = c.env;
        options.out = Path("out.txt");
        options.err = Path("err.txt");
        options.errToOut = c.errToOut;
        if (c.input) {
            options.in = Path("in.txt");
            options.workFolder = Path("work");
        }
        fs::remove(Path("err.txt"));
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(child.Start(argv, options, error)) << c.steps[0] << ": " << error;
        EXPECT_EQ(child.Wait(60s), c.exitCode) << c.steps[0];
        EXPECT_FALSE(child.Running());
        EXPECT_EQ(Read(options.out), c.out) << c.steps[0];
        EXPECT_EQ(Read(options.err), c.err) << c.steps[0];
    }
}

TEST_F(ChildProcessTest, AStartThatCannotHappenSaysSo) {
    ChildOptions missingInput;
    missingInput.in = Path("missing-input");
    const std::vector<std::pair<std::vector<std::string>, ChildOptions>> cases = {
        {{Path("no-such-program")}, {}},
        {{}, {}},
        {{kProbe}, missingInput},
    };
    for (const auto& [argv, options] : cases) {
        ChildProcess child;
        std::string error;
        EXPECT_FALSE(child.Start(argv, options, error)) << (argv.empty() ? "" : argv[0]);
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Poll(), std::nullopt);
    }
}

TEST_F(ChildProcessTest, AChildThatDoesNotEndIsBoundedPolledAndKilled) {
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start({kProbe, "sleep", "60000"}, {}, error)) << error;
    EXPECT_GT(child.Id(), 0u);
    EXPECT_EQ(child.Poll(), std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(child.Wait(200ms), std::nullopt);
    EXPECT_TRUE(child.Running());
    child.Stop(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(child.Poll(), nx::sys::kEndedBySignal);

    // A moved-from object owns nothing; the one moved to kills its child when it goes.
    ChildProcess first;
    ASSERT_TRUE(first.Start({kProbe, "sleep", "60000"}, {}, error)) << error;
    ChildProcess second = std::move(first);
    EXPECT_FALSE(first.Started());
    EXPECT_TRUE(second.Running());
    second.Kill();
    EXPECT_EQ(second.Wait(0ms), nx::sys::kEndedBySignal);
}

}  // namespace
