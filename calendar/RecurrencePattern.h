// The recurrence of an appointment in its three forms: the record's flat members (CCalendarEx),
// the store's binary appointment recurrence pattern (the published AppointmentRecurrencePattern
// with its ExceptionInfo and ExtendedException blocks), and the host's recurrence elements with
// the exceptions text.
//
// Every date inside the pattern is an unsigned count of minutes since 1601-01-01 00:00 of local
// wall-clock time; nothing here converts between zones.
//
// Reading outside bytes: every field is read only when it fits in the bytes left; a field that
// does not fit is not read, stays 0, and the position does not move. A list is never sized from
// its count alone: it holds at most as many entries as the bytes left could carry (4 bytes a
// date), so a blob can never make the reader allocate more than a small multiple of its own size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/CalendarEx.h"
#include "common/DateTime.h"
#include "common/XMLParser.h"

namespace NAMESPACE_MAPI {

// RecurFrequency, PatternType, EndType and versions.
inline constexpr uint16_t kRecurFrequencyDaily = 0x200A;
inline constexpr uint16_t kRecurFrequencyWeekly = 0x200B;
inline constexpr uint16_t kRecurFrequencyMonthly = 0x200C;
inline constexpr uint16_t kRecurFrequencyYearly = 0x200D;
inline constexpr uint16_t kPatternDay = 0;
inline constexpr uint16_t kPatternWeek = 1;
inline constexpr uint16_t kPatternMonth = 2;
inline constexpr uint16_t kPatternMonthNth = 3;
inline constexpr uint16_t kPatternMonthEnd = 4;
inline constexpr uint16_t kPatternHjMonth = 10;
inline constexpr uint16_t kPatternHjMonthNth = 11;
inline constexpr uint16_t kPatternHjMonthEnd = 12;
inline constexpr uint32_t kEndAfterDate = 0x2021;
inline constexpr uint32_t kEndAfterOccurrences = 0x2022;
inline constexpr uint32_t kEndNever = 0x2023;
inline constexpr uint32_t kEndNeverOld = 0xFFFFFFFF;
inline constexpr uint16_t kRecurReaderVersion = 0x3004;
inline constexpr uint16_t kRecurWriterVersion = 0x3004;
inline constexpr uint32_t kRecurReaderVersion2 = 0x3006;
inline constexpr uint32_t kRecurWriterVersion2 = 0x3008;
inline constexpr uint32_t kNoEndDateMinutes = 0x5AE980DF;  // 4500-12-31 23:59
inline constexpr std::size_t kRecurrencePatternMaxSize = 84;

// OverrideFlags of an exception.
inline constexpr uint16_t kOverrideSubject = 0x0001;
inline constexpr uint16_t kOverrideMeetingType = 0x0002;
inline constexpr uint16_t kOverrideReminderDelta = 0x0004;
inline constexpr uint16_t kOverrideReminderSet = 0x0008;
inline constexpr uint16_t kOverrideLocation = 0x0010;
inline constexpr uint16_t kOverrideBusyStatus = 0x0020;
inline constexpr uint16_t kOverrideAttachment = 0x0040;
inline constexpr uint16_t kOverrideSubType = 0x0080;
inline constexpr uint16_t kOverrideAppointmentColor = 0x0100;

// One modified occurrence.
struct tagExceptionInfo {
    uint32_t ModifiedInstanceDate = 0;
    uint16_t OverrideFlags = 0;
    uint32_t StartDateTime = 0;
    uint32_t EndDateTime = 0;
    uint32_t OriginalStartDate = 0;
    uint32_t MeetingType = 0;
    int32_t ReminderDelta = 0;
    int32_t ReminderSet = 0;
    uint32_t BusyStatus = 0;
    uint32_t Attachment = 0;
    int32_t SubType = 0;
    uint32_t AppointmentColor = 0;
    std::u16string Subject;  // the stored UTF-16 units, unpaired surrogates included
    std::u16string Location;
    std::u16string Reserved;  // the third text, always empty
};

struct tagRecurrencePattern {
    virtual ~tagRecurrencePattern() = default;
    // Every number 0, both lists empty.
    void Clear() { *this = tagRecurrencePattern(); }

