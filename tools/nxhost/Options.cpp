#include "tools/nxhost/Options.h"

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>

#include "NxVersion.h"
#include "platform/system/Ascii.h"
#include "tools/nxhost/HostScript.h"
#include "tools/nxhost/Output.h"

namespace nx::host {
namespace {

const char* const kUsage = R"(usage: nxhost [OPTIONS] [PROCEDURE [ARG...]]

Drives the agent as the sync host does: serves the host callback interface on
\pipe\OutlookServer32, calls the agent's procedures on \pipe\MapiServer64, prints every
[out] value and every document the agent delivers, and ends with a summary.

Options
  -s, --script FILE   run the calls in FILE, one per line; '-' reads standard input
  -e, --exec LINE     run one call line (repeatable; runs before the script)
      --start AGENT   start the agent executable AGENT, wait for its pipe, and at the end
                      report its exit status (nxhost calls Shutdown itself if the session
                      did not)
      --wait SECONDS  how long to wait for the agent's pipe and for its exit (default 10)
      --timeout SECONDS
                      how long the agent may stay silent during a call, with no reply and
                      no document delivered, before nxhost gives up on it (default 120;
                      0: wait for ever); a read that keeps delivering is never cut
      --save DIR      save each delivered document to DIR/contact-0001.xml,
                      DIR/calendar-0001.xml, ... instead of printing it
      --no-callback   do not serve the callback interface
      --drop-after N  a broken host: after N documents every further callback fails (as
                      when the host's callback side has gone away)
      --hang-after N  a hung host: the callback after N documents never answers (until
                      nxhost ends), so the agent's callback timeout has to end the read
      --keep-going    go on after a call fails (default: stop at the first failed call)
      --list          list the procedures and their arguments
      --version       the release: "nxhost (NxAgentForOutlook64) x.y.z"
  -h, --help          this text

Calls
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

Examples
  nxhost --start ./NxAgentOutlook64 --script session.nxh
                                   start the agent, run a session script, end the agent
  nxhost --start ./NxAgentOutlook64 -e MAPILogOn -e "GetAppFolder x" -e Shutdown
                                   the same with the calls on the command line
  nxhost --start ./NxAgentOutlook64 --save docs --script session.nxh
                                   each document the agent delivers saved to docs/
  nxhost GetContactCount           one call to an agent that is already running
  nxhost --list                    the procedures and their arguments

%PIPES%
Exit status: 0 when every call went through and a started agent exited with 0; 1 when a
call failed, the agent could not be reached or exited otherwise; 2 for bad usage (an unknown
option, a missing or malformed value, a script that cannot be read, a line that cannot be run);
3 when the agent stopped answering (silent for --timeout; a started agent is then ended).
)";

#ifdef _WIN32
constexpr const char* kPipesLine =
    "The pipes are the system's named pipes (\\\\.\\pipe\\MapiServer64 and \\\\.\\pipe\\OutlookServer32).";
#else
constexpr const char* kPipesLine =
    "The pipes live in $NX_PIPE_DIR, else $XDG_RUNTIME_DIR/nx-pipes, else /tmp/nx-pipes-<uid>.";
#endif

bool ParseUnsigned(const std::string& s, unsigned& v) {
    if (s.empty() || s.size() > 6) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    v = static_cast<unsigned>(std::stoul(s));
    return true;
}

// A usage error: the message and the hint; the exit status for it.
int UsageError(const std::string& text) {
    PrintError(text);
    PrintUsageHint();
    return kExitUsage;
}

constexpr std::string_view kValueOptions[] = {"-s",           "--script", "-e",     "--exec",
                                              "--start",      "--wait",   "--save", "--drop-after",
                                              "--hang-after", "--timeout"};
constexpr std::string_view kFlagOptions[] = {"--no-callback", "--keep-going"};

bool IsOneOf(std::string_view a, std::span<const std::string_view> names) {
    return std::find(names.begin(), names.end(), a) != names.end();
}

// One option and its value (taken from argv[i + 1]); the exit status when it is bad.
std::optional<int> ReadOption(const std::string& a, int argc, char** argv, int& i, Options& opt) {
    std::string v;
    if (IsOneOf(a, kValueOptions)) {
        if (i + 1 >= argc) return UsageError(a + " needs a value");
        v = argv[++i];
    }
    if (a == "-s" || a == "--script") {
        opt.script = v;
    } else if (a == "-e" || a == "--exec") {
        opt.execLines.push_back(v);
    } else if (a == "--start") {
        opt.agentPath = v;
    } else if (a == "--wait") {
        if (!ParseUnsigned(v, opt.waitSeconds) || opt.waitSeconds == 0)
            return UsageError("--wait needs a whole number of seconds above 0, got '" + v + "'");
    } else if (a == "--timeout") {
        unsigned seconds = 0;
        if (!ParseUnsigned(v, seconds))
            return UsageError("--timeout needs a whole number of seconds (0: no bound), got '" + v + "'");
        opt.silenceMs = seconds == 0 ? -1 : static_cast<int>(seconds) * 1000;
    } else if (a == "--save") {
        opt.saveDir = v;
    } else if (a == "--drop-after" || a == "--hang-after") {
        unsigned n = 0;
        if (!ParseUnsigned(v, n))
            return UsageError(a + " needs a whole number of documents, got '" + v + "'");
        (a == "--drop-after" ? opt.dropAfter : opt.hangAfter) = n;
    } else if (a == "--no-callback") {
        opt.callback = false;
    } else if (a == "--keep-going") {
        opt.keepGoing = true;
    } else {
        return UsageError("unknown option " + a);
    }
    return std::nullopt;
}

}  // namespace

std::string Usage() {
    std::string text = kUsage;
    text.replace(text.find("%PIPES%"), 7, kPipesLine);
    return text;
}

std::optional<int> ParseOptions(int argc, char** argv, Options& opt) {
    opt.silenceMs = nx::sys::MillisecondsOr(std::getenv(kSilenceKnob), kDefaultSilenceMs);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Print(Usage());
            return kExitOk;
        }
        if (a == "--list") {
            Print(ProcedureList());
            return kExitOk;
        }
        if (a == "--version") {
            Print(nx::VersionLine("nxhost") + "\n");
            return kExitOk;
        }
        // Known options may stand anywhere; after the procedure name another word starting with
        // '-' is an argument of the call.
        const bool known = IsOneOf(a, kValueOptions) || IsOneOf(a, kFlagOptions);
        if (known || (a.size() > 1 && a[0] == '-' && opt.call.empty())) {
            if (const auto exit = ReadOption(a, argc, argv, i, opt)) return exit;
        } else {
            opt.call.push_back(a);
        }
    }
    return std::nullopt;
}

}  // namespace nx::host
