// nxhost: the sync host stand-in. It serves the host callback interface on
// "\pipe\OutlookServer32" on its own threads, optionally starts the agent, calls the agent's
// procedures from a script or the command line, prints every [out] value and every document
// the agent delivers, and ends with a summary. See `nxhost --help`.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/Interfaces.h"
#include "platform/system/ChildProcess.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"
#include "tools/nxhost/HostScript.h"

namespace {

using nx::rpc::RpcStatus;
namespace agent = nx::agent;
namespace host = nx::host;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage = R"(usage: nxhost [options] [PROCEDURE [ARG...]]

Drives the agent as the sync host does: serves the host callback interface on
\pipe\OutlookServer32, calls the agent's procedures on \pipe\MapiServer64, prints every
[out] value and every document the agent delivers, and ends with a summary.

options:
  -s, --script FILE   run the calls in FILE, one per line; '-' reads standard input
  -e, --exec LINE     run one call line (repeatable; runs before the script)
      --start AGENT   start the agent executable AGENT, wait for its pipe, and at the end
                      report its exit status (nxhost calls Shutdown itself if the session
                      did not)
      --wait SECONDS  how long to wait for the agent's pipe and for its exit (default 10)
      --save DIR      save each delivered document to DIR/contact-0001.xml,
                      DIR/calendar-0001.xml, ... instead of printing it
      --no-callback   do not serve the callback interface
      --drop-after N  a broken host: after N documents every further callback fails (as
                      when the host's callback side has gone away)
      --hang-after N  a hung host: the callback after N documents never answers (until
                      nxhost ends), so the agent's callback timeout has to end the read
      --keep-going    go on after a call fails (default: stop at the first failed call)
      --list          list the procedures and their arguments
  -h, --help          this text

A call is the procedure name followed by one argument per [in] parameter: a word, a
"quoted text" (escapes \" \\ \n \r \t \0 \xHH \uHHHH \UHHHHHH) or @FILE (the file's
content). Missing arguments are empty. After a bare "=>", name and value pairs are the
expected [out] values ("GetContactCount => count 3 result 0"); a difference fails the call.
Lines starting with '#' are comments; "sleep MS" pauses. While a read call is open, the
documents received so far show on standard error when it is a terminal ("contacts 1,234 /
10,000", the total from the session's last count call); each read ends with a summary line
("read: 12 documents (new 3, changed 1, deleted 1), 2 pictures, 0.41 s"). Example session:
  GetAppProfile x
  MAPILogOn
  GetAppFolder x
  SetContactFolder "<id>...</id>"
  GetContactCount
  ReadContacts "" ""
  WriteContacts @contact.xml
  MAPILogOff
  Shutdown

%PIPES%
Exit status: 0 when every call went through and a started agent exited with 0; 1 when a
call failed, the agent could not be reached or exited otherwise; 2 for bad usage.
)";

// Where the pipes live. The project's own runtime keeps them as sockets in a folder of the user's,
// which NX_PIPE_DIR can move (and the hints below name); on Windows they are the system's named
// pipes, and no folder is involved.
#ifdef _WIN32
constexpr bool kPipesInAFolder = false;
constexpr const char* kPipesLine =
    "The pipes are the system's named pipes (\\\\.\\pipe\\MapiServer64 and \\\\.\\pipe\\OutlookServer32).";
#else
constexpr bool kPipesInAFolder = true;
constexpr const char* kPipesLine =
    "The pipes live in $NX_PIPE_DIR, else $XDG_RUNTIME_DIR/nx-pipes, else /tmp/nx-pipes-<uid>.";
#endif

std::string Usage() {
    std::string text = kUsage;
    text.replace(text.find("%PIPES%"), 7, kPipesLine);
    return text;
}

std::mutex g_out;

// The agent nxhost started, for the interrupt handler: an interrupted session does not leave
// its agent running.
std::atomic<uint64_t> g_startedAgent{0};

extern "C" void Interrupted(int sig) {
    nx::sys::EndProcess(g_startedAgent.load());
    static const char kText[] = "\nnxhost: interrupted\n";
    nx::sys::WriteAllTo(2, std::string_view(kText, sizeof kText - 1));
    std::_Exit(128 + sig);
}

void Print(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_out);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_out);
    std::fflush(stdout);
    std::fprintf(stderr, "nxhost: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string DescribeStatus(RpcStatus s) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", s);
    const std::string name = nx::rpc::RpcStatusName(s);
    return "RPC status " + std::to_string(s) + " (" + hex + (name.empty() ? "" : ", " + name) + ")";
}

