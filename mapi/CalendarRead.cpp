// Procedure 15: reading appointments into documents, one callback per appointment.
#include <exception>

#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::FindText;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

// Progress messages of a calendar read (wParam, lParam).
constexpr uint64_t kProgressReadEnded = 0x10004;
constexpr uint64_t kProgressReadSucceeded = 0x10000022;
constexpr uint64_t kProgressReadFailed = 0x10000014;
constexpr int64_t kProgressInterrupted = 21;

struct AppointmentColumnArray {
    AppointmentColumnArray() {
        tags.cValues = static_cast<ULONG>(AppointmentColumns().size());
        std::copy(AppointmentColumns().begin(), AppointmentColumns().end(), tags.aulPropTag);
    }
    SizedSPropTagArray<kAppointmentColumnCount> tags{};
};

}  // namespace

bool CMAPIObject::DeliverCalendarDocument(const char* operation, CXMLParser& document) {
    // A document that already names its calendar kind is a non-Gregorian series: the host cannot
    // take it, and it counts as delivered without being sent.
    if (document.SelectNode("/Calendar/lCalType")) return true;
    AddCalendarElement(document, "lCalType", FormatDocumentInteger(kWritableCalType));
    const uint32_t status =
        m_CalendarSink ? m_CalendarSink(document.GetXML()) : 1702u;  // RPC_S_INVALID_BINDING
    if (status == 0) return true;
    CLogFile::Trace("CMAPIObject::%s - DeliverCalendar(0X%08X)\r\n", operation, status);
    return false;
}

int CMAPIObject::ReadCalendars(const char* /*first*/, const char* anchor) {
    CLogFile::Trace("CMAPIObject::ReadCalendars - Begin\r\n");
    int result = 0;
    if (m_bReading) {
        // A second host connection asking for a read while one waits on the host: the per-read
        // state belongs to the first.
        CLogFile::Trace("CMAPIObject::ReadCalendars - Read in progress\r\n");
        CLogFile::Trace("CMAPIObject::ReadCalendars - Finish\r\n");
        return 1;
    }
    m_bReading = true;
    m_lpReadFolder = m_lpEventFolder;
    try {
        NAMESPACE_COMMON::LoadTimeZones(m_TimeZones);
        m_CalendarRead = {LocalZone(), m_LocalTimeZone, {}};
        m_bInterrupted = 0;
        m_nItemsDelivered = 0;
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Begin\r\n");
        m_nItemCount = GetCalendarEventCount();
        CLogFile::Trace("CMAPIObject::GetCalendarCount - Finish\r\n");
        CLogFile::Trace("CMAPIObject::ReadCalenda - Calendar Count(%d)\r\n", m_nItemCount);
        if (ReadCalendarEvent(anchor) == 0) result = 1;
    } catch (const std::exception&) {
        result = 1;
    }
    m_lpReadFolder.reset();
    m_bReading = false;

    SendProgress(kProgressReadEnded, 0);
    if (result == 0) {
        CLogFile::Trace("CMAPIObject::ReadCalendars - Read Succeeded\r\n");
        SendProgress(kProgressReadSucceeded, 0);
    } else if (m_bInterrupted) {
        CLogFile::Trace("CMAPIObject::ReadCalendars - Read Interrupted\r\n");
        SendProgress(kProgressReadFailed, kProgressInterrupted);
    } else {
        CLogFile::Trace("CMAPIObject::ReadCalendars - Read Failed\r\n");
        SendProgress(kProgressReadFailed, 0);
    }
    CLogFile::Trace("CMAPIObject::ReadCalendars - Finish\r\n");
    return result;
}

