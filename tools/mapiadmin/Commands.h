// The commands of mapiadmin. main.cpp parses the command line into Options and calls one of
// these; each writes its result to `out` and throws CommandError or InputError on failure.
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

// Splits a folder path at "/" ("\/" is a slash inside a name, "\\" a backslash; a trailing "/"
// is ignored). std::nullopt for an empty component or a dangling backslash.
std::optional<std::vector<std::string>> SplitFolderPath(const std::string& path);

// True when the argument names an object by entry id: hex digits only (an optional 0x prefix),
// an even count, at least 8.
bool LooksLikeEntryId(const std::string& arg);

}  // namespace nx::mapiadmin
