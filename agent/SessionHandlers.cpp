// The session and folder procedures, until the MAPI session object serves them: every one
// answers as when MAPI is not available (logon and folder procedures result 1, counts 0 with
// result 0, logoff nothing).
#include "agent/SessionHandlers.h"

#include "agent/HostCallback.h"

namespace nx::agent {

void HandleMAPILogOn(nx::rpc::Args& args) {
    args.Long(1) = 1;
    BindHostCallback();
}

void HandleMAPILogOff(nx::rpc::Args&) {}

void HandleGetAppProfile(nx::rpc::Args& args) {
    args.Long(1) = 1;
}

void HandleGetContactCount(nx::rpc::Args& args) {
    args.Long(0) = 0;
    args.Long(1) = 0;
}

void HandleGetCalendarCount(nx::rpc::Args& args) {
    args.Long(0) = 0;
    args.Long(1) = 0;
}

void HandleGetAppFolder(nx::rpc::Args& args) {
    args.Long(1) = 1;
}

void HandleSetContactFolder(nx::rpc::Args& args) {
    args.Long(1) = 1;
}

void HandleSetCalendarFolder(nx::rpc::Args& args) {
    args.Long(1) = 1;
}

}  // namespace nx::agent