int CMAPIObject::ReadCalendarEvent(const char* anchor) {
    CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Begin\r\n");
    if (!m_lpReadFolder || !MapiFunctionsComplete()) {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - NULL m_lpEventFolder\r\n");
        return 0;
    }
    SizedSPropTagArray<2> tags = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    ULONG n = 0;
    MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
    const HRESULT hr = m_lpReadFolder->GetProps(tags.get(), MAPI_UNICODE, &n, values.put());
    CLogFile::Trace("CMAPIObject::ReadCalendarEvent - m_lpEventFolder->GetProps(0X%08X)\r\n", Hr(hr));
    if (hr != S_OK || !values || n < 2 || values[1].ulPropTag != PR_ENTRYID) {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Failed to GetProps or NULL lpPropValues\r\n");
        return 0;
    }
    SRow folderRow{0, n, values.get()};
    const std::string folderName = FindText(folderRow, PR_DISPLAY_NAME_W);
    const SBinary& folderId = values[1].Value.bin;
    int result = 1;
    if (anchor != nullptr && *anchor != '\0') {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Map File(%s)\r\n", anchor);
        result = ReadCalendarEventChanges(folderId.cb, folderId.lpb, folderName, anchor);
    } else {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - NULL lParam1\r\n");
        if (m_nItemCount < 1) {
            CLogFile::Trace("CMAPIObject::ReadCalendarEvent - No Calendar to Read\r\n");
        } else if (ReadCalendarEventFromFolder(folderId.cb, folderId.lpb, folderName) == 0) {
            CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Failed to read from folder\r\n");
            result = 0;
        }
    }
    CLogFile::Trace("CMAPIObject::before pfnfreeBuffer\r\n");
    values.reset();
    CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Finish(%s)\r\n", result ? "Succeeded" : "Failed");
    return result;
}

int CMAPIObject::ReadCalendarEventChanges(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName,
                                          const char* anchor) {
    CLogItemArray snapshot;
    if (ReadCalendarEventLogFromFolder(cbEntryId, entryId, snapshot) == 0) {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Failed to read from log\r\n");
        return 0;
    }
    int result = 1;
    CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Call GetChangeLog\r\n");
    const CJournalRequest change(u"calendar", anchor);
    if (GetChangeLog(snapshot.get(), &change.request) <= 0) {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - No Change\r\n");
    } else {
        CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Read Changes\r\n");
        if (ReadCalendarEventFromLog(snapshot, folderName) == 0) {
            CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Failed to read from log\r\n");
            // The journal keeps the anchor's old state: the next change read reports these
            // changes again.
            CLogFile::Trace(
                "CMAPIObject::ReadCalendarEvent - CommitChangeLog skipped: not every change reached the "
                "host\r\n");
            result = 0;
        } else if (const int32_t committed = CommitChangeLog(&change.request); committed < 0) {
            // Everything was delivered but the journal could not record it: the next change read
            // repeats these changes, so this one is reported as failed.
            CLogFile::Trace("CMAPIObject::ReadCalendarEvent - CommitChangeLog(%d)\r\n", committed);
            result = 0;
        }
    }
    CLogFile::Trace("CMAPIObject::before logArrayRemoveall\r\n");
    return result;
}

int CMAPIObject::ReadCalendarEventLogFromFolder(ULONG cbEntryId, const BYTE* entryId,
                                                CLogItemArray& snapshot) {
    return ReadLogFromFolder(kCalendarFolders, "ReadCalendarEventLogFromFolder", cbEntryId, entryId,
                             m_CalendarRead.zone, snapshot);
}

// One appointment's document: CsFolder, [lFlag], the row elements, PIMID and, when the message
// opens, the message-level elements. False when no document can be made.
bool CMAPIObject::BuildAppointmentDocument(CXMLParser& document, const std::string& folderPath,
                                           const char* flags, const SPropValue* values, ULONG count,
                                           std::string& pimid, IMessage* message) {
    if (!CreateCalendarDocument(document)) {
        CLogFile::Trace("Xml to calnedaex - failed\r\n");
        return false;
    }
    AddCalendarElement(document, "CsFolder", folderPath);
    if (flags) AddCalendarElement(document, "lFlag", flags);
    std::string rowId;
    AppointmentRowToXml(rowId, document, values, count, m_CalendarRead.zone);
    if (pimid.empty()) pimid = rowId;  // the change read keeps the journal's identifier
    AddCalendarElement(document, "PIMID", pimid);
    if (message) AppointmentMessageToXml(document, message, m_CalendarRead);
    return true;
}

