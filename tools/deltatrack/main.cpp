// deltatrack: lists, shows and forgets the states the change journal keeps per (category,
// source, anchor). docs/journal.md describes the journal; the usage text below is the manual.
// A bad command line exits 2 with the problem and a one-line hint (as mapiadmin and nxhost do).
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "NxVersion.h"
#include "common/DateTime.h"
#include "journal/JournalStore.h"
#include "platform/system/Utf.h"

namespace {

using nx::journal::AnchorInfo;
using nx::journal::JournalKey;
using nx::journal::JournalStore;
using nx::journal::StoredItem;

constexpr const char* kUsage = R"(usage: deltatrack COMMAND [ARGUMENTS] [OPTIONS]

Lists, shows and forgets the states the agent's change journal keeps, one per (category,
source, anchor) of the host's change reads (docs/journal.md describes the journal).

Commands
  list [--json]                        every state the journal keeps: category, source, anchor,
                                       committed items, last commit time, staged changes
  show ANCHOR [--category C] [--source S] [--staged] [--json]
                                       the committed state kept under ANCHOR: identifier,
                                       modification time and time status of each item
  forget ANCHOR [--category C] [--source S]
                                       drop the state kept under ANCHOR, so the next change read
                                       under it reports every item new (the host's full resync)

Options
  --category C   only the state of category C ("contact" or "calendar")
  --source S     only the state of source S
  --staged       show: the changes staged by a change read not yet committed, with their names
  --json         list, show: machine-readable output
  --version      the release: "deltatrack (NxAgentForOutlook64) x.y.z"
  -h, --help     this text

Without --category and --source, show and forget apply to every state kept under ANCHOR (the
contact and the calendar state alike). The journal is $XDG_DATA_HOME/nxjournal/journal.db;
the tool never creates one.

Examples
  deltatrack list
  deltatrack show sync-1 --category contact --json
  deltatrack forget sync-1             the next change read under sync-1 reports every item new

Exit status: 0 success, 1 journal failure, 2 bad command line, 4 anchor not found.
)";

constexpr int kExitFailure = 1, kExitUsage = 2, kExitNotFound = 4;

struct UsageError {
    std::string message;
};

struct Options {
    std::string command;
    std::vector<std::string> args;
    std::optional<std::string> category, source;
    bool json = false, staged = false;
};

Options Parse(int argc, char** argv) {
    Options o;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsDone || a.size() < 2 || a[0] != '-') {
            (o.command.empty() ? o.command : o.args.emplace_back()) = a;
            continue;
        }
        const auto value = [&](std::optional<std::string>& to) {
            if (i + 1 >= argc) throw UsageError{"option " + a + " needs a value"};
            to = argv[++i];
        };
        if (a == "--") {
            optionsDone = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--staged") {
            o.staged = true;
        } else if (a == "--category") {
            value(o.category);
        } else if (a == "--source") {
            value(o.source);
        } else if (a == "-h" || a == "--help") {
            o.command = "help";
        } else if (a == "--version") {
            o.command = "version";
        } else {
            throw UsageError{"unknown option " + a};
        }
    }
    const bool takesAnchor = o.command == "show" || o.command == "forget";
    if (o.command.empty()) throw UsageError{"no command"};
    if (o.command != "list" && !takesAnchor && o.command != "help" && o.command != "version")
        throw UsageError{"unknown command " + o.command};
    if (o.args.size() != (takesAnchor ? 1u : 0u))
        throw UsageError{o.command + (takesAnchor ? " takes one ANCHOR" : " takes no arguments")};
    if (!takesAnchor && (o.category || o.source))
        throw UsageError{"--category and --source go with show and forget"};
    if (o.staged && o.command != "show") throw UsageError{"--staged goes with show"};
    if (o.json && o.command == "forget") throw UsageError{"forget has no --json"};
    return o;
}

std::string CommitTime(const std::optional<int64_t>& ms) {
    if (!ms) return "never";
    const std::time_t seconds = static_cast<std::time_t>(*ms / 1000);
    std::tm utc{};
    char text[64];
    if (!gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc))
        return "?";
    return text;
}

std::string StatusName(int32_t status) {
    switch (status) {
        case NX_LOG_TIME_VALID:
            return "valid";
        case NX_LOG_TIME_INVALID:
            return "invalid";
        case NX_LOG_TIME_NULL:
            return "null";
        default:
            return std::to_string(status);
    }
}

std::string ChangeName(int32_t change) {
    switch (change) {
        case NX_LOG_NEW:
            return "new";
        case NX_LOG_CHANGED:
            return "changed";
        case NX_LOG_DELETED:
            return "deleted";
        default:
            return std::to_string(change);
    }
}

