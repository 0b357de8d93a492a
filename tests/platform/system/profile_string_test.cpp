#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/system/DebugOutput.h"
#include "platform/system/ProfileString.h"
#include "tests/platform/system/ScratchDir.h"

using nx::sys::GetPrivateProfileString;
using nx::sys::GetProfileStringFromBytes;

TEST(ProfileString, ReadsValuesWithWindowsProfileSemantics) {
    const std::string file =
        "; comment\r\n"
        "top=before any section\r\n"
        "[Outlook]\r\n"
        "  subfolder  =  TRUE  \r\n"
        "XMLPath=Sync\r\n"
        "quoted=\"  spaced  \"\r\n"
        "single='x'\r\n"
        "half=\"open\r\n"
        "semi=a ; not a comment\r\n"
        "colon:key=c\r\n"
        "eq=a=b\r\n"
        "empty=\r\n"
        "dup=first\r\n"
        "dup=second\r\n"
        "    indented=own line\r\n"
        "no equals sign\r\n"
        "[ other ]\r\n"
        "subfolder=false\r\n"
        "[OUTLOOK]\r\n"
        "late=merged\r\n"
        "dup=third\r\n";
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"Outlook", "subfolder", "TRUE"},
        {"outlook", "SUBFOLDER", "TRUE"},
        {"Outlook", "XMLPath", "Sync"},
        {"Outlook", "quoted", "  spaced  "},
        {"Outlook", "single", "x"},
        {"Outlook", "half", "\"open"},
        {"Outlook", "semi", "a ; not a comment"},
        {"Outlook", "colon:key", "c"},
        {"Outlook", "eq", "a=b"},
        {"Outlook", "empty", ""},
        {"Outlook", "dup", "first"},
        {"Outlook", "indented", "own line"},
        {"Outlook", "late", "merged"},
        {"other", "subfolder", "false"},
        {"Outlook", "missing", "DEF"},
        {"Missing", "subfolder", "DEF"},
        {"", "top", "DEF"},
        {"Outlook", "no equals sign", "DEF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetProfileStringFromBytes(file, c.section, c.key, "DEF", 260), c.expected)
            << c.section << "/" << c.key;
}

TEST(ProfileString, CutsToTheBufferInUtf16UnitsAndTrimsTheDefault) {
    const std::string longValue(1000, 'v');
    const std::string file = "[S]\nlong=" + longValue + "\nwide=\xF0\x9F\x98\x80\xF0\x9F\x98\x80\n";
    struct Case {
        const char* key;
        std::size_t units;
        std::string expected;
    } cases[] = {
        {"long", 260, std::string(259, 'v')},
        {"long", 2000, longValue},
        {"long", 1, ""},
        {"long", 0, ""},
        {"wide", 5, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"wide", 3, "\xF0\x9F\x98\x80"},
        {"wide", 4, "\xF0\x9F\x98\x80\xED\xA0\xBD"},  // the lone high surrogate survives losslessly
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetProfileStringFromBytes(file, "S", c.key, "", c.units), c.expected)
            << c.key << " " << c.units;

    EXPECT_EQ(GetProfileStringFromBytes(file, "S", "none", "dflt   ", 260), "dflt");
    EXPECT_EQ(GetProfileStringFromBytes(file, "S", "none", "abcdef", 4), "abc");
}

using ProfileFile = nx::test::ScratchDir;

TEST_F(ProfileFile, ReadsUtf16AndUtf8MarkedFilesAndMissingFilesGiveTheDefault) {
    std::string wide = "\xFF\xFE";
    for (char c : std::string("[Outlook]\r\nXMLPath=Sync\r\n")) {
        wide += c;
        wide += '\0';
    }
    EXPECT_EQ(GetProfileStringFromBytes(wide, "Outlook", "XMLPath", "", 260), "Sync");
    EXPECT_EQ(
        GetProfileStringFromBytes("\xEF\xBB\xBF[Outlook]\nXMLPath=Sync\n", "Outlook", "XMLPath", "", 260),
        "Sync");

    const auto path = (m_dir / "PIMProfile.ini").string();
    EXPECT_EQ(GetPrivateProfileString("Outlook", "subfolder", "false", 260, path), "false");
    std::ofstream(path) << "[Outlook]\nsubfolder=true\n";
    EXPECT_EQ(GetPrivateProfileString("Outlook", "subfolder", "false", 260, path), "true");

    // What had to be guessed is said with the file's path (the forms themselves: TextFile's test).
    std::string said;
    nx::sys::SetDebugOutputSinkForTesting([&](std::string_view t) { said += std::string(t); });
    const auto utf16 = [](std::string_view ascii, bool little, bool mark) {
        std::string out = mark ? (little ? "\xFF\xFE" : "\xFE\xFF") : "";
        for (char c : ascii) out += little ? std::string{c, '\0'} : std::string{'\0', c};
        return out;
    };
    const std::string text = "[Outlook]\r\nsubfolder=true\r\n";
    struct Case {
        std::string bytes;
        const char* says;  // null: nothing
    } cases[] = {
        {utf16(text, true, false), "UTF-16LE without a byte-order mark"},
        {utf16(text, false, true), nullptr},
        {text + std::string(1u << 20, ';'), "only its first 1 MiB is read"},
    };
    for (const auto& c : cases) {
        said.clear();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        EXPECT_EQ(GetPrivateProfileString("Outlook", "subfolder", "false", 260, path), "true") << said;
        if (c.says) {
            EXPECT_NE(said.find(path + ": "), std::string::npos) << said;
            EXPECT_NE(said.find(c.says), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
    }
    nx::sys::SetDebugOutputSinkForTesting(nullptr);
}
