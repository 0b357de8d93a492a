// mapiadmin: creates and inspects the profiles, stores, folders and items of the MAPI runtime
// (libmapi32.so). docs/mapiadmin.md is the manual; the usage text below is its summary.
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "tools/mapiadmin/Commands.h"
#include "tools/mapiadmin/JsonText.h"
#include "tools/mapiadmin/MapiRuntime.h"

using namespace nx::mapiadmin;

namespace {

constexpr const char* kUsage = R"(usage: mapiadmin [--profile NAME] COMMAND [ARGUMENTS] [OPTIONS]

Profiles and stores
  init                                 create profile "Outlook" (default) with store
                                       "Personal Folders" (default) and the standard folders
  profile list [--json]                list the profiles
  profile create NAME [--default]      create a profile without stores
  profile delete NAME                  delete a profile and its stores
  profile set-default NAME             make NAME the default profile
  store list [--json]                  list the stores of the profile
  store create NAME [--default] [--longterm-ids] [--standard-folders]
                                       add a store; prints its entry id
  store delete NAME                    remove a store and its data

Folders
  folder list [FOLDER] [--json]        the folder tree of every store, or below FOLDER, with
                                       container classes and entry ids
  folder show FOLDER [--json]          print the entry id of FOLDER
  folder create PATH [--class CLASS] [--parents]
                                       create a folder (with --parents also the missing folders
                                       above it, and no error when it exists); prints its entry id
  folder delete FOLDER                 delete a folder with its items and sub-folders

Items
  item put FOLDER FILE.json            create an item (or each item of an array) from its JSON
                                       description ("-" reads standard input); prints the
                                       entry ids, one a line
  item update ENTRYID FILE.json        set the properties of FILE's item on an existing item
                                       ("delete": true removes one) and add its attachments;
                                       the entry id stays, the modification time moves
  item list FOLDER [--json]            entry id, message class and subject of each item
  item dump ENTRYID [-o FILE] [--files DIR]
                                       write the item as JSON (with --files, attachment data and
                                       binary values of 4 KiB or more go to files in DIR)
  item delete ENTRYID...               delete items

FOLDER is a path "Store/Folder/Sub-folder" from the store's root folder, for example
"Personal Folders/Top of Personal Folders/Contacts" ("\/" is a slash inside a name, "\\" a
backslash; a trailing "/" is allowed), or a folder's entry id in hex. Entry ids are upper-case
hex. Without --profile the default profile is used. The runtime keeps its data under
$XDG_DATA_HOME/nxmapi.

Exit status: 0 success, 1 runtime failure, 2 bad command line, 3 bad input file,
4 profile/store/folder/item not found, 5 already exists.
)";

enum Opt : unsigned {
    kJson = 1,
    kDefault = 2,
    kLongTerm = 4,
    kStandard = 8,
    kParents = 16,
    kClass = 32,
    kOutput = 64,
    kFiles = 128,
    kProfile = 256,
};

struct Command {
    const char* group;
    const char* verb;  // nullptr: a command of one word
    unsigned options;
    std::size_t minArgs, maxArgs;
    const char* argNames;
    void (*run)(const Options&, std::ostream&);
};

constexpr std::size_t kMany = static_cast<std::size_t>(-1);

const Command kCommands[] = {
    {"init", nullptr, 0, 0, 0, "", CmdInit},
    {"profile", "list", kJson, 0, 0, "", CmdProfileList},
    {"profile", "create", kDefault, 1, 1, "NAME", CmdProfileCreate},
    {"profile", "delete", 0, 1, 1, "NAME", CmdProfileDelete},
    {"profile", "set-default", 0, 1, 1, "NAME", CmdProfileSetDefault},
    {"store", "list", kProfile | kJson, 0, 0, "", CmdStoreList},
    {"store", "create", kProfile | kDefault | kLongTerm | kStandard, 1, 1, "NAME", CmdStoreCreate},
    {"store", "delete", kProfile, 1, 1, "NAME", CmdStoreDelete},
    {"folder", "list", kProfile | kJson, 0, 1, "[FOLDER]", CmdFolderList},
    {"folder", "show", kProfile | kJson, 1, 1, "FOLDER", CmdFolderShow},
    {"folder", "create", kProfile | kClass | kParents, 1, 1, "PATH", CmdFolderCreate},
    {"folder", "delete", kProfile, 1, 1, "FOLDER", CmdFolderDelete},
    {"item", "put", kProfile, 2, 2, "FOLDER FILE.json", CmdItemPut},
    {"item", "update", kProfile, 2, 2, "ENTRYID FILE.json", CmdItemUpdate},
    {"item", "list", kProfile | kJson, 1, 1, "FOLDER", CmdItemList},
    {"item", "dump", kProfile | kOutput | kFiles, 1, 1, "ENTRYID", CmdItemDump},
    {"item", "delete", kProfile, 1, kMany, "ENTRYID...", CmdItemDelete},
};

struct UsageError {
    std::string message;
};

