// Procedure 15: the appointments as the read flow (mapi/ItemRead.cpp) sees them. One document per
// appointment: CsFolder, [lFlag], the row's elements, PIMID, the message's elements
// (calendar/AppointmentXml.h) and lCalType 3; a document that already names its calendar kind (a
// non-Gregorian series) is not sent. A deleted appointment is the four-element notice of
// calendar/CalendarEx.h.
#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/LogFile.h"
#include "mapi/ItemRead.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CXMLParser;

namespace {

constexpr ItemReadKind kCalendarRead{
    kCalendarFolders,
    u"calendar",
    "Calendar",
    &CMAPIObject::GetCalendarCount,
    {.read = "ReadCalendars",
     .part = "ReadCalendarEvent",
     .folderFirst = false,
     .partFramed = true,
     .outcomeLines = true,
     .countOwner = "ReadCalenda",  // spelled so in the host's trace readers
     .countNoun = "Calendar",
     .fullRead = "NULL lParam1",
     .nothingToRead = "No Calendar to Read",
     .folderReadFailed = "Failed to read from folder",
     .changeRead = "Map File",
     .logReadFailed = "Failed to read from log",
     .fromFolder = "ReadCalendarEventFromFolder",
     .fromFolderOpening = "Finish",  // the host's trace readers expect this line to open the folder read
     .snapshot = "ReadCalendarEventLogFromFolder",
     .fromLog = "ReadCalendarEventFromLog",
     .deliverCall = "DeliverCalendar",
     .afterNotice = nullptr}};

class AppointmentDocuments final : public ItemDocuments {
public:
    AppointmentDocuments(std::vector<tagNxTimeZone>& zoneTable, const tagNxTimeZone& localZone)
        : m_zoneTable(zoneTable), m_localZone(localZone) {}

    void Start(const NAMESPACE_COMMON::TimeZoneSource& zone) override {
        NAMESPACE_COMMON::LoadTimeZones(m_zoneTable);
        m_state = {zone, m_localZone, {}};
    }
    LPSPropTagArray Columns() override { return m_columns.get(); }
    void AddRowElements(CXMLParser& document, std::string& pimid, const SPropValue* values,
                        ULONG count) override {
        AppointmentRowToXml(pimid, document, values, count, m_state.zone);
    }
    void AddMessageElements(CXMLParser& document, IMessage* message) override {
        AppointmentMessageToXml(document, message, m_state);
    }
    bool Sendable(CXMLParser& document) override {
        // A document that already names its calendar kind is a non-Gregorian series: the host
        // cannot take it, and it counts as delivered without being sent.
        if (document.SelectNode("/Calendar/lCalType")) return false;
        AddCalendarElement(document, "lCalType", FormatDocumentInteger(kWritableCalType));
        return true;
    }
    bool BuildDeletionNotice(CXMLParser& notice, const DeletedEntry& entry) override {
        if (!BuildCalendarDeletionDocument(notice, entry.flags, entry.pimid, entry.modified)) return false;
        CLogFile::Trace("CMAPIObject::total item %d delete index - %d\r\n", entry.total,
                        static_cast<int>(entry.index));
        return true;
    }

private:
    std::vector<tagNxTimeZone>& m_zoneTable;  // the object's, loaded once for the process
    const tagNxTimeZone& m_localZone;         // the machine's zone, taken at logon
    CAppointmentReadState m_state;
    ColumnTags<kAppointmentColumnCount> m_columns{AppointmentColumns()};
};

}  // namespace

int CMAPIObject::ReadCalendars(const char* /*first*/, const char* anchor, MAPIObjectGuard* held) {
    AppointmentDocuments documents(m_TimeZones, m_LocalTimeZone);
    return ReadItems(kCalendarRead, documents, m_lpEventFolder.get(), m_CalendarSink, anchor, held);
}

}  // namespace NAMESPACE_MAPI
