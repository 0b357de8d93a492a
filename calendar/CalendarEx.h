// The appointment record (CCalendarEx with its CCalendarInfoEx text fields) and the calendar item
// document exchanged with the host: the inbound parse of WriteCalendars and the helpers that build
// the outbound documents delivered with DeliverCalendar.
//
// The document: root "Calendar", one element per value, each indented by a line feed and one tab.
// Values: integers as "%d" and read as the C library's wide string-to-integer conversion does;
// booleans "TRUE"/"FALSE", only the exact text "TRUE" reads as true; dates "%Y/%m/%d %H:%M:%S" in
// local time, read by the date-text parser with its two failure values (0.0 for a text that is no
// date, -1.0 for one shaped like a date that names none, both with status invalid).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "common/XMLParser.h"
#include "journal/Deltatrack.h"

namespace NAMESPACE_MAPI {

// Record kinds. A record's change flags (lFlag) are the journal's: NX_LOG_NEW, NX_LOG_CHANGED,
// NX_LOG_DELETED (journal/Deltatrack.h).
inline constexpr int32_t kFieldItemType = 100;
inline constexpr int32_t kCalendarRecordType = 102;
inline constexpr int32_t kWritableCalType = 3;  // the only calendar kind the write dispatch adds or updates

// The text fields of an appointment.
enum CalendarFieldId : int32_t {
    kFieldDescription = 3000,    // subject
    kFieldBody = 3002,           // notes
    kFieldLocation = 3003,       // place
    kFieldExceptionRule = 3024,  // exceptions text; kept, never written to the store
    kFieldTimeZone = 3037,       // zone text "GMT:..;DST:..;STD:..;DLT:.."
};

// One text field of an appointment. The value is never empty while the item exists.
class CCalendarInfoEx {
public:
    CCalendarInfoEx(int32_t fieldId, std::string value) : m_lFieldId(fieldId), m_strValue(std::move(value)) {}
    virtual ~CCalendarInfoEx() = default;

    int32_t m_lType = kFieldItemType;
    int32_t m_lFieldId;
    std::string m_strValue;
};

// One appointment on its way between a document and the store.
class CCalendarEx {
public:
    CCalendarEx() { Clear(); }
    virtual ~CCalendarEx() = default;
    CCalendarEx(const CCalendarEx&) = delete;
    CCalendarEx& operator=(const CCalendarEx&) = delete;

    // Deletes every item and gives every member its cleared value; the type code stays.
    void Clear();
    // Appends an item; the record owns it from now on. A null item is ignored.
    void AddItem(std::unique_ptr<CCalendarInfoEx> item);
    // The text of a field: its last occurrence, or null when the record has none.
    const std::string* FindField(int32_t fieldId) const;

    const std::vector<std::unique_ptr<CCalendarInfoEx>>& GetItems() const { return m_items; }

    int32_t m_lType = kCalendarRecordType;
    int32_t lCalType;
    int32_t lFlag;
    std::string PIMID;
    NAMESPACE_COMMON::CDateTime dtStartTime;
    NAMESPACE_COMMON::CDateTime dtEndTime;
    NAMESPACE_COMMON::CDateTime dtModifiedTime;  // set after a save: the item's local modification time
    int32_t nRingTone;
    std::string CsFolder;
    int32_t lRecurType;  // 0 none, 1 daily, 2 weekly, 3 monthly, 4 yearly
    int32_t lRecurDay;
    int32_t lRecurMonth;
    int32_t lRecurInstance;
    int32_t lRecurWeekDay;   // 1..4, -1 = last
    int32_t lRecurWeekMask;  // bit 0 Sunday .. bit 6 Saturday
    int32_t lRecurInterval;
    int32_t lRecurRepeat;
    NAMESPACE_COMMON::CDateTime dtRecurEndDate;
    int32_t bRecurHasEndDate;
    int32_t lReminderMinutes;  // -1 = no reminder
    int32_t Priority;
    bool bPriorityGiven;  // the document had a Priority element (a missing one is no priority to store)
    int32_t bAlldayEvent;

private:
    std::vector<std::unique_ptr<CCalendarInfoEx>> m_items;
};

// Value conversions of the calendar document (its integers: NAMESPACE_COMMON::ParseDecimalLong).
bool ParseDocumentBoolean(std::string_view text);  // only "TRUE"
NAMESPACE_COMMON::CDateTime ParseDocumentDate(std::string_view text);
std::string FormatDocumentInteger(int32_t value);
const char* FormatDocumentBoolean(bool value);
std::string FormatDocumentDate(const NAMESPACE_COMMON::CDateTime& value);  // "Invalid DateTime" when invalid

// Fills a cleared record from the text of an inbound calendar document. Each known element is
// looked up once by its absolute path, in the host's order; a missing element leaves its member
// alone, a text field is added only when its text is not empty. Malformed text fills nothing.
// Always 1, as the caller acts on the record alone.
int ParseCalendarXML(std::string_view text, CCalendarEx& record);

// Outbound documents: the declaration and an empty "Calendar" root. False when the document
// cannot be made.
bool CreateCalendarDocument(NAMESPACE_COMMON::CXMLParser& document);
// Appends one element with its text to the root, indented by a line feed and a tab.
NAMESPACE_COMMON::CXMLNode AddCalendarElement(NAMESPACE_COMMON::CXMLParser& document, const char* name,
                                              const std::string& text);
// The deletion notice the host gets for an appointment the journal reports as deleted: lFlag,
// PIMID, lCalType "3" and LastModifiedTime (upper-case L, unlike the full document's element).
bool BuildCalendarDeletionDocument(NAMESPACE_COMMON::CXMLParser& document, int32_t flags,
                                   const std::string& pimid, const NAMESPACE_COMMON::CDateTime& changeTime);

}  // namespace NAMESPACE_MAPI
