// NxAgentOutlook64: the agent process. The command line is not interpreted.
#include <signal.h>

#include "agent/AgentProcess.h"

int main() {
    // A diagnostic sink (debugger output on stdout or stderr, a pipe whose reader went away)
    // must never end the agent: a write to a closed pipe fails with EPIPE and the text is
    // dropped, as a debug string without a debugger is. The RPC sockets never raise it.
    signal(SIGPIPE, SIG_IGN);
    return nx::agent::RunAgent();
}
