// The command lines of the three tools as a person meets them: --help shows the usage line, the
// options, examples and the exit statuses on standard output; --version the release; a bad
// command line exits 2 with the problem and a one-line hint on standard error, and nothing else.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "NxVersion.h"
#include "tests/support/Process.h"

namespace nx::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

ProcessResult Tool(const std::string& tool, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(NX_BIN_DIR "/") + tool);
    return RunProcess(args, 60);
}

TEST(ToolUsage, HelpShowsUsageOptionsExamplesAndExitStatuses) {
    for (const char* tool : {"nxhost", "mapiadmin", "deltatrack"}) {
        SCOPED_TRACE(tool);
        const ProcessResult r = Tool(tool, {"--help"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: ") + tool + " ", 0), 0u) << r.out;
        for (const char* section : {"\nOptions", "\nExamples\n", "\nExit status: 0 "})
            EXPECT_NE(r.out.find(section), std::string::npos) << section << "\n" << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(ToolUsage, VersionNamesTheToolTheProductAndTheBuildsRelease) {
    // Wherever --version stands among the options, it answers alone.
    const struct {
        const char* tool;
        std::vector<std::string> args;
    } cases[] = {
        {"nxhost", {"--version"}},     {"nxhost", {"--keep-going", "--version"}},
        {"mapiadmin", {"--version"}},  {"mapiadmin", {"--profile", "Outlook", "--version"}},
        {"deltatrack", {"--version"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.args.back());
        const ProcessResult r = Tool(c.tool, c.args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, std::string(c.tool) + " (NxAgentForOutlook64) " NX_VERSION_TEXT "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(ToolUsage, ABadCommandLineExitsTwoWithTheProblemAndOneHint) {
    const std::string nxhostHint = "(run \"nxhost --help\" for the options)";
    const std::string mapiadminHint = "(run \"mapiadmin --help\" for the commands)";
    const std::string deltatrackHint = "(run \"deltatrack --help\" for the commands)";
    struct Case {
        const char* tool;
        std::vector<std::string> args;
        const char* problem;
        const std::string& hint;
    } cases[] = {
        {"nxhost", {}, "nxhost: nothing to do", nxhostHint},
        {"nxhost", {"--bogus"}, "nxhost: unknown option --bogus", nxhostHint},
        {"nxhost", {"-e"}, "nxhost: -e needs a value", nxhostHint},
        {"nxhost",
         {"--hang-after", "x", "Shutdown"},
         "nxhost: --hang-after needs a whole number",
         nxhostHint},
        {"nxhost", {"--script", "/nonexistent/s.nxh"}, "nxhost: cannot read the script", nxhostHint},
        {"nxhost", {"--timeout", "2m", "Shutdown"}, "nxhost: --timeout needs a whole number", nxhostHint},
        {"mapiadmin", {}, "mapiadmin: no command given", mapiadminHint},
        {"mapiadmin",
         {"folder", "list", "--files"},
         "mapiadmin: option --files needs a value",
         mapiadminHint},
        {"mapiadmin", {"store"}, "mapiadmin: \"store\" needs a sub-command", mapiadminHint},
        {"deltatrack", {}, "deltatrack: no command", deltatrackHint},
        {"deltatrack", {"list", "--bogus"}, "deltatrack: unknown option --bogus", deltatrackHint},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + (c.args.empty() ? "" : c.args[0]));
        const ProcessResult r = Tool(c.tool, c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        const std::vector<std::string> lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 2u) << r.err;
        EXPECT_EQ(lines[0].rfind(c.problem, 0), 0u) << r.err;
        EXPECT_EQ(lines[1], c.hint);
    }
    // Every session line that cannot be run is reported, then one hint, which points at the procedures.
    const ProcessResult r = Tool("nxhost", {"-e", "GetContactCont", "-e", "Shutdown x y z"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(Lines(r.err),
              (std::vector<std::string>{"nxhost: -e 1: unknown procedure 'GetContactCont'",
                                        "nxhost: -e 2: Shutdown takes 0 arguments, got 3",
                                        "(run \"nxhost --list\" for the procedures and their arguments)"}))
        << r.err;
}

}  // namespace
}  // namespace nx::test
