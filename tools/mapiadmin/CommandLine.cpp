#include "tools/mapiadmin/CommandLine.h"

#include <optional>

namespace nx::mapiadmin {

const char* const kUsage = R"(usage: mapiadmin [--profile NAME] COMMAND [ARGUMENTS] [OPTIONS]

Creates and inspects the profiles, message stores, folders and items of the MAPI runtime
(docs/mapiadmin.md is the manual, with the JSON item format).

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

Options (anywhere on the line; --name=value works too; -- ends the options)
  --profile NAME       the profile the store, folder and item commands work on (default: the
                       default profile)
  --json               machine-readable output
  --default            make the new profile or store the default one
  --longterm-ids       the new store's contents tables supply PR_LONGTERM_ENTRYID_FROM_TABLE
  --standard-folders   give the new store the standard folders init makes
  --class CLASS        the container class of the new folder (IPF.Contact, IPF.Appointment, ...)
  -p, --parents        create missing folders above the new one; an existing folder is no error
  -o, --output FILE    write the dump to FILE instead of standard output
  --files DIR          write attachment data and large binary values of the dump to files in DIR
  --version            the release: "mapiadmin (NxAgentForOutlook64) x.y.z"
  -h, --help           this text

FOLDER is a path "Store/Folder/Sub-folder" from the store's root folder, for example
"Personal Folders/Top of Personal Folders/Contacts" ("\/" is a slash inside a name, "\\" a
backslash; a trailing "/" is allowed), or a folder's entry id in hex. Entry ids are upper-case
hex. The runtime keeps its data under $XDG_DATA_HOME/nxmapi.

Examples
  mapiadmin init
  mapiadmin folder create "Personal Folders/Top of Personal Folders/Contacts/Friends" --class IPF.Contact
  id=$(mapiadmin item put "Personal Folders/Top of Personal Folders/Contacts/Friends" ann.json)
  mapiadmin item dump "$id" -o ann-copy.json --files ann-files
  mapiadmin --profile Work store create Archive --standard-folders

Exit status: 0 success, 1 runtime failure, 2 bad command line, 3 bad input file,
4 profile/store/folder/item not found, 5 already exists.
)";

namespace {

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

struct OptionSpec {
    const char* name;   // how messages name it
    const char* alias;  // a short form, or nullptr
    unsigned bit;
    bool takesValue;
    void (*set)(Options&, const std::string& value);
};

// In the order a message names the first option that does not apply.
const OptionSpec kOptions[] = {
    {"--json", nullptr, kJson, false, [](Options& o, const std::string&) { o.json = true; }},
    {"--default", nullptr, kDefault, false, [](Options& o, const std::string&) { o.makeDefault = true; }},
    {"--longterm-ids", nullptr, kLongTerm, false,
     [](Options& o, const std::string&) { o.longTermIds = true; }},
    {"--standard-folders", nullptr, kStandard, false,
     [](Options& o, const std::string&) { o.standardFolders = true; }},
    {"--parents", "-p", kParents, false, [](Options& o, const std::string&) { o.parents = true; }},
    {"--class", nullptr, kClass, true, [](Options& o, const std::string& v) { o.containerClass = v; }},
    {"--output", "-o", kOutput, true, [](Options& o, const std::string& v) { o.output = v; }},
    {"--files", nullptr, kFiles, true, [](Options& o, const std::string& v) { o.filesDir = v; }},
    {"--profile", nullptr, kProfile, true, [](Options& o, const std::string& v) { o.profile = v; }},
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

std::string Name(const Command& c) {
    return std::string(c.group) + (c.verb ? std::string(" ") + c.verb : "");
}

const OptionSpec* FindOption(const std::string& name) {
    for (const auto& spec : kOptions)
        if (name == spec.name || (spec.alias && name == spec.alias)) return &spec;
    return nullptr;
}

// Takes the options out of the arguments into `o` (`seen`: their bits) and returns the words left.
std::vector<std::string> ReadOptions(const std::vector<std::string>& args, Options& o, unsigned& seen) {
    std::vector<std::string> words;
    bool optionsDone = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> value;  // "--name=value"
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        const OptionSpec* spec = FindOption(name);
        if (!spec) throw UsageError{"unknown option " + name};
        if (!spec->takesValue && value) throw UsageError{"option " + name + " takes no value"};
        if (spec->takesValue && !value) {
            if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
            value = args[++i];
        }
        seen |= spec->bit;
        spec->set(o, value.value_or(std::string()));
    }
    return words;
}

// The command's arguments and options are the ones it takes.
void CheckCommand(const Command& c, const std::vector<std::string>& args, unsigned seen) {
    const std::string usage = "usage: mapiadmin " + Name(c) + (*c.argNames ? " " : "") + c.argNames;
    if (args.size() < c.minArgs) throw UsageError{"missing arguments; " + usage};
    if (c.maxArgs != kMany && args.size() > c.maxArgs)
        throw UsageError{"unexpected argument \"" + args[c.maxArgs] + "\"; " + usage};
    if (const unsigned extra = seen & ~c.options)
        for (const auto& spec : kOptions)
            if (extra & spec.bit)
                throw UsageError{std::string("option ") + spec.name + " does not apply to " + Name(c)};
}

// What is wrong with words that name no command.
UsageError UnknownCommand(const std::vector<std::string>& words) {
    std::string verbs;
    for (const auto& c : kCommands)
        if (words[0] == c.group && c.verb) verbs += std::string(verbs.empty() ? "" : ", ") + c.verb;
    if (verbs.empty()) return UsageError{"unknown command \"" + words[0] + "\""};
    if (words.size() >= 2)
        return UsageError{"unknown command \"" + words[0] + " " + words[1] + "\" (" + words[0] +
                          " commands: " + verbs + ")"};
    return UsageError{"\"" + words[0] + "\" needs a sub-command: " + verbs};
}

}  // namespace

bool WantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "-h" || a == "--help" || a == "help") return true;
    }
    return false;
}

const Command& ParseCommandLine(const std::vector<std::string>& args, Options& o) {
    unsigned seen = 0;
    const std::vector<std::string> words = ReadOptions(args, o, seen);
    if (words.empty()) throw UsageError{"no command given"};
    for (const auto& c : kCommands) {
        if (words[0] != c.group) continue;
        if (c.verb && (words.size() < 2 || words[1] != c.verb)) continue;
        o.args.assign(words.begin() + (c.verb ? 2 : 1), words.end());
        CheckCommand(c, o.args, seen);
        return c;
    }
    throw UnknownCommand(words);
}

}  // namespace nx::mapiadmin
