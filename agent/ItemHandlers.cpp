// The item procedures. Procedures 12 and 13 write one contact or one appointment, 14 and 15 read
// contacts and appointments, all through the process-wide object.
#include "agent/ItemHandlers.h"

#include "agent/HandlerSupport.h"
#include "agent/HostCallback.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactWrite.h"

namespace nx::agent {

int32_t WriteContacts(InText xml, IdentifierOut identifier, TimeTextOut time) {
    return RunItemWrite(xml, identifier, time, "WriteContacts",
                        [](NAMESPACE_MAPI::CMAPIObject& m, const std::string& text) {
                            // The record lives for this call only. Whatever the parse leaves is
                            // written: a text that is not a document gives an empty record, which
                            // writes nothing. A new record is a reset one.
                            NAMESPACE_MAPI::CContactEx record;
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

// The reads hand the object the guard of its lock: the read releases it while it waits on the host,
// which may call the agent on another connection meanwhile and must not wait on the read. Each
// document goes in two steps, so the read prepares the next one while the host handles it.
int32_t ReadContacts(InText first, InText anchor) {
    return RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m, NAMESPACE_MAPI::MAPIObjectGuard& held) {
        m.SetContactSink({SendContact, CollectDelivery});
        return m.ReadContacts(TextOf(first).c_str(), TextOf(anchor).c_str(), &held);
    });
}

int32_t ReadCalendars(InText first, InText anchor) {
    return RunLocked(1, [&](NAMESPACE_MAPI::CMAPIObject& m, NAMESPACE_MAPI::MAPIObjectGuard& held) {
        m.SetCalendarSink({SendCalendar, CollectDelivery});
        return m.ReadCalendars(TextOf(first).c_str(), TextOf(anchor).c_str(), &held);
    });
}

}  // namespace nx::agent