std::string Name(const Command& c) {
    return std::string(c.group) + (c.verb ? std::string(" ") + c.verb : "");
}

// Parses argv into the command and its options. Options may come anywhere; "--" ends them.
const Command& Parse(const std::vector<std::string>& argv, Options& o) {
    std::vector<std::string> words;
    unsigned seen = 0;
    bool optionsDone = false;
    auto value = [&](std::size_t& i, const std::string& name, const std::string& inlineValue,
                     bool hasInline) {
        if (hasInline) return inlineValue;
        if (i + 1 >= argv.size()) throw UsageError{"option " + name + " needs a value"};
        return argv[++i];
    };
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (optionsDone || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        std::string name = a, inlineValue;
        bool hasInline = false;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
            hasInline = true;
        }
        auto flag = [&](unsigned bit) {
            if (hasInline) throw UsageError{"option " + name + " takes no value"};
            seen |= bit;
        };
        auto text = [&](unsigned bit, std::string& to) {
            seen |= bit;
            to = value(i, name, inlineValue, hasInline);
        };
        if (name == "--profile") {
            text(kProfile, o.profile);
        } else if (name == "--json") {
            flag(kJson);
            o.json = true;
        } else if (name == "--default") {
            flag(kDefault);
            o.makeDefault = true;
        } else if (name == "--longterm-ids") {
            flag(kLongTerm);
            o.longTermIds = true;
        } else if (name == "--standard-folders") {
            flag(kStandard);
            o.standardFolders = true;
        } else if (name == "--parents" || name == "-p") {
            flag(kParents);
            o.parents = true;
        } else if (name == "--class") {
            text(kClass, o.containerClass.emplace());
        } else if (name == "--output" || name == "-o") {
            text(kOutput, o.output);
        } else if (name == "--files") {
            text(kFiles, o.filesDir);
        } else {
            throw UsageError{"unknown option " + name};
        }
    }
    if (words.empty()) throw UsageError{"no command given"};
    for (const auto& c : kCommands) {
        if (words[0] != c.group) continue;
        std::size_t first = 1;
        if (c.verb) {
            if (words.size() < 2 || words[1] != c.verb) continue;
            first = 2;
        }
        o.args.assign(words.begin() + static_cast<std::ptrdiff_t>(first), words.end());
        const std::string usage = "usage: mapiadmin " + Name(c) + (*c.argNames ? " " : "") + c.argNames;
        if (o.args.size() < c.minArgs) throw UsageError{"missing arguments; " + usage};
        if (c.maxArgs != kMany && o.args.size() > c.maxArgs)
            throw UsageError{"unexpected argument \"" + o.args[c.maxArgs] + "\"; " + usage};
        if (const unsigned extra = seen & ~c.options) {
            static const std::pair<unsigned, const char*> kNames[] = {{kJson, "--json"},
                                                                      {kDefault, "--default"},
                                                                      {kLongTerm, "--longterm-ids"},
                                                                      {kStandard, "--standard-folders"},
                                                                      {kParents, "--parents"},
                                                                      {kClass, "--class"},
                                                                      {kOutput, "--output"},
                                                                      {kFiles, "--files"},
                                                                      {kProfile, "--profile"}};
            for (const auto& [bit, n] : kNames)
                if (extra & bit)
                    throw UsageError{std::string("option ") + n + " does not apply to " + Name(c)};
        }
        return c;
    }
    std::string verbs;
    for (const auto& c : kCommands)
        if (words[0] == c.group && c.verb) verbs += std::string(verbs.empty() ? "" : ", ") + c.verb;
    if (verbs.empty()) throw UsageError{"unknown command \"" + words[0] + "\""};
    if (words.size() >= 2)
        throw UsageError{"unknown command \"" + words[0] + " " + words[1] + "\" (" + words[0] +
                         " commands: " + verbs + ")"};
    throw UsageError{"\"" + words[0] + "\" needs a sub-command: " + verbs};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "-h" || a == "--help" || a == "help") {
            std::cout << kUsage;
            return kExitOk;
        }
    }
    Options o;
    const Command* cmd = nullptr;
    try {
        cmd = &Parse(args, o);
    } catch (const UsageError& e) {
        std::cerr << "mapiadmin: " << e.message << "\n(run \"mapiadmin --help\" for the commands)\n";
        return kExitUsage;
    }
    try {
        cmd->run(o, std::cout);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "mapiadmin: error: cannot write the output\n";
            return kExitFailure;
        }
        return kExitOk;
    } catch (const CommandError& e) {
        std::cerr << "mapiadmin: error: " << e.what() << "\n";
        return e.ExitStatus();
    } catch (const InputError& e) {
        // Only item put reads an input file (its second argument).
        const std::string source = o.args.size() > 1 ? (o.args[1] == "-" ? "<stdin>" : o.args[1]) + ": " : "";
        std::cerr << "mapiadmin: error: " << source << e.what() << "\n";
        return kExitInput;
    } catch (const std::exception& e) {
        std::cerr << "mapiadmin: error: " << e.what() << "\n";
        return kExitFailure;
    }
}
