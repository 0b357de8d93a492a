// NxAgentOutlook64: the agent process. The command line is not interpreted.
#include "agent/AgentProcess.h"

int main() {
    return nx::agent::RunAgent();
}
