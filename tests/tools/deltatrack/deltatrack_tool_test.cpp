// The deltatrack tool against a journal written through the C ABI (the library's code linked
// into this test): its listing, its views of a state, forgetting, and its exit codes.
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/journal/JournalWorld.h"
#include "tests/support/Process.h"

namespace nx::test {
namespace {

class DeltatrackToolTest : public JournalWorld {
protected:
    // Commits `ids` (time 1) under the key, or only stages them.
    static void Put(const char16_t* category, const char16_t* anchor, std::vector<std::u16string> ids,
                    bool commit) {
        const tagChangeRequest request{category, u"pim", anchor};
        CLogItemArray a;
        for (const auto& id : ids) a.Add(id, 1, 0);
        ASSERT_GT(GetChangeLog(a.get(), &request), 0);
        if (commit) {
            ASSERT_EQ(CommitChangeLog(&request), 1);
        }
    }
    // The tool with blank-separated arguments, its errors joined to its output.
    static ProcessResult Tool(const std::string& args) {
        std::vector<std::string> argv = {NX_BIN_DIR "/deltatrack"};
        std::istringstream words(args);
        for (std::string w; words >> w;) argv.push_back(w);
        SpawnOptions options;
        options.errToOut = true;
        return RunProcess(argv, 60, std::move(options));
    }
};

TEST_F(DeltatrackToolTest, ListsShowsAndForgetsStates) {
    Put(u"contact", u"A1", {u"C1", u"C2", u"C3"}, true);
    Put(u"calendar", u"A1", {u"E1"}, true);
    Put(u"contact", u"B", {u"C7", u"C8"}, false);
    struct Case {
        const char* args;
        int exitCode;
        std::vector<const char*> shows;
    } cases[] = {
        {"list",
         0,
         {"calendar  pim  A1  1 items  last commit 2",
          "contact  pim  B  0 items  last commit never  (2 changes staged)"}},
        {"show A1", 0, {"calendar  pim  A1\n  E1  1899/12/31 00:00:00  valid", "contact  pim  A1\n  C1  "}},
        {"show B --staged", 0, {"  C7  1899/12/31 00:00:00  valid  new"}},
        {"show nothing-here", 4, {"no state kept under anchor \"nothing-here\""}},
        {"frobnicate", 2, {"unknown command frobnicate", "(run \"deltatrack --help\" for the commands)"}},
        {"show", 2, {"show takes one ANCHOR"}},
        {"list --category contact", 2, {"--category and --source go with show and forget"}},
        {"show A1 --category", 2, {"option --category needs a value"}},
        {"forget A1 --category contact", 0, {"forgot contact  pim  A1"}},
        {"show A1 --category contact", 4, {}},
        {"show A1", 0, {"calendar  pim  A1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const ProcessResult r = Tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        for (const char* text : c.shows) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    }
    // Forgotten: the next change read under the anchor reports every item new.
    const tagChangeRequest request{u"contact", u"pim", u"A1"};
    CLogItemArray a;
    a.Add(u"C1", 1, 0);
    EXPECT_EQ(GetChangeLog(a.get(), &request), 1);
    EXPECT_EQ(a[0].lFlags, NX_LOG_NEW);
}

TEST_F(DeltatrackToolTest, JsonViewsCarryEveryField) {
    Put(u"contact", u"A1", {u"C1", u"C2"}, true);
    const nlohmann::json list = nlohmann::json::parse(Tool("list --json").out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["anchor"], "A1");
    EXPECT_EQ(list[0]["items"], 2);
    EXPECT_TRUE(list[0]["stagedChanges"].is_null());
    const nlohmann::json show = nlohmann::json::parse(Tool("show A1 --json").out);
    ASSERT_EQ(show.size(), 1u);
    ASSERT_EQ(show[0]["items"].size(), 2u);
    EXPECT_EQ(show[0]["items"][1]["id"], "C2");
    EXPECT_EQ(show[0]["items"][1]["value"], 1.0);
    EXPECT_EQ(show[0]["items"][1]["status"], "valid");
}

TEST_F(DeltatrackToolTest, AMissingOrForeignJournal) {
    EXPECT_EQ(Tool("list").exitCode, 0) << "no journal yet: nothing to list";
    EXPECT_EQ(Tool("show A1").exitCode, 4);
    EXPECT_FALSE(fs::exists(DbPath())) << "the tool creates no journal";
    std::ofstream(DbPath()) << std::string(4096, 'x');
    const ProcessResult r = Tool("list");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("not a change journal"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace nx::test
