// mapiadmin.exe with paths outside the process code page: the item file, a value file it names,
// the dump and the files of --files all live in a folder named in Greek and Cyrillic, which the
// Windows (and Wine) code pages of western locales cannot hold. The words reach the tool through
// the wide command line and its files through the wide opens.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/system/Files.h"
#include "platform/system/Win.h"
#include "tests/support/Process.h"
#include "tests/support/TempWorld.h"

namespace {

namespace fs = std::filesystem;
using nx::sys::win::Narrow;
using nx::sys::win::Wide;

std::string ReadAll(const fs::path& p) {
    std::string bytes;
    nx::sys::ReadRegularFile(Narrow(p.wstring()), 1 << 20, bytes);
    return bytes;
}

TEST(WinMapiAdmin, TakesAndWritesPathsOutsideTheCodePage) {
    // The world's APPDATA holds the runtime's profile and store.
    const nx::test::TempWorld world("win-admin");
    const fs::path folder = world.Root() / L"\u03a9\u043c\u0435\u0433\u0430 Zo\u00eb";  // "Ωмега Zoë"
    fs::create_directories(folder);
    const std::string admin = NX_MAPI_RUNTIME_DIR "/mapiadmin.exe";
    const nx::test::SpawnOptions options;
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), admin);
        return nx::test::RunProcess(args, 120, options);
    };
    ASSERT_EQ(run({"init"}).exitCode, 0);

    // The item names a value file beside it by a relative path, as fixtures do.
    nx::sys::WriteFileAtomically(Narrow((folder / L"note \u0436.txt").wstring()), "a note of \xd0\xb6");
    nx::sys::WriteFileAtomically(Narrow((folder / L"item.json").wstring()),
                                 R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":"IPM.Contact"},)"
                                 R"({"tag":"PR_BODY_W","file":"note )"
                                 "\xd0\xb6"
                                 R"(.txt"}],)"
                                 R"("attachments":[{"properties":[{"tag":"PR_ATTACH_METHOD","value":1},)"
                                 R"({"tag":"PR_ATTACH_LONG_FILENAME_W","value":"photo.jpg"},)"
                                 R"({"tag":"PR_ATTACH_DATA_BIN","hex":"FFD8FFE00010"}]}]})");
    const auto put = run({"item", "put", "Personal Folders/Top of Personal Folders/Contacts",
                          Narrow((folder / L"item.json").wstring())});
    ASSERT_EQ(put.exitCode, 0) << put.out << put.err;
    std::string id = put.out;
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();

    const auto dump = run({"item", "dump", id, "-o", Narrow((folder / L"out" / L"dump.json").wstring()),
                           "--files", Narrow((folder / L"out" / L"files").wstring())});
    ASSERT_EQ(dump.exitCode, 0) << dump.out << dump.err;
    const std::string json = ReadAll(folder / L"out" / L"dump.json");
    EXPECT_NE(json.find("a note of \xd0\xb6"), std::string::npos) << json;
    EXPECT_NE(json.find("\"files/attach0-photo.jpg\""), std::string::npos) << json;
    EXPECT_EQ(ReadAll(folder / L"out" / L"files" / L"attach0-photo.jpg"),
              std::string("\xff\xd8\xff\xe0\x00\x10", 6));
}

}  // namespace
