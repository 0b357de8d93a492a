// The item procedures, until the contact and appointment paths serve them: every one answers
// as when MAPI is not available (result 1, empty identifier and time texts).
#include "agent/ItemHandlers.h"

namespace nx::agent {
namespace {

void FailWrite(nx::rpc::Args& args) {
    args.Text(1).clear();
    args.Text(2).clear();
    args.Long(3) = 1;
}

}  // namespace

void HandleWriteContacts(nx::rpc::Args& args) {
    FailWrite(args);
}

void HandleWriteCalendars(nx::rpc::Args& args) {
    FailWrite(args);
}

void HandleReadContacts(nx::rpc::Args& args) {
    args.Long(2) = 1;
}

void HandleReadCalendars(nx::rpc::Args& args) {
    args.Long(2) = 1;
}

}  // namespace nx::agent
