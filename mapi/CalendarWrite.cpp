// Procedure 13: adding, updating and deleting one appointment from the host's document.
#include <exception>

#include "calendar/AppointmentWrite.h"
#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/ItemWrite.h"
#include "mapi/MAPIObject.h"
#include "mapi/TraceScope.h"

namespace NAMESPACE_MAPI {

using Finish = CTraceScope::Finish;

int CMAPIObject::WriteCalendars(CCalendarEx* record) {
    ++m_WriteCount;  // a read waiting on the host prepares its next document again
    // Only an appointment kind the agent can write is added or updated (the AddCalendar /
    // UpdateCalendar Finish line says "Failed" otherwise); a deletion goes through whatever the kind.
    static constexpr ItemWriteKind kCalendarWrite{"WriteCalendars", false, "AddCalendar", "UpdateCalendar",
                                                  kCalendarFolders};
    const auto writable = [&] { return record->lCalType == kWritableCalType; };
    const ItemWriteRecord parts =
        record ? ItemWriteRecord{&record->lFlag, &record->PIMID, &record->dtModifiedTime} : ItemWriteRecord{};
    return DispatchItemWrite(
        kCalendarWrite, parts, {m_lpEventFolder.get(), m_Config.subFolder, m_lpMAPISession.get()},
        {[&] { NAMESPACE_COMMON::LoadTimeZones(m_TimeZones); },
         [&] { return writable() && AddCalendarEvent(record); },
         [&](const ItemTarget& target) { return writable() && UpdateCalendarEvent(record, target); },
         [&](const ItemTarget& target) { return DeleteCalendar(record, target) != 0; }});
}

BOOL CMAPIObject::AddCalendarEvent(CCalendarEx* record) {
    CTraceScope scope("AddCalendarEvent", Finish::kOutcome);
    try {
        if (!m_lpEventFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        ComPtr<IMessage> message;
        const HRESULT hr = m_lpEventFolder->CreateMessage(nullptr, 0, message.put());
        if (hr != S_OK || !message) {
            scope.Status("CreateMessage", hr);
            return 0;
        }
        const BOOL saved = UpdateCalendarEventMessage(message.get(), record);
        // The identifier the host keeps for the item. A message whose id cannot be read back (it
        // was never saved) leaves the identifier empty, which the host takes for a failed add; a
        // saved item without an identifier would be one the host cannot name, so the add counts
        // as failed then too.
        record->PIMID.clear();
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
        if (!id || id->ulPropTag != PR_ENTRYID || id->Value.bin.cb == 0) {
            scope.Line("No PR_ENTRYID");
            return 0;
        }
        record->PIMID = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
        return scope.Result(saved);
    } catch (const std::exception&) {
        return 0;
    }
}

BOOL CMAPIObject::UpdateCalendarEvent(CCalendarEx* record, const ItemTarget& target) {
    CTraceScope scope("UpdateCalendarEvent", Finish::kOutcome);
    try {
        if (record == nullptr || !target.message) return 0;
        return scope.Result(UpdateCalendarEventMessage(target.message.get(), record));
    } catch (const std::exception&) {
        return 0;
    }
}

BOOL CMAPIObject::DeleteCalendar(CCalendarEx* record, const ItemTarget& target) {
    CTraceScope scope("DeleteCalendar", Finish::kOutcome);
    try {
        if (record == nullptr || !target.parent) return 0;
        const HRESULT hr = DeleteTarget(target);
        if (hr != S_OK) scope.Status("DeleteMessages", hr);
        return scope.Result(hr == S_OK);
    } catch (const std::exception&) {
        return 0;
    }
}

BOOL CMAPIObject::UpdateCalendarEventMessage(IMessage* message, CCalendarEx* record) {
    CTraceScope scope("UpdateCalendarEventMessage", Finish::kOutcome);
    try {
        if (message == nullptr || record == nullptr) return 0;
        // Every time is converted with the zone the machine has now, taken once for the write.
        const NAMESPACE_COMMON::TimeZoneSource zone = LocalZone();
        // An update writes only what differs from what the read sends for the stored item.
        CStoredAppointment stored;
        CAppointmentReadState state{zone, m_LocalTimeZone, {}};
        const bool compare = !(record->lFlag & NX_LOG_NEW) && ReadStoredAppointment(message, state, stored);
        WriteAppointmentProperties(message, *record, {m_TimeZones, m_LocalTimeZone, zone},
                                   compare ? &stored : nullptr);
        const HRESULT hr = message->SaveChanges(KEEP_OPEN_READWRITE);
        if (hr != S_OK) scope.Status("SaveChanges", hr);
        record->dtModifiedTime = StoredModificationTime(message, zone);
        return scope.Result(hr == S_OK);
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace NAMESPACE_MAPI