    uint16_t ReaderVersion = 0;
    uint16_t WriterVersion = 0;
    uint16_t RecurFrequency = 0;
    uint16_t PatternType = 0;
    uint16_t CalendarType = 0;
    uint32_t FirstDateTime = 0;
    uint32_t Period = 0;
    uint32_t SlidingFlag = 0;
    uint32_t DayOfWeek = 0;  // mask: bit 0 Sunday .. bit 6 Saturday
    uint32_t N = 0;          // week of the month, 5 = last
    uint32_t Day = 0;        // day of the month
    uint32_t EndType = 0;
    uint32_t OccurrenceCount = 0;
    uint32_t FirstDOW = 0;
    // The counts as stored; the lists hold the entries the bytes actually carried.
    int32_t DeletedInstanceCount = 0;
    std::vector<uint32_t> DeletedInstanceDates;
    int32_t ModifiedInstanceCount = 0;
    std::vector<tagExceptionInfo> Exceptions;
    uint32_t StartDate = 0;
    uint32_t EndDate = 0;
    uint32_t ReaderVersion2 = 0;
    uint32_t WriterVersion2 = 0;
    uint32_t StartTimeOffset = 0;
    uint32_t EndTimeOffset = 0;
    uint16_t ExceptionCount = 0;
};

// Minutes since 1601 <-> date values. A minute count always names a date (the largest is in the
// year 9767). A date that is not valid gives 0; a valid date before 1601 gives 0 and one beyond
// the 32-bit range gives 0xFFFFFFFF: the nearest count there is.
void MinutesToDate(uint32_t minutes, NAMESPACE_COMMON::CDateTime& date);
uint32_t DateToMinutes(const NAMESPACE_COMMON::CDateTime& date);

// The occurrences of a pattern from its StartDate through a last day (minutes, at most the
// no-end date), at most `limit` of them: how many, and the midnight of the last (0 for none).
// Monthly and yearly series fall on the start's month and every Period months after it (a day
// past a month's end on its last day); weekly ones on the weeks from the start's (Sunday first).
struct OccurrenceSpan {
    uint32_t count = 0;
    uint32_t last = 0;
};
OccurrenceSpan CountOccurrences(const tagRecurrencePattern& pattern, uint32_t lastDay, uint32_t limit);

// The pattern of the record's series, without exceptions, with the published anchor
// (FirstDateTime) and both end fields: an end-by-date series counts its occurrences, a counted one
// ends on the day of its last. `endRule` 0 takes the end rule from the record (an end date with
// bRecurHasEndDate ends by date, else a count ends by count, else no end); kEndAfterOccurrences
// or kEndNever keeps that rule of a stored series whose end elements the host sent back as read.
void BuildRecurrencePattern(tagRecurrencePattern& pattern, const CCalendarEx& record, uint32_t endRule = 0);

// The stored form of a pattern built by BuildRecurrencePattern (84 bytes at most without
// exceptions), with its deleted dates, modified dates and exception blocks (ExceptionInfo and
// ExtendedException, writer version 0x3008). 0 when `out` is null or memory runs out, else 1 with
// `out` holding exactly the bytes.
int SerializeRecurrencePattern(const tagRecurrencePattern& pattern, std::vector<uint8_t>* out);

// Reads a stored pattern; the number of bytes consumed (0 for a null pointer).
std::size_t ParseRecurrencePattern(const uint8_t* bytes, std::size_t length, tagRecurrencePattern& pattern);

// Appends the host's recurrence elements to the document's root and, when the series has deleted
// or moved occurrences, the "ExceptionRule" element with the exceptions text. Reads the item's
// Description, Location, bAlldayEvent and lReminderMinutes elements for the defaults of an
// exception, and rewrites lRecurType to 2 for an every-weekday series.
void RecurrencePatternToXml(const tagRecurrencePattern& pattern, NAMESPACE_COMMON::CXMLParser& document);

// The host's exceptions text read back (the inbound "ExceptionRule", outside bytes): the deleted
// days and the modified occurrences, each as BuildExceptionsText writes them. Dates are minutes
// since 1601 of local wall-clock time.
struct tagExceptionEntry {
    uint32_t Day = 0;  // the day the modification is listed under (its new start's day)
    std::u16string Subject;
    std::u16string Location;
    uint32_t Start = 0;
    uint32_t End = 0;
    int32_t ReminderSet = 0;
    int32_t ReminderDelta = 0;
    int32_t AllDay = 0;
};
struct tagExceptionsText {
    std::vector<uint32_t> Deletions;  // midnights
    std::vector<tagExceptionEntry> Modifications;
};
// False (and `out` partly filled) for a text that is not of that form: "<exceptions>", deletion
// and modification elements in any order and number, "</exceptions>"; white space between
// elements is free, a text element's content is base64 of UTF-16LE.
bool ParseExceptionsText(std::string_view text, tagExceptionsText& out);

// Puts the exceptions into a pattern built by BuildRecurrencePattern: each modification becomes an
// exception entry overriding what differs from the series' defaults, its original day taken from
// the stored pattern's exception of the same day when there is one (else its own day); the
// deleted days are the deletions and the original days of the modifications. Lists ascending.
void ApplyExceptions(tagRecurrencePattern& pattern, const tagExceptionsText& text,
                     const struct tagExceptionDefaults& defaults, const tagRecurrencePattern* stored);

// The exceptions text alone, with the defaults an exception falls back to.
struct tagExceptionDefaults {
    std::string Subject;
    std::string Location;
    int32_t AllDay = 0;
    int32_t ReminderMinutes = 0;
};
std::string BuildExceptionsText(const tagRecurrencePattern& pattern, const tagExceptionDefaults& defaults);

}  // namespace NAMESPACE_MAPI
