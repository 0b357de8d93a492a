// The end-to-end world with a MAPI store: the agent installed with the runtime beside it, its trace
// log and document folder switched on, mapiadmin to build the stores and put items in them, nxhost
// to run sessions (saving every document the agent delivers), and readers for what they print,
// save and trace. The same world serves every item kind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/World.h"
#include "tests/support/MapiAdmin.h"

namespace nx::e2e {

inline const std::string kContacts = "Personal Folders/Top of Personal Folders/Contacts";
inline const std::string kCalendar = "Personal Folders/Top of Personal Folders/Calendar";

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

// One delivered document as nxhost saved it.
struct Delivered {
    std::string xml;
    std::string picture;  // the bytes of its picture file, when it had one
    bool hasPicture = false;
};

// The text of the first <name>...</name> of a document, "<none>" when absent ("" for <name/>).
inline std::string Element(const std::string& xml, const std::string& name) {
    const std::string open = "<" + name;
    std::size_t at = 0;
    while ((at = xml.find(open, at)) != std::string::npos) {
        const std::size_t after = at + open.size();
        if (after < xml.size() && (xml[after] == '>' || xml[after] == ' ' || xml[after] == '/')) break;
        at = after;
    }
    if (at == std::string::npos) return "<none>";
    const std::size_t gt = xml.find('>', at);
    if (gt == std::string::npos) return "<none>";
    if (xml[gt - 1] == '/') return "";
    const std::size_t end = xml.find("</" + name + ">", gt);
    return end == std::string::npos ? "<none>" : xml.substr(gt + 1, end - gt - 1);
}

// The first document whose `element` text is `text`, null when there is none.
inline const Delivered* ByElement(const std::vector<Delivered>& docs, const std::string& element,
                                  const std::string& text) {
    for (const auto& d : docs)
        if (Element(d.xml, element) == text) return &d;
    return nullptr;
}

// The calls of a session doing `times` change reads (`method`: "ReadContacts", "ReadCalendars")
// under one anchor.
inline std::vector<std::string> ChangeRead(const std::string& method, const std::string& anchor,
                                           int times = 1) {
    std::vector<std::string> lines = {"MAPILogOn"};
    for (int i = 0; i < times; ++i) lines.push_back(method + " \"\" \"" + anchor + "\"");
    lines.insert(lines.end(), {"MAPILogOff", "Shutdown"});
    return lines;
}

// "<name>:lFlag" of each document (its `nameElement` text), and "-<ids name>:lFlag" for a deletion
// notice, sorted.
inline std::vector<std::string> Summary(const std::vector<Delivered>& docs,
                                        const std::map<std::string, std::string>& ids,
                                        const std::string& nameElement) {
    std::vector<std::string> out;
    for (const auto& d : docs) {
        const std::string flag = Element(d.xml, "lFlag");
        const std::string name = Element(d.xml, nameElement);
        if (name != "<none>") {
            out.push_back(name + ":" + flag);
            continue;
        }
        const auto it = ids.find(Element(d.xml, "PIMID"));
        out.push_back("-" + (it == ids.end() ? Element(d.xml, "PIMID") : it->second) + ":" + flag);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class StoreWorld : public World, public nx::test::MapiAdmin {
public:
    // Installs the agent with the runtime, the trace switch 2 (file) and PIMProfile.ini, and makes
    // mapiadmin init's default profile "Outlook" with its store and standard folders.
    StoreWorld() : MapiAdmin(Bin("mapiadmin"), Root()) {
        m_agent = InstallAgent(true);
        WriteWholeFile(Root() / "config/nx-registry/HKEY_CURRENT_USER.reg",
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n\"" +
                           m_agent + "\"=dword:00000002\r\n");
        SetSubFolder(false);
        SetEnv("TZ", "Europe/Berlin");  // times in the documents are this machine's local time
        Admin({"init"});
    }

    static bool Ready() {
        return HaveMapiRuntime() && std::filesystem::exists(fs::path(NX_BIN_DIR) / "mapiadmin");
    }

    void SetSubFolder(bool on) {
        WriteWholeFile(Root() / "agent/PIMProfile.ini", std::string("[Outlook]\r\nsubfolder=") +
                                                            (on ? "true" : "false") + "\r\nXMLPath=Sync\r\n");
    }

    const std::string& Agent() const { return m_agent; }
    fs::path WorkFolder() const { return Root() / "data/Outlook"; }
    std::string Document(const char* name) const { return ReadWholeFile(Root() / "data/Sync" / name); }

    // A contact of the given JSON property entries (comma-separated, without the brackets).
    std::string PutContact(const std::string& folder, const std::string& properties,
                           const std::string& attachments = "",
                           const std::string& messageClass = "IPM.Contact") {
        std::string json = R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" + messageClass +
                           R"("})" + (properties.empty() ? "" : "," + properties) + "]";
        if (!attachments.empty()) json += R"(,"attachments":[)" + attachments + "]";
        return Put(folder, json + "}");
    }

