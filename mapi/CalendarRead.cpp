// Procedure 15: reading appointments into documents, one callback per appointment.
#include <exception>

#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;
using NAMESPACE_COMMON::FindText;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

constexpr ULONG kContentsFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;

// Sub-folders are read recursively; a store nesting deeper than this (only a damaged one can)
// has its deeper folders left out of the read, which then fails.
constexpr int kMaxReadDepth = 256;

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

int CMAPIObject::ReadCalendarEventChanges(ULONG /*cbEntryId*/, const BYTE* /*entryId*/,
                                          const std::string& /*folderName*/, const char* /*anchor*/) {
    // Until the change journal is linked, a change read cannot be answered.
    CLogFile::Trace("CMAPIObject::ReadCalendarEvent - Failed to read from log\r\n");
    return 0;
}

int CMAPIObject::ReadCalendarEventFromFolder(ULONG cbEntryId, const BYTE* entryId,
                                             const std::string& folderPath) {
    // The host's trace readers expect this line to open the folder read.
    CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - Finish\r\n");
    struct DepthCount {
        int& depth;
        explicit DepthCount(int& d) : depth(++d) {}
        ~DepthCount() { --depth; }
    } depth(m_nReadDepth);
    const MapiFunctions& fns = MapiTable();
    if (m_bInterrupted || !m_lpReadFolder || entryId == nullptr || depth.depth > kMaxReadDepth) {
        CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - Interrupted or INVALID Parameter\r\n");
        return 0;
    }
    int result = 0;
    try {
        ComPtr<IMAPIFolder> container;
        HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpReadFolder.get(), cbEntryId, entryId, MAPI_BEST_ACCESS,
                                                   container);
        CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - m_lpEventFolder->OpenEntry(0X%08X)\r\n",
                        Hr(hr));
        if (FAILED(hr)) {
            CLogFile::Trace(
                "CMAPIObject::ReadCalendarEventFromFolder - OpenEntry Failed or NULL lpContainer\r\n");
            return 0;
        }
        ComPtr<IMAPITable> table;
        hr = container->GetContentsTable(kContentsFlags, table.put());
        CLogFile::Trace(
            "CMAPIObject::ReadCalendarEventFromFolder - lpContainer->GetContentsTable(0X%08X)\r\n", Hr(hr));
        if (SUCCEEDED(hr) && table) {
            AppointmentColumnArray columns;
            EqualsRestriction isAppointment(PR_MESSAGE_CLASS_W, std::u16string(u"IPM.Appointment"));
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), columns.tags.get(), isAppointment.get(), nullptr, 0,
                                    rows.put());
            CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - pfnHrQueryAllRows(0X%08X)\r\n",
                            Hr(hr));
            if (SUCCEEDED(hr)) {
                result = 1;
                for (ULONG i = 0; i < rows.size(); ++i) {
                    if (m_bInterrupted) {
                        result = 0;
                        break;
                    }
                    CXMLParser document;
                    if (!CreateCalendarDocument(document)) {
                        CLogFile::Trace("Xml to calnedaex - failed\r\n");
                        return 0;
                    }
                    AddCalendarElement(document, "CsFolder", folderPath);
                    std::string pimid;
                    AppointmentRowToXml(pimid, document, rows[i].lpProps, rows[i].cValues,
                                        m_CalendarRead.zone);
                    AddCalendarElement(document, "PIMID", pimid);
                    // A message that cannot be opened still goes out, with the row's elements only.
                    if (ComPtr<IMessage> message =
                            NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid))
                        AppointmentMessageToXml(document, message.get(), m_CalendarRead);
                    ++m_nItemsDelivered;
                    if (!DeliverCalendarDocument("ReadCalendarEventFromFolder", document)) {
                        // The host did not take it: it would not take the rest either, and a read
                        // it missed part of is a failed read.
                        result = 0;
                        break;
                    }
                }
            }
        }
        table.reset();

        if (m_Config.subFolder && !m_bInterrupted && result == 1) {
            ComPtr<IMAPITable> hierarchy;
            hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
            CLogFile::Trace(
                "CMAPIObject::ReadCalendarEventFromFolder - lpContainer->GetHierarchyTable(0X%08X)\r\n",
                Hr(hr));
            if (SUCCEEDED(hr) && hierarchy) {
                SizedSPropTagArray<4> columns = {
                    4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
                EqualsRestriction isCalendar(PR_CONTAINER_CLASS_W, std::u16string(u"IPF.Appointment"));
                RowSetPtr rows(fns.FreeProws);
                hr = fns.HrQueryAllRows(hierarchy.get(), columns.get(), isCalendar.get(), nullptr, 0,
                                        rows.put());
                CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - pfnHrQueryAllRows(0X%08X)\r\n",
                                Hr(hr));
                for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
                    const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
                    // A folder's path is its parent's and its own name: the host's folder text.
                    const std::string subPath = folderPath + "\\" + FindText(rows[i], PR_DISPLAY_NAME_W);
                    if (ReadCalendarEventFromFolder(id ? id->cb : 0, id ? id->lpb : nullptr, subPath) == 0) {
                        result = 0;
                        break;
                    }
                }
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::ReadCalendarEventFromFolder - Finish(%s)\r\n",
                    result ? "Succeeded" : "Failed");
    return result;
}

}  // namespace NAMESPACE_MAPI