// A printable, quoted form of a text.
std::string Quote(std::u16string_view text) {
    const std::string utf8 = nx::sys::Utf16ToUtf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

struct Options {
    std::vector<std::string> execLines;
    std::optional<std::string> script;
    std::optional<std::string> agentPath;
    unsigned waitSeconds = 10;
    std::optional<std::string> saveDir;
    bool callback = true;
    bool keepGoing = false;
    std::optional<unsigned> dropAfter;
    std::optional<unsigned> hangAfter;
};

// What one read call delivered, from the documents themselves.
struct ReadTally {
    int documents = 0;
    int added = 0;
    int changed = 0;
    int deleted = 0;
    int pictures = 0;
};

// The decimal value of a document's <lFlag>, 0 when it has none (a full read).
int FlagOf(const std::string& xml) {
    const auto at = xml.find("<lFlag>");
    if (at == std::string::npos) return 0;
    int value = 0;
    for (std::size_t i = at + 7; i < xml.size() && i < at + 17 && xml[i] >= '0' && xml[i] <= '9'; ++i)
        value = value * 10 + (xml[i] - '0');
    return value;
}

// The text of a document's <PICPath> (no entity in it is expected: it is a file path), "" when none.
std::string PicturePath(const std::string& xml) {
    const auto at = xml.find("<PICPath>");
    if (at == std::string::npos) return std::string();
    const auto end = xml.find("</PICPath>", at);
    return end == std::string::npos ? std::string() : xml.substr(at + 9, end - at - 9);
}

// "1234567" -> "1,234,567".
std::string Grouped(long long n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

// ---------------------------------------------------------------------------------------------
// The callback side: counts and prints or saves what the agent sends.
class CallbackServer {
public:
    explicit CallbackServer(const Options& opt)
        : m_saveDir(opt.saveDir), m_dropAfter(opt.dropAfter), m_hangAfter(opt.hangAfter) {
        m_progress = nx::sys::IsTerminal(2);
    }

    // A read call begins: its tally starts from zero; `total` (< 0: unknown) is shown with the
    // progress.
    void BeginRead(const char* kind, long long total) {
        std::lock_guard<std::mutex> guard(m_tallyLock);
        m_tally = ReadTally{};
        m_readKind = kind;
        m_readTotal = total;
    }
    ReadTally EndRead() {
        std::lock_guard<std::mutex> guard(m_tallyLock);
        if (m_progress && m_tally.documents > 0) {
            std::lock_guard<std::mutex> out(g_out);
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
        m_readKind = nullptr;
        return m_tally;
    }

    RpcStatus Start() {
        std::vector<nx::rpc::Handler> handlers(agent::kCallbackProcCount);
        handlers[agent::kNotifyShutdown] = [this](nx::rpc::Args&) {
            const int n = ++m_notifications;
            Print("<= NotifyShutdown (#" + std::to_string(n) + ")\n");
        };
        handlers[agent::kDeliverContact] = [this](nx::rpc::Args& a) {
            Document("contact", m_contacts, a.Text(0));
        };
        handlers[agent::kDeliverCalendar] = [this](nx::rpc::Args& a) {
            Document("calendar", m_calendars, a.Text(0));
        };
        RpcStatus s = m_server.UseProtseqEp(agent::kProtseq, agent::kMaxCalls, agent::kCallbackEndpoint);
        if (s != nx::rpc::RPC_S_OK) return s;
        s = m_server.RegisterIf(agent::CallbackInterface(), std::move(handlers));
        if (s != nx::rpc::RPC_S_OK) return s;
        m_thread = std::thread([this] {
            m_listenStatus = m_server.Listen(1, agent::kMaxCalls);
            m_listenDone = true;
        });
        return nx::rpc::RPC_S_OK;
    }

    void Stop() {
        {
            // A hung callback is let go first: the server waits for its calls to end.
            std::lock_guard<std::mutex> guard(m_hangLock);
            m_released = true;
        }
        m_hangCv.notify_all();
        if (!m_thread.joinable()) return;
        // The listen thread may not have entered Listen yet: ask until the server took the
        // request or the thread is done.
        while (!m_listenDone && m_server.StopListening() != nx::rpc::RPC_S_OK)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_thread.join();
        m_server.UnregisterIf(nullptr, false);
    }

    ~CallbackServer() { Stop(); }

    int Notifications() const { return m_notifications; }
    int Contacts() const { return m_contacts; }
    int Calendars() const { return m_calendars; }
    int SaveFailures() const { return m_saveFailures; }

private:
    // The broken-host behaviours: after N documents, fail or hang.
    void Misbehave() {
        const unsigned delivered = m_delivered++;
        if (m_dropAfter && delivered >= *m_dropAfter) throw std::runtime_error("the host has gone away");
        if (m_hangAfter && delivered >= *m_hangAfter) {
            std::unique_lock<std::mutex> lock(m_hangLock);
            m_hangCv.wait(lock, [this] { return m_released; });
            throw std::runtime_error("the host hung");
        }
    }

    void Tally(const std::string& xml) {
        std::lock_guard<std::mutex> guard(m_tallyLock);
        ReadTally& t = m_tally;
        ++t.documents;
        const int flag = FlagOf(xml);
        if (flag & 0x08)
            ++t.added;
        else if (flag & 0x04)
            ++t.changed;
        else if (flag & 0x20)
            ++t.deleted;
        if (xml.find("<PICPath>") != std::string::npos) ++t.pictures;
        if (!m_progress || m_readKind == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastProgress < std::chrono::milliseconds(100)) return;
        m_lastProgress = now;
        std::string line = "\r\033[K" + std::string(m_readKind) + " " + Grouped(t.documents);
        if (m_readTotal >= 0) line += " / " + Grouped(m_readTotal);
        std::lock_guard<std::mutex> out(g_out);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

    void Document(const char* kind, std::atomic<int>& counter, const std::u16string& text) {
        Misbehave();
        const int n = ++counter;
        const std::string utf8 = nx::sys::Utf16ToUtf8(text);
        Tally(utf8);
        const char* proc = std::strcmp(kind, "contact") == 0 ? "DeliverContact" : "DeliverCalendar";
        std::string header = "<= " + std::string(proc) + " #" + std::to_string(n) + " (" +
                             std::to_string(text.size()) + " UTF-16 units)";
        if (!m_saveDir) {
            Print(header + "\n" + utf8 + (utf8.empty() || utf8.back() != '\n' ? "\n" : ""));
            return;
        }
        char name[64];
        std::snprintf(name, sizeof name, "%s-%04d.xml", kind, n);
        const std::string path = nx::sys::JoinPath(*m_saveDir, name);
        if (!nx::sys::WriteFileAtomically(path, utf8)) {
            ++m_saveFailures;
            PrintError("cannot save " + path + ": " + std::strerror(errno));
            return;
        }
        // A picture file is the agent's to overwrite with the next contact's: keep a copy now, as a
        // host reads it while it handles the document.
        const std::string picture = PicturePath(utf8);
        if (!picture.empty()) {
            std::snprintf(name, sizeof name, "%s-%04d.jpg", kind, n);
            std::error_code ec;
            std::filesystem::copy_file(picture, nx::sys::JoinPath(*m_saveDir, name),
                                       std::filesystem::copy_options::overwrite_existing, ec);
            if (ec) PrintError("cannot copy the picture " + picture + ": " + ec.message());
        }
        Print(header + " saved to " + path + "\n");
    }

    nx::rpc::Server m_server;
    std::thread m_thread;
    std::atomic<RpcStatus> m_listenStatus{0};
    std::atomic<bool> m_listenDone{false};
    std::optional<std::string> m_saveDir;
    std::atomic<int> m_notifications{0};
    std::atomic<int> m_contacts{0};
    std::atomic<int> m_calendars{0};
    std::atomic<int> m_saveFailures{0};

    std::optional<unsigned> m_dropAfter;
    std::optional<unsigned> m_hangAfter;
    std::atomic<unsigned> m_delivered{0};
    std::mutex m_hangLock;
    std::condition_variable m_hangCv;
    bool m_released = false;

    bool m_progress = false;
    std::mutex m_tallyLock;
    ReadTally m_tally;
    const char* m_readKind = nullptr;
    long long m_readTotal = -1;
    std::chrono::steady_clock::time_point m_lastProgress{};
};

// ---------------------------------------------------------------------------------------------
// The agent process that nxhost started, if any.
class AgentProcess {
public:
    bool Start(const std::string& path, std::string& error) {
        if (!m_child.Start({path}, {}, error)) {
            error = "cannot run the agent " + path + ": " + error;
            return false;
        }
        g_startedAgent = m_child.Id();
        return true;
    }

    bool Started() const { return m_child.Started(); }
    bool Exited() const { return m_child.Started() && !m_child.Running(); }

    // Non-blocking check; true once the process has ended.
    bool Poll() { return Record(m_child.Poll()); }

    // Waits up to `seconds` for the end; false on timeout.
    bool Wait(unsigned seconds) { return Record(m_child.Wait(std::chrono::seconds(seconds))); }

    // Asks the agent to end, and kills it when it has not within two seconds.
    void Kill() {
        m_child.Stop(std::chrono::seconds(2));
        Record(m_child.Poll());
    }

    std::string Describe() const {
        if (!Exited()) return "still running";
        if (m_child.Signal() != 0) return "killed by signal " + std::to_string(m_child.Signal());
        if (m_exitCode == nx::sys::kEndedBySignal) return "killed";
        return "exit status " + std::to_string(m_exitCode);
    }
    bool Succeeded() const { return Exited() && m_exitCode == 0; }

private:
    bool Record(std::optional<int> code) {
        if (!code) return false;
        m_exitCode = *code;
        g_startedAgent = 0;
        return true;
    }

    nx::sys::ChildProcess m_child;
    int m_exitCode = nx::sys::kEndedBySignal;
};

// ---------------------------------------------------------------------------------------------
struct Session {
    Options opt;
    CallbackServer* callbacks = nullptr;
    long long contactTotal = -1;  // the last GetContactCount's count
    long long calendarTotal = -1;
    std::shared_ptr<nx::rpc::Binding> binding;
    AgentProcess agentProcess;
    int calls = 0;
    int failedCalls = 0;
    bool shutdownSent = false;
    std::u16string lastIdentifier;  // of the last write that answered with one: {identifier}
};

std::string DescribeOutputs(const host::ScriptStep& step, nx::rpc::Args& args) {
    const auto& proc = agent::AgentInterface().procedures[step.opnum];
    const auto& names = host::ParamNames(step.opnum);
    std::string out;
    std::size_t in = 0;
    for (std::size_t p = 0; p < proc.params.size(); ++p) {
        const auto& param = proc.params[p];
        const std::string name = p < names.size() ? names[p] : std::to_string(p);
        if (param.dir == nx::rpc::Direction::In) {
            ++in;
            continue;
        }
        out += "   " + name + " = ";
        switch (param.shape) {
            case nx::rpc::Shape::Long:
                out += std::to_string(args.Long(p));
                break;
            case nx::rpc::Shape::SizedOutString:
                out += Quote(args.Text(p));
                break;
            case nx::rpc::Shape::FixedArray: {
                const auto& got = args.Array(p);
                std::u16string sent = in < step.inputs.size() ? step.inputs[in] : std::u16string();
                sent.resize(param.size, char16_t(0));
                ++in;
                std::size_t diff = 0;
                while (diff < got.size() && diff < sent.size() && got[diff] == sent[diff]) ++diff;
                out += std::to_string(got.size()) + " units, ";
                if (diff == got.size() && got.size() == sent.size()) {
                    out += "unchanged";
                } else {
                    out += "changed from unit " + std::to_string(diff);
                }
                std::u16string shown(got.begin(), got.end());
                const auto zero = shown.find(char16_t(0));
                if (zero != std::u16string::npos) shown.resize(zero);
                out += ", text " + Quote(shown);
                break;
            }
            default:
                out += "?";
                break;
        }
        out += "\n";
    }
    return out;
}

// Runs one step; false when the session should stop.
bool RunStep(Session& s, const host::ScriptStep& step, const std::string& source) {
    if (step.kind == host::ScriptStep::Kind::Sleep) {
        Print("> " + source + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(step.sleepMs));
        return true;
    }
    const auto& iface = agent::AgentInterface();
    host::ScriptStep filled = step;
    Print("> " + source + "\n");
    ++s.calls;
    if (!host::FillIdentifier(filled, s.lastIdentifier)) {
        ++s.failedCalls;
        PrintError(iface.procedures[step.opnum].name + ": {identifier} before any write answered with one");
        return s.opt.keepGoing;
    }
    nx::rpc::Args args = host::MakeArgs(filled);
    const bool read = step.opnum == agent::kReadContacts || step.opnum == agent::kReadCalendars;
    const bool contacts = step.opnum == agent::kReadContacts;
    if (read && s.callbacks)
        s.callbacks->BeginRead(contacts ? "contacts" : "calendar",
                               contacts ? s.contactTotal : s.calendarTotal);
    const auto started = std::chrono::steady_clock::now();
    const RpcStatus status = s.binding->Call(iface, step.opnum, args);
    std::string readSummary;  // printed after the [out] values
    if (read && s.callbacks) {
        const ReadTally t = s.callbacks->EndRead();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char line[160];
        std::snprintf(line, sizeof line,
                      "   read: %d document%s (new %d, changed %d, deleted %d), %d picture%s, %.2f s\n",
                      t.documents, t.documents == 1 ? "" : "s", t.added, t.changed, t.deleted, t.pictures,
                      t.pictures == 1 ? "" : "s", seconds);
        readSummary = line;
    }
    if (status != nx::rpc::RPC_S_OK) {
        ++s.failedCalls;
        std::string why = iface.procedures[step.opnum].name + " failed: " + DescribeStatus(status);
        if (status == nx::rpc::RPC_S_SERVER_UNAVAILABLE)
            why += "; no agent is listening on \\pipe\\MapiServer64 in " + nx::rpc::PipeDirectory();
        PrintError(why);
        return s.opt.keepGoing;
    }
    Print(DescribeOutputs(step, args) + readSummary);
    if (step.opnum == agent::kGetContactCount) s.contactTotal = args.Long(0);
    if (step.opnum == agent::kGetCalendarCount) s.calendarTotal = args.Long(0);
    const bool write = step.opnum == agent::kWriteContacts || step.opnum == agent::kWriteCalendars;
    if (write && !args.Text(1).empty()) s.lastIdentifier = args.Text(1);
    const auto problems = host::CheckExpectations(step, args);
    for (const auto& p : problems) PrintError(iface.procedures[step.opnum].name + ": " + p);
    if (!problems.empty()) {
        ++s.failedCalls;
        if (!s.opt.keepGoing) return false;
    }
    if (step.opnum == agent::kShutdown) {
        s.shutdownSent = true;
        if (s.agentProcess.Started()) {
            if (s.agentProcess.Wait(s.opt.waitSeconds)) {
                Print("   agent ended: " + s.agentProcess.Describe() + "\n");
            } else {
                PrintError("the agent did not end within " + std::to_string(s.opt.waitSeconds) +
                           " s after Shutdown");
            }
        }
    }
    return true;
}

bool ReadFileContent(const std::string& base, const std::string& path, std::string& content,
                     std::string& error) {
    const std::string full = (path.empty() || std::filesystem::path(path).has_root_path() || base.empty())
                                 ? path
                                 : nx::sys::JoinPath(base, path);
    std::ifstream in(full, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    return true;
}

struct Line {
    std::string text;
    std::string where;  // "script.txt:3" or "-e 1"
    std::string baseDir;
};

// Parses every line first, so a typo on line 9 is reported before line 1 runs.
bool ParseAll(const std::vector<Line>& lines, std::vector<std::pair<host::ScriptStep, const Line*>>& steps) {
    bool ok = true;
    for (const Line& l : lines) {
        std::optional<host::ScriptStep> step;
        std::string error;
        const host::FileReader reader = [&l](const std::string& p, std::string& c, std::string& e) {
            return ReadFileContent(l.baseDir, p, c, e);
        };
        if (!host::ParseScriptLine(l.text, reader, step, error)) {
            PrintError(l.where + ": " + error);
            ok = false;
            continue;
        }
        if (step) steps.emplace_back(std::move(*step), &l);
    }
    return ok;
}

bool ParseUnsigned(const std::string& s, unsigned& v) {
    if (s.empty() || s.size() > 6) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    v = static_cast<unsigned>(std::stoul(s));
    return true;
}

int Run(int argc, char** argv) {
    Options opt;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                PrintError(a + " needs a value (nxhost --help)");
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            Print(Usage());
            return kExitOk;
        } else if (a == "--list") {
            Print(host::ProcedureList());
            return kExitOk;
        } else if (a == "-s" || a == "--script") {
            if (!value(v)) return kExitUsage;
            opt.script = v;
        } else if (a == "-e" || a == "--exec") {
            if (!value(v)) return kExitUsage;
            opt.execLines.push_back(v);
        } else if (a == "--start") {
            if (!value(v)) return kExitUsage;
            opt.agentPath = v;
        } else if (a == "--wait") {
            if (!value(v)) return kExitUsage;
            if (!ParseUnsigned(v, opt.waitSeconds) || opt.waitSeconds == 0) {
                PrintError("--wait needs a whole number of seconds above 0, got '" + v + "'");
                return kExitUsage;
            }
        } else if (a == "--save") {
            if (!value(v)) return kExitUsage;
            opt.saveDir = v;
        } else if (a == "--drop-after" || a == "--hang-after") {
            if (!value(v)) return kExitUsage;
            unsigned n = 0;
            if (!ParseUnsigned(v, n)) {
                PrintError(a + " needs a whole number of documents, got '" + v + "'");
                return kExitUsage;
            }
            (a == "--drop-after" ? opt.dropAfter : opt.hangAfter) = n;
        } else if (a == "--no-callback") {
            opt.callback = false;
        } else if (a == "--keep-going") {
            opt.keepGoing = true;
        } else if (a.size() > 1 && a[0] == '-' && positional.empty()) {
            PrintError("unknown option " + a + " (nxhost --help)");
            return kExitUsage;
        } else {
            positional.push_back(a);
        }
    }

    // Gather the lines: -e lines, then the positional call, then the script.
    std::vector<Line> lines;
    for (std::size_t i = 0; i < opt.execLines.size(); ++i)
        lines.push_back({opt.execLines[i], "-e " + std::to_string(i + 1), ""});
    if (!positional.empty()) {
        std::string call = positional[0];
        for (std::size_t i = 1; i < positional.size(); ++i) {
            std::string quoted = "\"";
            for (char c : positional[i]) {
                if (c == '"' || c == '\\') quoted += '\\';
                quoted += c;
            }
            call += " " + quoted + "\"";
        }
        lines.push_back({call, "command line", ""});
    }
    if (opt.script) {
        std::istream* in = &std::cin;
        std::ifstream file;
        std::string base;
        if (*opt.script != "-") {
            file.open(*opt.script);
            if (!file) {
                PrintError("cannot read the script " + *opt.script + ": " + std::strerror(errno));
                return kExitUsage;
            }
            in = &file;
            base = nx::sys::FolderWithSeparator(*opt.script);
        }
        std::string text;
        for (int n = 1; std::getline(*in, text); ++n) {
            if (n == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a UTF-8 byte-order mark
            lines.push_back(
                {text, (*opt.script == "-" ? "stdin" : *opt.script) + ":" + std::to_string(n), base});
        }
    }
    if (lines.empty() && !opt.agentPath) {
        Print(Usage());
        return kExitUsage;
    }
    std::vector<std::pair<host::ScriptStep, const Line*>> steps;
    if (!ParseAll(lines, steps)) return kExitUsage;

    if (opt.saveDir) {
        const uint32_t rc = nx::sys::CreateDirectoryWithParents(*opt.saveDir);
        if (rc != nx::sys::kErrorSuccess && rc != nx::sys::kErrorAlreadyExists) {
            PrintError("cannot create the document folder " + *opt.saveDir + " (error " + std::to_string(rc) +
                       ")");
            return kExitFailed;
        }
    }

    Session s;
    s.opt = opt;
    CallbackServer callbacks(opt);
    s.callbacks = opt.callback ? &callbacks : nullptr;
    if (opt.callback) {
        const RpcStatus st = callbacks.Start();
        if (st != nx::rpc::RPC_S_OK) {
            std::string why = "cannot serve \\pipe\\OutlookServer32 in " + nx::rpc::PipeDirectory() + ": " +
                              DescribeStatus(st);
            if (st == nx::rpc::RPC_S_DUPLICATE_ENDPOINT) why += "; another host already serves it";
            if (st == nx::rpc::RPC_S_ACCESS_DENIED && kPipesInAFolder)
                why +=
                    "; the pipe directory is not a private directory of yours (a link, another user's, or "
                    "writable by others)";
            if (kPipesInAFolder) why += " (set NX_PIPE_DIR to a folder of your own)";
            PrintError(why);
            return kExitFailed;
        }
        Print("serving \\pipe\\OutlookServer32 in " + nx::rpc::PipeDirectory() + "\n");
    }

    if (opt.agentPath) {
        std::string error;
        if (nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) {
            PrintError("an agent already listens on \\pipe\\MapiServer64 in " + nx::rpc::PipeDirectory() +
                       "; end it first (nxhost Shutdown)" +
                       (kPipesInAFolder ? " or use another NX_PIPE_DIR" : ""));
            return kExitFailed;
        }
        if (!s.agentProcess.Start(*opt.agentPath, error)) {
            PrintError(error);
            return kExitFailed;
        }
        Print("started " + *opt.agentPath + "\n");
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(opt.waitSeconds);
        while (!nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) {
            if (s.agentProcess.Poll()) {
                PrintError("the agent ended before it listened (" + s.agentProcess.Describe() + ")");
                return kExitFailed;
            }
            if (std::chrono::steady_clock::now() >= until) {
                PrintError("the agent did not listen on \\pipe\\MapiServer64 within " +
                           std::to_string(opt.waitSeconds) + " s");
                s.agentProcess.Kill();
                return kExitFailed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Print("agent listens on \\pipe\\MapiServer64\n");
    } else if (!steps.empty() && !nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) {
        std::string socket;
        nx::rpc::EndpointSocketPath(agent::kAgentEndpoint, socket);
        PrintError(kPipesInAFolder ? "no agent listens on \\pipe\\MapiServer64 (socket " + socket +
                                         "); start one with --start AGENT, or point NX_PIPE_DIR at the "
                                         "agent's pipe directory"
                                   : std::string("no agent listens on \\pipe\\MapiServer64; start one with "
                                                 "--start AGENT"));
        return kExitFailed;
    }

    std::string stringBinding;
    RpcStatus st =
        nx::rpc::StringBindingCompose("", agent::kProtseq, "", agent::kAgentEndpoint, "", stringBinding);
    if (st == nx::rpc::RPC_S_OK) st = nx::rpc::BindingFromStringBinding(stringBinding, s.binding);
    if (st != nx::rpc::RPC_S_OK || !s.binding) {
        PrintError("cannot bind to the agent: " + DescribeStatus(st));
        s.agentProcess.Kill();
        return kExitFailed;
    }

    bool stopped = false;
    for (const auto& [step, line] : steps) {
        if (!RunStep(s, step, line->text.empty() ? line->where : line->text)) {
            stopped = true;
            break;
        }
    }

    if (s.agentProcess.Started() && !s.agentProcess.Exited()) {
        if (!s.shutdownSent) {
            Print(stopped ? "nxhost: the session stopped early; ending the agent\n"
                          : "nxhost: the session did not end the agent; ending it\n");
            host::ScriptStep step;
            step.opnum = agent::kShutdown;
            RunStep(s, step, "Shutdown");
        }
        if (!s.agentProcess.Wait(s.opt.waitSeconds)) {
            PrintError("the agent is still running; stopping it");
            s.agentProcess.Kill();
        }
    }
    s.binding.reset();
    callbacks.Stop();

    std::string summary =
        "summary: " + std::to_string(s.calls) + " call" + (s.calls == 1 ? "" : "s") + ", " +
        std::to_string(s.failedCalls) + " failed; documents: " + std::to_string(callbacks.Contacts()) +
        " contact, " + std::to_string(callbacks.Calendars()) +
        " calendar; NotifyShutdown received: " + std::to_string(callbacks.Notifications()) + "\n";
    if (s.agentProcess.Started()) summary += "agent: " + s.agentProcess.Describe() + "\n";
    Print(summary);

    const bool ok = s.failedCalls == 0 && !stopped && callbacks.SaveFailures() == 0 &&
                    (!s.agentProcess.Started() || s.agentProcess.Succeeded());
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    nx::sys::KeepRunningOnClosedPipes();
    nx::sys::OnInterrupt(&Interrupted);
    return Run(argc, argv);
}