int CMAPIObject::ReadCalendarEventFromLog(CLogItemArray& changes, const std::string& folderPath) {
    CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - Begin\r\n");
    m_nItemCount = static_cast<int32_t>(changes.GetSize());
    int result = 1;
    try {
        for (int64_t i = 0; i < changes.GetSize() && result == 1; ++i) {
            const int32_t flags = changes[i].lFlags;
            std::string pimid = nx::sys::Utf16ToUtf8(changes.IdAt(i));
            const bool addedOrChanged = (flags & (NX_LOG_NEW | NX_LOG_CHANGED)) != 0;
            if (!addedOrChanged && (flags & NX_LOG_DELETED) == 0) continue;
            CXMLParser document;
            if (!addedOrChanged) {
                CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - Delete(%s)\r\n", pimid.c_str());
                const NAMESPACE_COMMON::CDateTime modified(
                    changes[i].dtModified,
                    static_cast<NAMESPACE_COMMON::CDateTime::DateTimeStatus>(changes[i].lTimeStatus));
                if (!BuildCalendarDeletionDocument(document, flags, pimid, modified)) {
                    CLogFile::Trace("Xml to calnedaex - failed\r\n");
                    return 0;
                }
                CLogFile::Trace("CMAPIObject::total item %d delete index - %d\r\n", m_nItemCount,
                                static_cast<int>(i));
                ++m_nItemsDelivered;
                // The notice carries its own lCalType: sent as it is.
                const uint32_t status = m_CalendarSink ? m_CalendarSink(document.GetXML()) : 1702u;
                if (status != 0) {
                    CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - DeliverCalendar(0X%08X)\r\n",
                                    status);
                    result = 0;
                }
                continue;
            }
            CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - %s(%s)\r\n",
                            (flags & NX_LOG_NEW) ? "New" : "Update", pimid.c_str());
            ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid);
            if (!message) continue;  // gone since the snapshot, or not readable: not sent
            AppointmentColumnArray columns;
            ULONG count = 0;
            MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
            if (FAILED(message->GetProps(columns.tags.get(), MAPI_UNICODE, &count, values.put())) ||
                !values) {
                CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - NULL lpPropValues\r\n");
                return 0;
            }
            const std::string flagText = FormatDocumentInteger(flags);
            if (!BuildAppointmentDocument(document, folderPath, flagText.c_str(), values.get(), count, pimid,
                                          message.get()))
                return 0;
            ++m_nItemsDelivered;
            if (!DeliverCalendarDocument("ReadCalendarEventFromLog", document)) result = 0;
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::ReadCalendarEventFromLog - Finish(%s)\r\n",
                    result ? "Succeeded" : "Failed");
    return result;
}

int CMAPIObject::ReadCalendarEventFromFolder(ULONG cbEntryId, const BYTE* entryId,
                                             const std::string& folderPath) {
    AppointmentColumnArray columns;
    const FolderVisit visit{
        kCalendarFolders,
        "ReadCalendarEventFromFolder",
        "Finish",  // the host's trace readers expect this line to open the folder read
        columns.tags.get(),
        [this](const SRow& row, const std::string& path) {
            CXMLParser document;
            std::string pimid;
            if (!BuildAppointmentDocument(document, path, nullptr, row.lpProps, row.cValues, pimid, nullptr))
                return -1;
            // A message that cannot be opened still goes out, with the row's elements only.
            if (ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid))
                AppointmentMessageToXml(document, message.get(), m_CalendarRead);
            ++m_nItemsDelivered;
            // A host that did not take a document would not take the rest either, and a read it
            // missed part of is a failed read.
            return DeliverCalendarDocument("ReadCalendarEventFromFolder", document) ? 1 : 0;
        },
        [this](ULONG cb, const BYTE* id, const std::string& path) {
            return ReadCalendarEventFromFolder(cb, id, path);
        },
        true};
    return WalkFolder(cbEntryId, entryId, folderPath, visit);
}

}  // namespace NAMESPACE_MAPI
