// The item procedures. Procedures 14 and 15 read contacts and appointments through the
// process-wide object; the writes answer as when MAPI is not available (result 1, empty
// identifier and time texts) until their paths serve them.
#include "agent/ItemHandlers.h"

#include <mutex>

#include "agent/HandlerSupport.h"
#include "agent/HostCallback.h"

namespace nx::agent {
namespace {

void FailWrite(nx::rpc::Args& args) {
    args.Text(1).clear();
    args.Text(2).clear();
    args.Long(3) = 1;
}

// Sends a document to the host with the object's lock released: the host may call the
// agent (on another connection) while it handles the callback, and must not wait on the read
// for that. The read holds its own references to what it works on.
template <nx::rpc::RpcStatus (*Deliver)(std::string_view)>
uint32_t DeliverUnlocked(std::string_view xml) {
    std::recursive_mutex& lock = NAMESPACE_MAPI::MAPIObjectLock();
    lock.unlock();  // the handler holds it exactly once (RunLocked)
    struct Relock {
        std::recursive_mutex& lock;
        ~Relock() { lock.lock(); }
    } relock{lock};
    return Deliver(xml);
}

}  // namespace

void HandleWriteContacts(nx::rpc::Args& args) {
    FailWrite(args);
}

void HandleWriteCalendars(nx::rpc::Args& args) {
    FailWrite(args);
}

void HandleReadContacts(nx::rpc::Args& args) {
    args.Long(2) = RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m) {
        const std::string first = TextOf(args, 0);
        const std::string anchor = TextOf(args, 1);
        m.SetContactSink(DeliverUnlocked<DeliverContact>);
        return m.ReadContacts(first.c_str(), anchor.c_str());
    });
}

void HandleReadCalendars(nx::rpc::Args& args) {
    args.Long(2) = RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m) {
        const std::string first = TextOf(args, 0);
        const std::string anchor = TextOf(args, 1);
        m.SetCalendarSink(DeliverUnlocked<DeliverCalendar>);
        return m.ReadCalendars(first.c_str(), anchor.c_str());
    });
}

}  // namespace nx::agent
