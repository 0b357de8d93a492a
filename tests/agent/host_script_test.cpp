#include <gtest/gtest.h>

#include <map>
#include <string>

#include "agent/Interfaces.h"
#include "tools/nxhost/HostScript.h"

using nx::host::ParseScriptLine;
using nx::host::ScriptStep;

namespace {

bool Files(const std::string& path, std::string& content, std::string& error) {
    static const std::map<std::string, std::string> files = {{"contact.xml", "<contact>\xC3\xA9</contact>\n"},
                                                             {"big.txt", std::string(3001, 'b')}};
    const auto it = files.find(path);
    if (it == files.end()) {
        error = "No such file or directory";
        return false;
    }
    content = it->second;
    return true;
}

TEST(HostScript, ParsesCallsOfEveryArgumentShape) {
    struct Case {
        const char* line;
        uint16_t opnum;
        std::vector<std::u16string> inputs;
    } cases[] = {
        {"GetAppProfile x", nx::agent::kGetAppProfile, {u"x"}},
        {"  mapilogon  ", nx::agent::kMAPILogOn, {u""}},
        {"MAPILogOn O", nx::agent::kMAPILogOn, {u"O"}},
        {"MAPILogOn \"\\u00e9\"", nx::agent::kMAPILogOn, {u"\u00E9"}},
        {"SetContactFolder \"<id>00 AB</id>\"", nx::agent::kSetContactFolder, {u"<id>00 AB</id>"}},
        {"ReadContacts \"\" \"\"", nx::agent::kReadContacts, {u"", u""}},
        {"ReadCalendars a", nx::agent::kReadCalendars, {u"a", u""}},
        {"WriteContacts @contact.xml", nx::agent::kWriteContacts, {u"<contact>\u00E9</contact>\n"}},
        {"WriteCalendars \"@literal\"", nx::agent::kWriteCalendars, {u"@literal"}},
        {"GetContactFolder \"a\\0b\\\"\\\\\\n\\t\\x41\\U01F600\\uD800\"",
         nx::agent::kGetContactFolder,
         {std::u16string(u"a") + char16_t(0) + u"b\"\\\n\tA\U0001F600" + char16_t(0xD800)}},
        {"NoOperation", nx::agent::kNoOperation, {u""}},
        {"GetContactCount", nx::agent::kGetContactCount, {}},
        {"Shutdown", nx::agent::kShutdown, {}},
        {"BindCallback", nx::agent::kBindCallback, {}},
    };
    for (const auto& c : cases) {
        std::optional<ScriptStep> step;
        std::string error;
        ASSERT_TRUE(ParseScriptLine(c.line, Files, step, error)) << c.line << ": " << error;
        ASSERT_TRUE(step.has_value()) << c.line;
        EXPECT_EQ(step->opnum, c.opnum) << c.line;
        EXPECT_EQ(step->inputs, c.inputs) << c.line;
    }
}

TEST(HostScript, CommentsBlanksAndSleep) {
    for (const char* line : {"", "   ", "# GetAppProfile x", "\t# x"}) {
        std::optional<ScriptStep> step;
        std::string error;
        EXPECT_TRUE(ParseScriptLine(line, Files, step, error));
        EXPECT_FALSE(step.has_value()) << line;
    }
    std::optional<ScriptStep> step;
    std::string error;
    ASSERT_TRUE(ParseScriptLine("sleep 250", Files, step, error));
    EXPECT_EQ(step->kind, ScriptStep::Kind::Sleep);
    EXPECT_EQ(step->sleepMs, 250u);
}

TEST(HostScript, RejectsWhatCannotBeCalledWithAClearReason) {
    struct Case {
        const char* line;
        const char* error;  // a part of the message
    } cases[] = {
        {"GetAppProfil x", "unknown procedure 'GetAppProfil'"},
        {"MAPILogOn OO", "profile is one character, got 2"},
        {"MAPILogOn \"\\U01F600\"", "one character, got 2"},
        {"GetAppProfile a b", "GetAppProfile takes 1 argument, got 2"},
        {"Shutdown now", "Shutdown takes 0 arguments, got 1"},
        {"GetContactFolder @big.txt", "buffer holds 3000 units, got 3001"},
        {"WriteContacts @missing.xml", "cannot read missing.xml: No such file"},
        {"WriteContacts @", "'@' needs a file name"},
        {"GetAppProfile \"open", "no closing"},
        {"GetAppProfile \"a\\q\"", "unknown escape \\q"},
        {"GetAppProfile \"\\u12\"", "\\u needs 4 hex digits"},
        {"GetAppProfile \"\\U110000\"", "beyond U+10FFFF"},
        {"GetAppProfile \"a\"b", "followed by a blank"},
        {"sleep", "sleep needs one number"},
        {"sleep -1", "sleep needs one number"},
        {"sleep 9999999", "sleep needs one number"},
        {"GetContactCount =>", "needs name and value pairs"},
        {"GetContactCount => count", "needs name and value pairs"},
        {"GetContactCount => total 3", "GetContactCount has no [out] value 'total'"},
        {"GetAppProfile x => profiles x", "has no [out] value 'profiles'"},
        {"sleep 5 => result 0", "sleep has no values to expect"},
    };
    for (const auto& c : cases) {
        std::optional<ScriptStep> step;
        std::string error;
        EXPECT_FALSE(ParseScriptLine(c.line, Files, step, error)) << c.line;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.line << " -> " << error;
    }
}

TEST(HostScript, TheLastWritesIdentifierFillsItsPlaceholder) {
    struct Case {
        std::u16string input;
        std::u16string identifier;
        bool filled;
        std::u16string result;
    };
    const Case cases[] = {
        {u"<PIMID>{identifier}</PIMID>{identifier}", u"00AB", true, u"<PIMID>00AB</PIMID>00AB"},
        {u"<PIMID>{identifier}</PIMID>", u"", false, u"<PIMID>{identifier}</PIMID>"},
        {u"no placeholder", u"", true, u"no placeholder"},
        {u"{identifier", u"00AB", true, u"{identifier"},
    };
    for (const Case& c : cases) {
        ScriptStep step;
        step.inputs = {c.input};
        EXPECT_EQ(nx::host::FillIdentifier(step, c.identifier), c.filled);
        EXPECT_EQ(step.inputs[0], c.result);
    }
}

TEST(HostScript, ArgsCarryTheInputsAndPadTheFolderBuffer) {
    std::optional<ScriptStep> step;
    std::string error;
    ASSERT_TRUE(ParseScriptLine("GetContactFolder abc", Files, step, error));
    nx::rpc::Args args = nx::host::MakeArgs(*step);
    ASSERT_EQ(args.Array(0).size(), 3000u);
    EXPECT_EQ(args.Array(0)[2], u'c');
    EXPECT_EQ(args.Array(0)[3], char16_t(0));
    ASSERT_TRUE(ParseScriptLine("MAPILogOn", Files, step, error));
    EXPECT_EQ(nx::host::MakeArgs(*step).WChar(0), char16_t(0));
    ASSERT_TRUE(ParseScriptLine("ReadContacts x y", Files, step, error));
    args = nx::host::MakeArgs(*step);
    EXPECT_EQ(args.Text(0), u"x");
    EXPECT_EQ(args.Text(1), u"y");
}

}  // namespace

