// Procedure 13: adding, updating and deleting one appointment from the host's document.
#include <exception>

#include "calendar/AppointmentWrite.h"
#include "calendar/CalendarEx.h"
#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

const char* Outcome(BOOL ok) {
    return ok ? "Succeeded" : "Failed";
}

}  // namespace

int CMAPIObject::WriteCalendars(CCalendarEx* record) {
    CLogFile::Trace("CMAPIObject::WriteCalendars - Begin\r\n");
    int result = 0;
    try {
        NAMESPACE_COMMON::LoadTimeZones(m_TimeZones);
        if (record == nullptr) {
            CLogFile::Trace("CMAPIObject::WriteCalendars - NULL Parameter\r\n");
            return 1;
        }
        // New first, then changed, then deleted; only an appointment kind the agent can write is
        // added or updated, while a deletion goes through whatever the kind.
        if (record->lFlag & kFlagNew) {
            CLogFile::Trace("CMAPIObject::AddCalendar - Begin\r\n");
            const BOOL ok = record->lCalType == kWritableCalType && AddCalendarEvent(record);
            CLogFile::Trace("CMAPIObject::AddCalendar - Finish(%s)\r\n", Outcome(ok));
            if (ok) record->lFlag &= ~kFlagNew;
        } else if (record->lFlag & kFlagChanged) {
            CLogFile::Trace("CMAPIObject::UpdateCalendar - Begin\r\n");
            const BOOL ok = record->lCalType == kWritableCalType && UpdateCalendarEvent(record);
            CLogFile::Trace("CMAPIObject::UpdateCalendar - Finish(%s)\r\n", Outcome(ok));
            if (ok) record->lFlag &= ~kFlagChanged;
        } else if (record->lFlag & kFlagDeleted) {
            if (DeleteCalendar(record)) record->lFlag &= ~kFlagDeleted;
        }
    } catch (const std::exception&) {
        result = 1;
    }
    CLogFile::Trace("CMAPIObject::WriteCalendars - Finish\r\n");
    return result;
}

BOOL CMAPIObject::AddCalendarEvent(CCalendarEx* record) {
    CLogFile::Trace("CMAPIObject::AddCalendarEvent - Begin\r\n");
    BOOL result = 0;
    try {
        if (m_lpEventFolder && record != nullptr && MapiFunctionsComplete()) {
            ComPtr<IMessage> message;
            const HRESULT hr = m_lpEventFolder->CreateMessage(nullptr, 0, message.put());
            if (hr != S_OK || !message) {
                CLogFile::Trace("CMAPIObject::AddCalendarEvent - CreateMessage(0X%08X)\r\n", Hr(hr));
            } else {
                result = UpdateCalendarEventMessage(message.get(), record);
                // The identifier the host keeps for the item. A message whose id cannot be read
                // back (it was never saved) leaves the identifier empty, which the host takes for
                // a failed add; a saved item without an identifier would be one the host cannot
                // name, so the add counts as failed then too.
                record->PIMID.clear();
                MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
                if (id && id->ulPropTag == PR_ENTRYID && id->Value.bin.cb != 0) {
                    record->PIMID = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
                } else {
                    CLogFile::Trace("CMAPIObject::AddCalendarEvent - No PR_ENTRYID\r\n");
                    result = 0;
                }
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::AddCalendarEvent - Finish(%s)\r\n", Outcome(result));
    return result;
}

BOOL CMAPIObject::UpdateCalendarEvent(CCalendarEx* record) {
    CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - Begin\r\n");
    BOOL result = 0;
    try {
        if (m_lpEventFolder && record != nullptr && MapiFunctionsComplete()) {
            const std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(record->PIMID);
            // No identifier names no item: an empty id would open the store's root folder.
            if (id.empty()) {
                CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - Empty PIMID\r\n");
            } else {
                ComPtr<IMessage> message;
                const HRESULT hr =
                    NAMESPACE_COMMON::OpenEntryAs(m_lpEventFolder.get(), static_cast<ULONG>(id.size()),
                                                  id.data(), MAPI_MODIFY | MAPI_BEST_ACCESS, message);
                if (hr == S_OK && message)
                    result = UpdateCalendarEventMessage(message.get(), record);
                else
                    CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - OpenEntry(0X%08X)\r\n", Hr(hr));
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - Finish(%s)\r\n", Outcome(result));
    return result;
}

BOOL CMAPIObject::DeleteCalendar(CCalendarEx* record) {
    CLogFile::Trace("CMAPIObject::DeleteCalendar - Begin\r\n");
    BOOL result = 0;
    try {
        if (m_lpEventFolder && record != nullptr && !record->PIMID.empty() && MapiFunctionsComplete()) {
            // The item goes from the folder that holds it, which may be a sub-folder.
            ComPtr<IMAPIFolder> parent =
                NAMESPACE_COMMON::OpenParentFolderByHexId(m_lpEventFolder.get(), record->PIMID);
            if (parent) {
                std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(record->PIMID);
                SBinary entry{static_cast<ULONG>(id.size()), id.data()};
                ENTRYLIST list{1, &entry};
                const HRESULT hr = parent->DeleteMessages(&list, 0, nullptr, 0);
                if (hr != S_OK)
                    CLogFile::Trace("CMAPIObject::DeleteCalendar - DeleteMessages(0X%08X)\r\n", Hr(hr));
                result = hr == S_OK;
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::DeleteCalendar - Finish(%s)\r\n", Outcome(result));
    return result;
}

BOOL CMAPIObject::UpdateCalendarEventMessage(IMessage* message, CCalendarEx* record) {
    CLogFile::Trace("CMAPIObject::UpdateCalendarEventMessage - Begin\r\n");
    BOOL result = 0;
    if (message != nullptr && record != nullptr) {
        // Every time is converted with the zone the machine has now, taken once for the write.
        const NAMESPACE_COMMON::TimeZoneSource zone = LocalZone();
        WriteAppointmentProperties(message, *record, {m_TimeZones, m_LocalTimeZone, zone});
        const HRESULT hr = message->SaveChanges(KEEP_OPEN_READWRITE);
        if (hr != S_OK)
            CLogFile::Trace("CMAPIObject::UpdateCalendarEventMessage - SaveChanges(0X%08X)\r\n", Hr(hr));
        result = hr == S_OK;

        record->dtModifiedTime = CDateTime();
        MapiBuffer<SPropValue> modified = NAMESPACE_COMMON::GetOneProp(message, PR_LAST_MODIFICATION_TIME);
        SYSTEMTIME utc{};
        if (modified && modified->ulPropTag == PR_LAST_MODIFICATION_TIME &&
            NAMESPACE_COMMON::FileTimeToSystemTime(modified->Value.ft, utc))
            NAMESPACE_COMMON::UtcToLocal(utc, record->dtModifiedTime, zone);
    }
    CLogFile::Trace("CMAPIObject::UpdateCalendarEventMessage - Finish(%s)\r\n", Outcome(result));
    return result;
}

}  // namespace NAMESPACE_MAPI
