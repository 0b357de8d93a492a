// A session world for contact reads: contacts written with mapiadmin from JSON, nxhost saving
// every delivered document (and a copy of its picture), and readers for what it saved.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e_session/SessionWorld.h"

namespace nx::e2e {

inline const std::string kContacts = "Personal Folders/Top of Personal Folders/Contacts";
inline const std::string kCalendar = "Personal Folders/Top of Personal Folders/Calendar";

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

class ContactsWorld : public SessionWorld {
public:
    explicit ContactsWorld(bool subFolder = false) : SessionWorld(subFolder) {
        SetEnv("TZ", "Europe/Berlin");  // times in the documents are this machine's local time
        Admin({"init"});
    }

    // Puts an item from its JSON text into the folder; its entry id.
    std::string Put(const std::string& folder, const std::string& json) {
        const fs::path file = Root() / ("contact" + std::to_string(m_files++) + ".json");
        WriteFile(file, json);
        return Admin({"item", "put", folder, file.string()});
    }

    // A contact of the given JSON property entries (comma-separated, without the brackets).
    std::string PutContact(const std::string& folder, const std::string& properties,
                           const std::string& attachments = "") {
        std::string json = R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":"IPM.Contact"})" +
                           (properties.empty() ? "" : "," + properties) + "]";
        if (!attachments.empty()) json += R"(,"attachments":[)" + attachments + "]";
        return Put(folder, json + "}");
    }

    // An appointment (or another item of the calendar folder) of the given JSON property entries.
    std::string PutAppointment(const std::string& folder, const std::string& properties,
                               const std::string& messageClass = "IPM.Appointment") {
        return Put(folder, R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" + messageClass +
                               R"("},)" + properties + "]}");
    }

    // Runs a session with the calls and returns the documents of the kind ("contact", "calendar")
    // nxhost received, in order.
    std::vector<Delivered> Read(const std::vector<std::string>& lines, std::vector<std::string> extra = {},
                                const char* kind = "contact") {
        const fs::path save = Root() / ("saved" + std::to_string(m_reads++));
        std::vector<std::string> args = {"--start", (Root() / "agent/NxAgentOutlook64").string(),
                                         "--keep-going", "--save", save.string()};
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
            d.xml = ReadFile(xml);
            const fs::path jpg = save / (std::string(name) + ".jpg");
            d.hasPicture = fs::exists(jpg);
            if (d.hasPicture) d.picture = ReadFile(jpg);
            docs.push_back(std::move(d));
        }
        return docs;
    }
    const std::string& Output() const { return m_output; }
    int ExitCode() const { return m_exitCode; }
    const std::vector<Call>& Calls() const { return m_calls; }
    // The result of the n-th call of the last session ("<none>" when it did not run).
    std::string ResultOf(std::size_t n) const {
        return n < m_calls.size() ? Out(m_calls[n], "result") : "<none>";
    }

    fs::path WorkFolder() const { return Root() / "data/Outlook"; }

    // Runs nxhost's session script tools/nxhost/sessions/<name>.nxh against the agent, which must
    // end with exit status 0; the calls as nxhost printed them.
    std::vector<Call> RunScript(const std::string& name) {
        const Result r = Host({"--start", (Root() / "agent/NxAgentOutlook64").string(), "--script",
                               std::string(NX_SOURCE_DIR) + "/tools/nxhost/sessions/" + name + ".nxh"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        return ParseCalls(r.out);
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

private:
    int m_files = 0;
    int m_reads = 0;
    int m_exitCode = -1;
    std::string m_output;
    std::vector<Call> m_calls;
};

}  // namespace nx::e2e