    // An appointment (or another item of the calendar folder) of the given JSON property entries.
    std::string PutAppointment(const std::string& folder, const std::string& properties,
                               const std::string& messageClass = "IPM.Appointment") {
        return Put(folder, R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" + messageClass +
                               R"("},)" + properties + "]}");
    }

    // Runs the calls (one script line each) against a freshly started agent, nxhost going on after a
    // failed call and given `extra` options; returns the documents of the kind ("contact",
    // "calendar") it received, in order. Output(), ExitCode() and Calls() tell the rest.
    std::vector<Delivered> Read(const std::vector<std::string>& lines, std::vector<std::string> extra = {},
                                const char* kind = "contact") {
        const fs::path save = Root() / ("saved" + std::to_string(m_reads++));
        std::vector<std::string> args = {"--start", m_agent, "--keep-going", "--save", save.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        for (const auto& l : lines) args.insert(args.end(), {"-e", l});
        const Result r = Host(args, 120);
        m_output = r.out + r.err;
        m_exitCode = r.exitCode;
        m_calls = ParseCalls(r.out);
        std::vector<Delivered> docs;
        for (int n = 1;; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "%s-%04d", kind, n);
            const fs::path xml = save / (std::string(name) + ".xml");
            if (!fs::exists(xml)) break;
            Delivered d;
            d.xml = ReadWholeFile(xml);
            const fs::path jpg = save / (std::string(name) + ".jpg");
            d.hasPicture = fs::exists(jpg);
            if (d.hasPicture) d.picture = ReadWholeFile(jpg);
            docs.push_back(std::move(d));
        }
        return docs;
    }

    // Runs the calls like Read, for sessions whose agent must end with exit status 0; the calls as
    // nxhost printed them.
    std::vector<Call> Session(const std::vector<std::string>& lines) {
        Read(lines);
        EXPECT_EQ(m_exitCode, 0) << m_output;
        return m_calls;
    }

    const std::string& Output() const { return m_output; }
    int ExitCode() const { return m_exitCode; }
    const std::vector<Call>& Calls() const { return m_calls; }
    // The result of the n-th call of the last session ("<none>" when it did not run).
    std::string ResultOf(std::size_t n) const {
        return n < m_calls.size() ? Out(m_calls[n], "result") : "<none>";
    }

    // Runs nxhost's session script `path` against the agent, which must end with exit status 0; the
    // calls as nxhost printed them. A bare name is tools/nxhost/sessions/<name>.nxh.
    std::vector<Call> RunScript(const std::string& path) {
        const std::string script =
            path.find('/') != std::string::npos
                ? path
                : std::string(NX_SOURCE_DIR) + "/tools/nxhost/sessions/" + path + ".nxh";
        const Result r = Host({"--start", m_agent, "--script", script});
        m_output = r.out + r.err;
        EXPECT_EQ(r.exitCode, 0) << m_output;
        return ParseCalls(r.out);
    }

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

    // The trace log with each entry id of the world's stores and folders, and of `items`, replaced
    // by its name, so that it reads the same in every world.
    std::vector<std::string> NamedTrace(const std::map<std::string, std::string>& items = {}) {
        auto names = EntryIdNames();
        names.insert(items.begin(), items.end());
        std::vector<std::string> lines;
        for (const auto& l : TraceLines()) lines.push_back(ReplaceIds(l, names));
        return lines;
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
    int m_reads = 0;
    int m_exitCode = -1;
    std::string m_output;
    std::vector<Call> m_calls;
};

}  // namespace nx::e2e

// A world that cannot be made (the MAPI runtime or mapiadmin missing) fails the test rather than
// skipping it: both are targets of this tree, so their absence is a broken build.
#define NX_REQUIRE_WORLD() \
    ASSERT_TRUE(::nx::e2e::StoreWorld::Ready()) << "libmapi32.so or mapiadmin is missing from the build"
