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
    // Only an appointment kind the agent can write is added or updated (the AddCalendar /
    // UpdateCalendar Finish line says "Failed" otherwise); a deletion goes through whatever the kind.
    static constexpr ItemWriteKind kCalendarWrite{"WriteCalendars", false, "AddCalendar", "UpdateCalendar"};
    const auto writable = [&] { return record->lCalType == kWritableCalType; };
    return DispatchItemWrite(kCalendarWrite, record ? &record->lFlag : nullptr,
                             {[&] { NAMESPACE_COMMON::LoadTimeZones(m_TimeZones); },
                              [&] { return writable() && AddCalendarEvent(record); },
                              [&] { return writable() && UpdateCalendarEvent(record); },
                              [&] { return DeleteCalendar(record) != 0; }});
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

BOOL CMAPIObject::UpdateCalendarEvent(CCalendarEx* record) {
    CTraceScope scope("UpdateCalendarEvent", Finish::kOutcome);
    try {
        if (!m_lpEventFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        const std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(record->PIMID);
        // No identifier names no item: an empty id would open the store's root folder.
        if (id.empty()) {
            scope.Line("Empty PIMID");
            return 0;
        }
        ComPtr<IMessage> message;
        const HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpEventFolder.get(), static_cast<ULONG>(id.size()),
                                                         id.data(), MAPI_MODIFY | MAPI_BEST_ACCESS, message);
        if (hr != S_OK || !message) {
            scope.Status("OpenEntry", hr);
            return 0;
        }
        return scope.Result(UpdateCalendarEventMessage(message.get(), record));
    } catch (const std::exception&) {
        return 0;
    }
}

BOOL CMAPIObject::DeleteCalendar(CCalendarEx* record) {
    CTraceScope scope("DeleteCalendar", Finish::kOutcome);
    try {
        if (!m_lpEventFolder || record == nullptr || record->PIMID.empty() || !MapiFunctionsComplete())
            return 0;
        const std::optional<HRESULT> hr = DeleteItemByHexId(m_lpEventFolder.get(), record->PIMID);
        if (!hr) return 0;
        if (*hr != S_OK) scope.Status("DeleteMessages", *hr);
        return scope.Result(*hr == S_OK);
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
