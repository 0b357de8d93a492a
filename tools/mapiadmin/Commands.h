// The commands of mapiadmin, one file per noun (ProfileCommands.cpp: init and profile,
// StoreCommands.cpp, FolderCommands.cpp, ItemCommands.cpp). CommandLine.cpp parses the command
// line into Options and picks one of these; each writes its result to `out` and throws
// CommandError or InputError on failure.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace nx::mapiadmin {

struct Options {
    std::string profile;  // --profile; empty: the default profile
    bool json = false;    // --json: machine-readable listing
    bool makeDefault = false;
    bool longTermIds = false;
    bool standardFolders = false;
    bool parents = false;
    std::optional<std::string> containerClass;
    std::string output;    // -o / --output
    std::string filesDir;  // --files
    std::vector<std::string> args;
};

void CmdInit(const Options& o, std::ostream& out);
void CmdProfileList(const Options& o, std::ostream& out);
void CmdProfileCreate(const Options& o, std::ostream& out);
void CmdProfileDelete(const Options& o, std::ostream& out);
void CmdProfileSetDefault(const Options& o, std::ostream& out);
void CmdStoreList(const Options& o, std::ostream& out);
void CmdStoreCreate(const Options& o, std::ostream& out);
void CmdStoreDelete(const Options& o, std::ostream& out);
void CmdFolderList(const Options& o, std::ostream& out);
void CmdFolderShow(const Options& o, std::ostream& out);
void CmdFolderCreate(const Options& o, std::ostream& out);
void CmdFolderDelete(const Options& o, std::ostream& out);
void CmdItemPut(const Options& o, std::ostream& out);
void CmdItemUpdate(const Options& o, std::ostream& out);
void CmdItemList(const Options& o, std::ostream& out);
void CmdItemDump(const Options& o, std::ostream& out);
void CmdItemDelete(const Options& o, std::ostream& out);

}  // namespace nx::mapiadmin