nlohmann::json KeyJson(const JournalKey& k) {
    return {{"category", k.category}, {"source", k.source}, {"anchor", k.anchor}};
}

void Print(const nlohmann::json& j) {
    std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

int List(JournalStore& store, const Options& o) {
    const std::vector<AnchorInfo> anchors = store.Anchors();
    if (o.json) {
        nlohmann::json out = nlohmann::json::array();
        for (const AnchorInfo& a : anchors) {
            nlohmann::json j = KeyJson(a.key);
            j["items"] = a.itemCount;
            j["lastCommit"] = a.committedAt ? nlohmann::json(CommitTime(a.committedAt)) : nlohmann::json();
            j["stagedChanges"] = a.stagedChanges ? nlohmann::json(*a.stagedChanges) : nlohmann::json();
            out.push_back(std::move(j));
        }
        Print(out);
        return 0;
    }
    for (const AnchorInfo& a : anchors) {
        std::cout << a.key.category << "  " << a.key.source << "  " << a.key.anchor << "  " << a.itemCount
                  << " items  last commit " << CommitTime(a.committedAt);
        if (a.stagedChanges) std::cout << "  (" << *a.stagedChanges << " changes staged)";
        std::cout << "\n";
    }
    return 0;
}

std::vector<JournalKey> Matching(JournalStore& store, const Options& o) {
    std::vector<JournalKey> keys;
    for (const AnchorInfo& a : store.Anchors())
        if (a.key.anchor == o.args[0] && (!o.category || a.key.category == *o.category) &&
            (!o.source || a.key.source == *o.source))
            keys.push_back(a.key);
    return keys;
}

int Show(JournalStore& store, const Options& o) {
    const std::vector<JournalKey> keys = Matching(store, o);
    if (keys.empty()) {
        std::cerr << "deltatrack: no state kept under anchor \"" << o.args[0] << "\"\n";
        return kExitNotFound;
    }
    nlohmann::json out = nlohmann::json::array();
    for (const JournalKey& key : keys) {
        const std::vector<StoredItem> items = o.staged ? store.StagedItems(key) : store.CommittedItems(key);
        nlohmann::json list = nlohmann::json::array();
        if (!o.json) std::cout << key.category << "  " << key.source << "  " << key.anchor << "\n";
        for (const StoredItem& item : items) {
            const NAMESPACE_COMMON::CDateTime time(
                item.time.value, static_cast<NAMESPACE_COMMON::CDateTime::DateTimeStatus>(item.time.status));
            const std::string id = nx::sys::Utf16ToUtf8(item.id);
            if (o.json) {
                nlohmann::json j = {{"id", id},
                                    {"time", time.Format(NAMESPACE_COMMON::kDateTimePattern)},
                                    {"value", item.time.value},
                                    {"status", StatusName(item.time.status)}};
                if (o.staged) j["change"] = ChangeName(item.change);
                list.push_back(std::move(j));
            } else {
                std::cout << "  " << id << "  " << time.Format(NAMESPACE_COMMON::kDateTimePattern) << "  "
                          << StatusName(item.time.status);
                if (o.staged) std::cout << "  " << ChangeName(item.change);
                std::cout << "\n";
            }
        }
        if (o.json) {
            nlohmann::json j = KeyJson(key);
            j[o.staged ? "staged" : "items"] = std::move(list);
            out.push_back(std::move(j));
        }
    }
    if (o.json) Print(out);
    return 0;
}

int Forget(JournalStore& store, const Options& o) {
    const std::vector<JournalKey> keys = Matching(store, o);
    if (keys.empty()) {
        std::cerr << "deltatrack: no state kept under anchor \"" << o.args[0] << "\"\n";
        return kExitNotFound;
    }
    for (const JournalKey& key : keys) {
        store.Forget(key);
        std::cout << "forgot " << key.category << "  " << key.source << "  " << key.anchor << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "deltatrack: " << e.message << "\n(run \"deltatrack --help\" for the commands)\n";
        return kExitUsage;
    }
    if (o.command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (o.command == "version") {
        std::cout << nx::VersionLine("deltatrack") << "\n";
        return 0;
    }
    try {
        // The tool creates nothing: a missing journal is an empty one.
        const std::string path = nx::journal::DefaultJournalPath();
        std::error_code error;
        if (!path.empty() && !std::filesystem::exists(path, error)) {
            if (o.command == "list") return 0;
            std::cerr << "deltatrack: no state kept under anchor \"" << o.args[0] << "\" (no journal yet)\n";
            return kExitNotFound;
        }
        JournalStore store(path, false);
        if (o.command == "list") return List(store, o);
        if (o.command == "show") return Show(store, o);
        return Forget(store, o);
    } catch (const std::exception& e) {
        std::cerr << "deltatrack: " << e.what() << "\n";
        return kExitFailure;
    }
}
