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

// One operation between its Begin and Finish lines; an exception inside is the operation's failure.
template <typename Body>
BOOL Traced(const char* name, Body&& body) {
    CLogFile::Trace("CMAPIObject::%s - Begin\r\n", name);
    BOOL result = 0;
    try {
        result = body();
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::%s - Finish(%s)\r\n", name, Outcome(result));
    return result;
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
        // added or updated (the Finish line says "Failed" otherwise), while a deletion goes
        // through whatever the kind.
        const auto writeIf = [&](const char* name, int32_t flag, BOOL (CMAPIObject::*write)(CCalendarEx*)) {
            const BOOL ok =
                Traced(name, [&] { return record->lCalType == kWritableCalType && (this->*write)(record); });
            if (ok) record->lFlag &= ~flag;
        };
        if (record->lFlag & NX_LOG_NEW) {
            writeIf("AddCalendar", NX_LOG_NEW, &CMAPIObject::AddCalendarEvent);
        } else if (record->lFlag & NX_LOG_CHANGED) {
            writeIf("UpdateCalendar", NX_LOG_CHANGED, &CMAPIObject::UpdateCalendarEvent);
        } else if (record->lFlag & NX_LOG_DELETED) {
            if (DeleteCalendar(record)) record->lFlag &= ~NX_LOG_DELETED;
        }
    } catch (const std::exception&) {
        result = 1;
    }
    CLogFile::Trace("CMAPIObject::WriteCalendars - Finish\r\n");
    return result;
}

BOOL CMAPIObject::AddCalendarEvent(CCalendarEx* record) {
    return Traced("AddCalendarEvent", [&]() -> BOOL {
        if (!m_lpEventFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        ComPtr<IMessage> message;
        const HRESULT hr = m_lpEventFolder->CreateMessage(nullptr, 0, message.put());
        if (hr != S_OK || !message) {
            CLogFile::Trace("CMAPIObject::AddCalendarEvent - CreateMessage(0X%08X)\r\n", Hr(hr));
            return 0;
        }
        BOOL result = UpdateCalendarEventMessage(message.get(), record);
        // The identifier the host keeps for the item. A message whose id cannot be read back (it
        // was never saved) leaves the identifier empty, which the host takes for a failed add; a
        // saved item without an identifier would be one the host cannot name, so the add counts
        // as failed then too.
        record->PIMID.clear();
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
        if (id && id->ulPropTag == PR_ENTRYID && id->Value.bin.cb != 0) {
            record->PIMID = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
        } else {
            CLogFile::Trace("CMAPIObject::AddCalendarEvent - No PR_ENTRYID\r\n");
            result = 0;
        }
        return result;
    });
}

BOOL CMAPIObject::UpdateCalendarEvent(CCalendarEx* record) {
    return Traced("UpdateCalendarEvent", [&]() -> BOOL {
        if (!m_lpEventFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        const std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(record->PIMID);
        // No identifier names no item: an empty id would open the store's root folder.
        if (id.empty()) {
            CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - Empty PIMID\r\n");
            return 0;
        }
        ComPtr<IMessage> message;
        const HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpEventFolder.get(), static_cast<ULONG>(id.size()),
                                                         id.data(), MAPI_MODIFY | MAPI_BEST_ACCESS, message);
        if (hr != S_OK || !message) {
            CLogFile::Trace("CMAPIObject::UpdateCalendarEvent - OpenEntry(0X%08X)\r\n", Hr(hr));
            return 0;
        }
        return UpdateCalendarEventMessage(message.get(), record);
    });
}

BOOL CMAPIObject::DeleteCalendar(CCalendarEx* record) {
    return Traced("DeleteCalendar", [&]() -> BOOL {
        if (!m_lpEventFolder || record == nullptr || record->PIMID.empty() || !MapiFunctionsComplete())
            return 0;
        // The item goes from the folder that holds it, which may be a sub-folder.
        ComPtr<IMAPIFolder> parent =
            NAMESPACE_COMMON::OpenParentFolderByHexId(m_lpEventFolder.get(), record->PIMID);
        if (!parent) return 0;
        std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(record->PIMID);
        SBinary entry{static_cast<ULONG>(id.size()), id.data()};
        ENTRYLIST list{1, &entry};
        const HRESULT hr = parent->DeleteMessages(&list, 0, nullptr, 0);
        if (hr != S_OK) CLogFile::Trace("CMAPIObject::DeleteCalendar - DeleteMessages(0X%08X)\r\n", Hr(hr));
        return hr == S_OK;
    });
}

BOOL CMAPIObject::UpdateCalendarEventMessage(IMessage* message, CCalendarEx* record) {
    return Traced("UpdateCalendarEventMessage", [&]() -> BOOL {
        if (message == nullptr || record == nullptr) return 0;
        // Every time is converted with the zone the machine has now, taken once for the write.
        const NAMESPACE_COMMON::TimeZoneSource zone = LocalZone();
        WriteAppointmentProperties(message, *record, {m_TimeZones, m_LocalTimeZone, zone});
        const HRESULT hr = message->SaveChanges(KEEP_OPEN_READWRITE);
        if (hr != S_OK)
            CLogFile::Trace("CMAPIObject::UpdateCalendarEventMessage - SaveChanges(0X%08X)\r\n", Hr(hr));

        record->dtModifiedTime = CDateTime();
        MapiBuffer<SPropValue> modified = NAMESPACE_COMMON::GetOneProp(message, PR_LAST_MODIFICATION_TIME);
        SYSTEMTIME utc{};
        if (modified && modified->ulPropTag == PR_LAST_MODIFICATION_TIME &&
            NAMESPACE_COMMON::FileTimeToSystemTime(modified->Value.ft, utc))
            NAMESPACE_COMMON::UtcToLocal(utc, record->dtModifiedTime, zone);
        return hr == S_OK;
    });
}

}  // namespace NAMESPACE_MAPI
