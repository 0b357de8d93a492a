// The item procedures. Procedures 12 and 13 write one contact or one appointment, 14 and 15 read
// contacts and appointments, all through the process-wide object.
#include "agent/ItemHandlers.h"

#include <mutex>

#include "agent/HandlerSupport.h"
#include "agent/HostCallback.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactWrite.h"

namespace nx::agent {
namespace {

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

int32_t WriteContacts(InText xml, IdentifierOut identifier, TimeTextOut time) {
    return RunItemWrite(xml, identifier, time, "WriteContacts",
                        [](NAMESPACE_MAPI::CMAPIObject& m, const std::string& text) {
                            // The record lives for this call only. Whatever the parse leaves is
                            // written: a text that is not a document gives an empty record, which
                            // writes nothing.
                            NAMESPACE_MAPI::CContactEx record;
                            record.Reset();
                            NAMESPACE_MAPI::XmlToContactEx(text, record);
                            const int32_t result = m.WriteContacts(&record);
                            return ItemWriteAnswer{record.m_strPIMID, record.m_dtModified, result};
                        });
}

int32_t WriteCalendars(InText xml, IdentifierOut identifier, TimeTextOut time) {
    return RunItemWrite(xml, identifier, time, "WriteCalendars",
                        [](NAMESPACE_MAPI::CMAPIObject& m, const std::string& text) {
                            // As for contacts: whatever the parse leaves is handed to the dispatch,
                            // which adds or updates only an appointment of lCalType 3.
                            NAMESPACE_MAPI::CCalendarEx record;
                            NAMESPACE_MAPI::ParseCalendarXML(text, record);
                            const int32_t result = m.WriteCalendars(&record);
                            return ItemWriteAnswer{record.PIMID, record.dtModifiedTime, result};
                        });
}

int32_t ReadContacts(InText first, InText anchor) {
    return RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m) {
        m.SetContactSink(DeliverUnlocked<DeliverContact>);
        return m.ReadContacts(TextOf(first).c_str(), TextOf(anchor).c_str());
    });
}

int32_t ReadCalendars(InText first, InText anchor) {
    return RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m) {
        m.SetCalendarSink(DeliverUnlocked<DeliverCalendar>);
        return m.ReadCalendars(TextOf(first).c_str(), TextOf(anchor).c_str());
    });
}

}  // namespace nx::agent
