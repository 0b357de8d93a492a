// A temporary world for session tests: the real agent (with the MAPI runtime beside it) and its
// trace log and document folder switched on, mapiadmin to build the MAPI world, nxhost to run
// the calls, and readers for what they print and save.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/World.h"

namespace nx::e2e {

// One call as nxhost printed it: the call line and the lines of its [out] values.
struct Call {
    std::string line;
    std::map<std::string, std::string> outs;  // "result" -> "0", "count" -> "3"
};

// An [out] value of a call as nxhost printed it, a text without its quotes; "<none>" when the call
// has no such value.
inline std::string Out(const Call& call, const std::string& key) {
    const auto it = call.outs.find(key);
    if (it == call.outs.end()) return "<none>";
    const std::string& v = it->second;
    return v.size() >= 2 && v.front() == '"' && v.back() == '"' ? v.substr(1, v.size() - 2) : v;
}

class SessionWorld : public World {
public:
    // Installs the agent with the runtime, the trace switch 2 (file) and PIMProfile.ini.
    explicit SessionWorld(bool subFolder = false) {
        m_agent = InstallAgent(true);
        WriteFile(Root() / "config/nx-registry/HKEY_CURRENT_USER.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n\"" +
                      m_agent + "\"=dword:00000002\r\n");
        SetSubFolder(subFolder);
    }

    void SetSubFolder(bool on) {
        WriteFile(Root() / "agent/PIMProfile.ini",
                  std::string("[Outlook]\r\nsubfolder=") + (on ? "true" : "false") + "\r\nXMLPath=Sync\r\n");
    }

    static bool Ready() {
        return HaveMapiRuntime() && std::filesystem::exists(fs::path(NX_BIN_DIR) / "mapiadmin");
    }

    // mapiadmin with the arguments; the last line it printed (the entry id of a create command).
    std::string Admin(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Bin("mapiadmin").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = Run(argv);
        EXPECT_EQ(r.exitCode, 0) << "mapiadmin " << args[0] << ": " << r.out << r.err;
        std::string out = r.out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        const auto nl = out.rfind('\n');
        return nl == std::string::npos ? out : out.substr(nl + 1);
    }

    std::string PutItem(const std::string& folder, const std::string& messageClass,
                        const std::string& subject, const std::string& profile = "") {
        const fs::path file = Root() / ("item" + std::to_string(m_items++) + ".json");
        WriteFile(file, R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" + messageClass +
                            R"("},{"tag":"PR_SUBJECT_W","value":")" + subject + R"("}]})");
        std::vector<std::string> args;
        if (!profile.empty()) args = {"--profile", profile};
        args.insert(args.end(), {"item", "put", folder, file.string()});
        return Admin(args);
    }

    // Runs the calls (one script line each) against a freshly started agent and returns them
    // as nxhost printed them. The agent must end with exit status 0.
    std::vector<Call> Session(const std::vector<std::string>& lines) {
        std::vector<std::string> args = {"--start", m_agent, "--keep-going"};
        for (const auto& l : lines) args.insert(args.end(), {"-e", l});
        const Result r = Host(args);
        m_lastOutput = r.out + r.err;
        EXPECT_EQ(r.exitCode, 0) << m_lastOutput;
        return ParseCalls(r.out);
    }
    const std::string& LastOutput() const { return m_lastOutput; }

    std::string Document(const char* name) const { return ReadFile(Root() / "data/Sync" / name); }

    // The trace log as UTF-8 lines, the tag and the line ends ("\r\n", "\n") removed.
    std::vector<std::string> TraceLines() const {
        const std::string text = TraceText();
        std::vector<std::string> lines;
        const std::string tag = "[NxAgentForOutlook64] ";
        std::size_t at = 0;
        while ((at = text.find(tag, at)) != std::string::npos) {
            const std::size_t start = at + tag.size();
            std::size_t end = text.find(tag, start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            lines.push_back(line);
            at = start;
        }
        return lines;
    }

    // The trace lines, each ended by "\n", as one text to search.
    std::string JoinedTrace() const {
        std::string text;
        for (const auto& l : TraceLines()) text += l + "\n";
        return text;
    }

    static std::vector<Call> ParseCalls(const std::string& out) {
        std::vector<Call> calls;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("> ", 0) == 0) {
                calls.push_back({line.substr(2), {}});
            } else if (!calls.empty() && line.rfind("   ", 0) == 0) {
                const auto eq = line.find(" = ");
                if (eq != std::string::npos) calls.back().outs[line.substr(3, eq - 3)] = line.substr(eq + 3);
            }
        }
        return calls;
    }

    // Every entry id of the MAPI world (stores and folders) with a readable name for it:
    // "{store:Name}" and "{Store/Folder/...}" as mapiadmin lists them.
    std::map<std::string, std::string> EntryIdNames() {
        std::map<std::string, std::string> names;
        const Result stores = Run({Bin("mapiadmin").string(), "store", "list"});
        std::istringstream s(stores.out);
        std::string line;
        while (std::getline(s, line)) {
            // "Name  HEX[  default][  long-term-ids]"
            std::vector<std::string> parts = SplitTwoSpaces(line);
            if (parts.size() >= 2) names[parts[1]] = "{store:" + parts[0] + "}";
        }
        const Result folders = Run({Bin("mapiadmin").string(), "folder", "list"});
        std::istringstream f(folders.out);
        std::vector<std::string> path;
        while (std::getline(f, line)) {
            std::size_t indent = 0;
            while (indent < line.size() && line[indent] == ' ') ++indent;
            std::vector<std::string> parts = SplitTwoSpaces(line.substr(indent));
            if (parts.size() < 2) continue;
            path.resize(indent / 2);
            path.push_back(parts[0]);
            std::string joined;
            for (const auto& p : path) joined += (joined.empty() ? "" : "/") + p;
            if (indent > 0) names[parts.back()] = "{" + joined + "}";
        }
        return names;
    }

    static std::string ReplaceIds(std::string text, const std::map<std::string, std::string>& names) {
        for (const auto& [id, name] : names) {
            std::size_t at = 0;
            while ((at = text.find(id, at)) != std::string::npos) {
                text.replace(at, id.size(), name);
                at += name.size();
            }
        }
        return text;
    }

private:
    static std::vector<std::string> SplitTwoSpaces(const std::string& line) {
        std::vector<std::string> parts;
        std::size_t at = 0;
        while (at <= line.size()) {
            const auto next = line.find("  ", at);
            parts.push_back(line.substr(at, next == std::string::npos ? std::string::npos : next - at));
            if (next == std::string::npos) break;
            at = next + 2;
        }
        return parts;
    }

    std::string m_agent;
    std::string m_lastOutput;
    int m_items = 0;
};

}  // namespace nx::e2e

// A world that cannot be made (the MAPI runtime or mapiadmin missing) fails the test rather than
// skipping it: both are targets of this tree, so their absence is a broken build.
#define NX_REQUIRE_WORLD() \
    ASSERT_TRUE(::nx::e2e::SessionWorld::Ready()) << "libmapi32.so or mapiadmin is missing from the build"
