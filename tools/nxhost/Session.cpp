#include "tools/nxhost/Session.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "agent/Interfaces.h"
#include "platform/system/ChildProcess.h"
#include "platform/system/Paths.h"
#include "tools/nxhost/CallbackServer.h"
#include "tools/nxhost/Output.h"

namespace nx::host {
namespace {

namespace agent = nx::agent;
using nx::rpc::RpcStatus;

// The agent nxhost started, for the interrupt handler: an interrupted session does not leave
// its agent running.
std::atomic<uint64_t> g_startedAgent{0};

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
    bool agentSilent = false;       // a call found the agent silent past the bound: it is not called again
    std::u16string lastIdentifier;  // of the last write that answered with one: {identifier}
};

std::string DescribeOutputs(const ScriptStep& step, nx::rpc::Args& args) {
    const auto& proc = agent::AgentInterface().procedures[step.opnum];
    const auto& names = ParamNames(step.opnum);
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

// "120 s", or "250 ms" for a bound that is not whole seconds (the tests' knob).
std::string DescribeMilliseconds(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// The line that ends a read call: what the documents it delivered were, and how long it took.
std::string ReadSummary(const ReadTally& t, std::chrono::steady_clock::time_point started) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line,
                  "   read: %d document%s (new %d, changed %d, deleted %d), %d picture%s, %.2f s\n",
                  t.documents, t.documents == 1 ? "" : "s", t.added, t.changed, t.deleted, t.pictures,
                  t.pictures == 1 ? "" : "s", seconds);
    return line;
}

// After Shutdown answered: the agent nxhost started is waited for (up to --wait).
void AfterShutdown(Session& s) {
    s.shutdownSent = true;
    if (!s.agentProcess.Started()) return;
    if (s.agentProcess.Wait(s.opt.waitSeconds))
        Print("   agent ended: " + s.agentProcess.Describe() + "\n");
    else
        PrintError("the agent did not end within " + std::to_string(s.opt.waitSeconds) + " s after Shutdown");
}

// Runs one step; false when the session should stop.
bool RunStep(Session& s, const ScriptStep& step, const std::string& source) {
    if (step.kind == ScriptStep::Kind::Sleep) {
        Print("> " + source + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(step.sleepMs));
        return true;
    }
    const auto& iface = agent::AgentInterface();
    ScriptStep filled = step;
    Print("> " + source + "\n");
    ++s.calls;
    if (!FillIdentifier(filled, s.lastIdentifier)) {
        ++s.failedCalls;
        PrintError(iface.procedures[step.opnum].name + ": {identifier} before any write answered with one");
        return s.opt.keepGoing;
    }
    nx::rpc::Args args = MakeArgs(filled);
    const bool read = step.opnum == agent::kReadContacts || step.opnum == agent::kReadCalendars;
    const bool contacts = step.opnum == agent::kReadContacts;
    if (read && s.callbacks)
        s.callbacks->BeginRead(contacts ? "contacts" : "calendar",
                               contacts ? s.contactTotal : s.calendarTotal);
    const auto started = std::chrono::steady_clock::now();
    const nx::rpc::RpcStatus status = s.binding->Call(iface, step.opnum, args);
    std::string readSummary;  // printed after the [out] values
    if (read && s.callbacks) readSummary = ReadSummary(s.callbacks->EndRead(), started);
    if (status == nx::rpc::RPC_S_CALL_CANCELLED) {
        // Whatever --keep-going says: an agent that stopped answering would hold every next call.
        ++s.failedCalls;
        s.agentSilent = true;
        PrintError(iface.procedures[step.opnum].name +
                   ": the agent stopped answering: no reply and no document for " +
                   DescribeMilliseconds(s.opt.silenceMs) + " (--timeout); giving up");
        return false;
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
    const auto problems = CheckExpectations(step, args);
    for (const auto& p : problems) PrintError(iface.procedures[step.opnum].name + ": " + p);
    if (!problems.empty()) {
        ++s.failedCalls;
        if (!s.opt.keepGoing) return false;
    }
    if (step.opnum == agent::kShutdown) AfterShutdown(s);
    return true;
}

bool CreateSaveDir(const std::string& dir) {
    const uint32_t rc = nx::sys::CreateDirectoryWithParents(dir);
    if (rc == nx::sys::kErrorSuccess || rc == nx::sys::kErrorAlreadyExists) return true;
    PrintError("cannot create the document folder " + dir + " (error " + std::to_string(rc) + ")");
    return false;
}

bool ServeCallbacks(CallbackServer& callbacks) {
    const RpcStatus st = callbacks.Start();
    if (st != nx::rpc::RPC_S_OK) {
        std::string why =
            "cannot serve \\pipe\\OutlookServer32 in " + nx::rpc::PipeDirectory() + ": " + DescribeStatus(st);
        if (st == nx::rpc::RPC_S_DUPLICATE_ENDPOINT) why += "; another host already serves it";
        if (st == nx::rpc::RPC_S_ACCESS_DENIED && kPipesInAFolder)
            why +=
                "; the pipe directory is not a private directory of yours (a link, another user's, or "
                "writable by others)";
        if (kPipesInAFolder) why += " (set NX_PIPE_DIR to a folder of your own)";
        PrintError(why);
        return false;
    }
    Print("serving \\pipe\\OutlookServer32 in " + nx::rpc::PipeDirectory() + "\n");
    return true;
}

// Starts the agent and waits (up to --wait) until it listens.
bool StartAgent(Session& s, const std::string& path) {
    std::string error;
    if (nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) {
        PrintError("an agent already listens on \\pipe\\MapiServer64 in " + nx::rpc::PipeDirectory() +
                   "; end it first (nxhost Shutdown)" +
                   (kPipesInAFolder ? " or use another NX_PIPE_DIR" : ""));
        return false;
    }
    if (!s.agentProcess.Start(path, error)) {
        PrintError(error);
        return false;
    }
    Print("started " + path + "\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(s.opt.waitSeconds);
    while (!nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) {
        if (s.agentProcess.Poll()) {
            PrintError("the agent ended before it listened (" + s.agentProcess.Describe() + ")");
            return false;
        }
        if (std::chrono::steady_clock::now() >= until) {
            PrintError("the agent did not listen on \\pipe\\MapiServer64 within " +
                       std::to_string(s.opt.waitSeconds) + " s");
            s.agentProcess.Kill();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Print("agent listens on \\pipe\\MapiServer64\n");
    return true;
}

// Without --start, an agent must already listen when there is anything to call.
bool AgentListens() {
    if (nx::rpc::EndpointIsListening(agent::kAgentEndpoint)) return true;
    std::string socket;
    nx::rpc::EndpointSocketPath(agent::kAgentEndpoint, socket);
    PrintError(kPipesInAFolder ? "no agent listens on \\pipe\\MapiServer64 (socket " + socket +
                                     "); start one with --start AGENT, or point NX_PIPE_DIR at the "
                                     "agent's pipe directory"
                               : std::string("no agent listens on \\pipe\\MapiServer64; start one with "
                                             "--start AGENT"));
    return false;
}

bool Bind(Session& s) {
    std::string stringBinding;
    RpcStatus st =
        nx::rpc::StringBindingCompose("", agent::kProtseq, "", agent::kAgentEndpoint, "", stringBinding);
    if (st == nx::rpc::RPC_S_OK) st = nx::rpc::BindingFromStringBinding(stringBinding, s.binding);
    if (st == nx::rpc::RPC_S_OK && s.binding) {
        // A read lasts as long as the store is large; the documents it delivers show the agent
        // alive, so the bound is on silence, not on a call's length.
        nx::rpc::Binding::SignOfLife signOfLife;
        if (CallbackServer* callbacks = s.callbacks)
            signOfLife = [callbacks] { return callbacks->LastSignOfLife(); };
        s.binding->SetSilenceBound(s.opt.silenceMs, std::move(signOfLife));
        return true;
    }
    PrintError("cannot bind to the agent: " + DescribeStatus(st));
    s.agentProcess.Kill();
    return false;
}

// A started agent the session did not end is sent Shutdown, and killed when it does not end.
void EndAgent(Session& s, bool stopped) {
    if (!s.agentProcess.Started() || s.agentProcess.Exited()) return;
    if (s.agentSilent) {
        // Shutdown would meet the same silence.
        Print("nxhost: the agent stopped answering; ending it\n");
        s.agentProcess.Kill();
        return;
    }
    if (!s.shutdownSent) {
        Print(stopped ? "nxhost: the session stopped early; ending the agent\n"
                      : "nxhost: the session did not end the agent; ending it\n");
        ScriptStep step;
        step.opnum = agent::kShutdown;
        RunStep(s, step, "Shutdown");
    }
    if (!s.agentProcess.Wait(s.opt.waitSeconds)) {
        PrintError("the agent is still running; stopping it");
        s.agentProcess.Kill();
    }
}

void PrintSummary(const Session& s, const CallbackServer& callbacks) {
    std::string summary =
        "summary: " + std::to_string(s.calls) + " call" + (s.calls == 1 ? "" : "s") + ", " +
        std::to_string(s.failedCalls) + " failed; documents: " + std::to_string(callbacks.Contacts()) +
        " contact, " + std::to_string(callbacks.Calendars()) +
        " calendar; NotifyShutdown received: " + std::to_string(callbacks.Notifications()) + "\n";
    if (s.agentProcess.Started()) summary += "agent: " + s.agentProcess.Describe() + "\n";
    Print(summary);
}

}  // namespace

void EndStartedAgent() {
    nx::sys::EndProcess(g_startedAgent.load());
}

int RunSession(const Options& opt, const std::vector<SessionStep>& steps) {
    if (opt.saveDir && !CreateSaveDir(*opt.saveDir)) return kExitFailed;
    Session s;
    s.opt = opt;
    CallbackServer callbacks(opt);
    s.callbacks = opt.callback ? &callbacks : nullptr;
    if (opt.callback && !ServeCallbacks(callbacks)) return kExitFailed;
    if (opt.agentPath ? !StartAgent(s, *opt.agentPath) : !steps.empty() && !AgentListens())
        return kExitFailed;
    if (!Bind(s)) return kExitFailed;

    bool stopped = false;
    for (const SessionStep& step : steps) {
        if (!RunStep(s, step.step, step.source)) {
            stopped = true;
            break;
        }
    }
    EndAgent(s, stopped);
    s.binding.reset();
    callbacks.Stop();
    PrintSummary(s, callbacks);

    if (s.agentSilent) return kExitNoAnswer;
    const bool ok = s.failedCalls == 0 && !stopped && callbacks.SaveFailures() == 0 &&
                    (!s.agentProcess.Started() || s.agentProcess.Succeeded());
    return ok ? kExitOk : kExitFailed;
}

}  // namespace nx::host