TEST(HostScript, ExpectationsCompareOutValuesAsPrinted) {
    std::optional<ScriptStep> step;
    std::string error;
    ASSERT_TRUE(
        ParseScriptLine("WriteContacts \"=>\" => identifier 00AB time \"\" RESULT 0", Files, step, error))
        << error;
    EXPECT_EQ(step->inputs, std::vector<std::u16string>{u"=>"});
    nx::rpc::Args args = nx::host::MakeArgs(*step);
    args.Text(1) = u"00AB";
    EXPECT_TRUE(nx::host::CheckExpectations(*step, args).empty());
    args.Text(1) = u"00AC";
    args.Long(3) = 1;
    const auto problems = nx::host::CheckExpectations(*step, args);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0], "identifier is \"00AC\", expected \"00AB\"");
    EXPECT_EQ(problems[1], "result is \"1\", expected \"0\"");

    ASSERT_TRUE(ParseScriptLine("GetContactFolder abc => buffer abc result 1", Files, step, error)) << error;
    args = nx::host::MakeArgs(*step);
    args.Long(1) = 1;
    EXPECT_TRUE(nx::host::CheckExpectations(*step, args).empty());
    args.Array(0)[1] = u'x';
    EXPECT_EQ(nx::host::CheckExpectations(*step, args).size(), 1u);
}
