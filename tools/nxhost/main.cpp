// nxhost: the sync host stand-in. It serves the host callback interface on
// "\pipe\OutlookServer32" on its own threads, optionally starts the agent, calls the agent's
// procedures from a script or the command line, prints every [out] value and every document
// the agent delivers, and ends with a summary. See `nxhost --help`.
//
// Three parts: the options (Options.h), the session's calls gathered and parsed before any runs
// (SessionScript.h, in the session language of HostScript.h), and the session itself
// (Session.h, with the callback side in CallbackServer.h).
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/system/ChildProcess.h"
#include "platform/system/Files.h"
#include "platform/system/ProcessHeap.h"
#include "tools/nxhost/Options.h"
#include "tools/nxhost/Output.h"
#include "tools/nxhost/Session.h"
#include "tools/nxhost/SessionScript.h"

namespace {

using namespace nx::host;

extern "C" void Interrupted(int sig) {
    EndStartedAgent();
    static const char kText[] = "\nnxhost: interrupted\n";
    nx::sys::WriteAllTo(2, std::string_view(kText, sizeof kText - 1));
    std::_Exit(128 + sig);
}

int Run(int argc, char** argv) {
    Options opt;
    if (const auto exit = ParseOptions(argc, argv, opt)) return *exit;
    std::vector<SessionStep> steps;
    std::size_t lines = 0;
    if (!ReadSession(opt, steps, lines)) return kExitUsage;
    if (lines == 0 && !opt.agentPath) {
        PrintError(
            "nothing to do: name a procedure, a line with -e, a script with --script, or an agent with "
            "--start");
        PrintUsageHint();
        return kExitUsage;
    }
    return RunSession(opt, steps);
}

}  // namespace

int main(int argc, char** argv) {
    nx::sys::KeepRunningOnClosedPipes();
    nx::sys::OnInterrupt(&Interrupted);
    // A callback's document is parsed and dropped ten thousand times a read: the heap is kept.
    nx::sys::KeepHeapBetweenCalls();
    return Run(argc, argv);
}
