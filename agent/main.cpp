// NxAgentOutlook64: the agent process. The command line is not interpreted.
#include "agent/AgentProcess.h"
#include "platform/system/Files.h"
#include "platform/system/ProcessHeap.h"

int main() {
    // A diagnostic sink (debugger output on stdout or stderr, a pipe whose reader went away)
    // must never end the agent: a write to a closed pipe fails and the text is dropped, as a
    // debug string without a debugger is. The RPC sockets never raise it.
    nx::sys::KeepRunningOnClosedPipes();
    // Whatever the agent or its MAPI runtime creates (documents, pictures, the store, the
    // journal, the trace) holds the user's data: private whatever umask it was started with.
    nx::sys::MakeCreatedFilesPrivate();
    // A flood of idle connections must meet the server's connection table, with descriptors
    // left for the store and the documents, not the usual soft limit of 1024.
    nx::sys::RaiseOpenFileLimit();
    // Every read lifts the heap to about the same height: kept, not given back and taken again.
    nx::sys::KeepHeapBetweenCalls();
    return nx::agent::RunAgent();
}
