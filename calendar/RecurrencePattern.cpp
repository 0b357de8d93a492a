#include "calendar/RecurrencePattern.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <initializer_list>
#include <new>
#include <span>
#include <string_view>
#include <unordered_set>

#include "common/Encoding.h"
#include "common/StringEx.h"
#include "platform/system/ByteCursor.h"

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using nx::sys::ByteReader;
using nx::sys::ByteWriter;

namespace NAMESPACE_MAPI {

namespace {

constexpr uint64_t kFileTimePerMinute = 600000000ull;
constexpr double kHalfSecondInDays = 5.787037037037037e-6;
constexpr uint32_t kMinutesPerDay = 1440;
constexpr uint32_t kMinutesPerWeek = 10080;

// What follows the fixed head of a pattern, by frequency and pattern type.
enum class PatternSpecific { None, Mask, Day, MaskAndN };

PatternSpecific PatternSpecificOf(uint16_t frequency, uint16_t patternType) {
    switch (frequency) {
        case kRecurFrequencyDaily:
            return patternType == kPatternWeek ? PatternSpecific::Mask : PatternSpecific::None;
        case kRecurFrequencyWeekly:
            return PatternSpecific::Mask;
        case kRecurFrequencyMonthly:
        case kRecurFrequencyYearly:
            switch (patternType) {
                case kPatternMonth:
                case kPatternMonthEnd:
                case kPatternHjMonth:
                case kPatternHjMonthEnd:
                    return PatternSpecific::Day;
                case kPatternMonthNth:
                case kPatternHjMonthNth:
                    return PatternSpecific::MaskAndN;
                default:
                    return PatternSpecific::None;
            }
        default:
            return PatternSpecific::None;
    }
}

// Calls `field` on each pattern-specific field the pattern carries, in stored order.
template <typename Pattern, typename Field>
void ForEachPatternSpecific(Pattern& pattern, Field field) {
    switch (PatternSpecificOf(pattern.RecurFrequency, pattern.PatternType)) {
        case PatternSpecific::Mask:
            field(pattern.DayOfWeek);
            break;
        case PatternSpecific::Day:
            field(pattern.Day);
            break;
        case PatternSpecific::MaskAndN:
            field(pattern.DayOfWeek);
            field(pattern.N);
            break;
        case PatternSpecific::None:
            break;
    }
}

// The calendar date of a value at 00:00; not valid when the value is not.
CDateTime DayStart(const CDateTime& date) {
    SYSTEMTIME st{};
    if (!date.IsValid() || !date.GetAsSystemTime(st)) return CDateTime(0.0, CDateTime::invalid);
    return CDateTime(st.wYear, st.wMonth, st.wDay, 0, 0, 0);
}

// Minutes from the start day's midnight to a time, rounded to the nearest second first, then
// truncated toward zero; 0 when either value is not valid.
uint32_t OffsetMinutes(const CDateTime& time, const CDateTime& startDay) {
    if (!time.IsValid() || !startDay.IsValid()) return 0;
    double days = CDateTime::OleToLinear(time.GetValue()) - CDateTime::OleToLinear(startDay.GetValue());
    days += days >= 0 ? kHalfSecondInDays : -kHalfSecondInDays;
    return static_cast<uint32_t>(static_cast<int64_t>(std::trunc(days * kMinutesPerDay)));
}

// Minutes of the Sunday on or before the day, modulo the cycle (0 without a cycle).
uint32_t WeekCycleOffset(const CDateTime& startDay, uint32_t cycle) {
    if (cycle == 0) return 0;
    CDateTime day = startDay;
    SYSTEMTIME st{};
    for (int step = 0; step < 7 && day.GetAsSystemTime(st) && st.wDayOfWeek != 0; ++step)
        day = day.AddDays(-1);
    return DateToMinutes(day) % cycle;
}

int32_t DayOfYear(const CDateTime& date) {
    SYSTEMTIME st{};
    if (!date.IsValid() || !date.GetAsSystemTime(st)) return -1;
    int32_t day = st.wDay;
    for (int month = 1; month < st.wMonth; ++month) day += NAMESPACE_COMMON::DaysInMonth(st.wYear, month);
    return day;
}

}  // namespace

void MinutesToDate(uint32_t minutes, CDateTime& date) {
    const uint64_t ticks = uint64_t{minutes} * kFileTimePerMinute;
    const FILETIME ft{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    date = CDateTime(ft);  // invalid when the fields do not round-trip
}

uint32_t DateToMinutes(const CDateTime& date) {
    FILETIME ft{};
    if (!date.IsValid()) return 0;
    if (!date.GetAsFileTime(ft)) return 0;  // before 1601: the earliest count
    const uint64_t minutes = ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) / kFileTimePerMinute;
    return minutes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(minutes);
}

void BuildRecurrencePattern(tagRecurrencePattern& pattern, const CCalendarEx& record) {
    pattern.Clear();
    pattern.ReaderVersion = kRecurReaderVersion;
    pattern.WriterVersion = kRecurWriterVersion;
    // The host's numbers are taken as the store's unsigned fields bit for bit (wrapping), as the
    // host's own arithmetic on them does.
    const uint32_t interval = static_cast<uint32_t>(record.lRecurInterval);
    pattern.Period = interval;
    const CDateTime startDay = DayStart(record.dtStartTime);
    const uint32_t startMinutes = DateToMinutes(startDay);

    switch (record.lRecurType) {
        case 1: {
            pattern.RecurFrequency = kRecurFrequencyDaily;
            pattern.PatternType = kPatternDay;
            pattern.Period = interval * kMinutesPerDay;
            pattern.FirstDateTime = pattern.Period != 0 ? startMinutes % pattern.Period : 0;
            break;
        }
        case 2: {
            if (record.lRecurInterval == 0 && record.lRecurWeekMask == 62) {
                // Every weekday is stored as a daily series over the week's working days.
                pattern.RecurFrequency = kRecurFrequencyDaily;
                pattern.PatternType = kPatternWeek;
                pattern.Period = 1;
            } else {
                pattern.RecurFrequency = kRecurFrequencyWeekly;
                pattern.PatternType = kPatternWeek;
            }
            pattern.FirstDateTime =
                pattern.Period != 0 ? WeekCycleOffset(startDay, pattern.Period * kMinutesPerWeek) : 0;
            break;
        }
        case 3:
            pattern.RecurFrequency = kRecurFrequencyMonthly;
            pattern.PatternType = record.lRecurInstance != 0 ? kPatternMonthNth : kPatternMonth;
            break;
        case 4:
            pattern.RecurFrequency = kRecurFrequencyYearly;
            pattern.Period = interval * 12;
            pattern.PatternType = record.lRecurInstance != 0 ? kPatternMonthNth : kPatternMonth;
            pattern.FirstDateTime = static_cast<uint32_t>(DayOfYear(record.dtStartTime)) * kMinutesPerDay;
            break;
        default:
            break;
    }

    pattern.DayOfWeek = static_cast<uint32_t>(record.lRecurWeekMask);
    if (pattern.DayOfWeek == 0 && pattern.RecurFrequency == kRecurFrequencyWeekly) pattern.DayOfWeek = 62;
    pattern.N = record.lRecurWeekDay == -1 ? 5u : static_cast<uint32_t>(record.lRecurWeekDay);
    pattern.Day = static_cast<uint32_t>(record.lRecurDay);

    pattern.StartDate = startMinutes;
    // Only the value decides whether there is an end date: a "NULL" text (0.0, invalid) counts as none.
    const bool hasEndValue = record.dtRecurEndDate.GetValue() != 0.0;
    if (record.bRecurHasEndDate != 0 && hasEndValue) {
        pattern.EndType = kEndAfterDate;
        pattern.OccurrenceCount = 1;
        pattern.EndDate = DateToMinutes(DayStart(record.dtRecurEndDate));
    } else if (record.lRecurRepeat != 0) {
        pattern.EndType = kEndAfterOccurrences;
        pattern.OccurrenceCount = static_cast<uint32_t>(record.lRecurRepeat);
        pattern.EndDate = hasEndValue ? DateToMinutes(DayStart(record.dtRecurEndDate)) : startMinutes;
    } else {
        pattern.EndType = kEndNever;
        pattern.OccurrenceCount = 10;
        pattern.EndDate = kNoEndDateMinutes;
    }

    pattern.FirstDOW = 0;
    pattern.StartTimeOffset = OffsetMinutes(record.dtStartTime, startDay);
    pattern.EndTimeOffset = OffsetMinutes(record.dtEndTime, startDay);  // may pass 1440 for a multi-day item
    pattern.ReaderVersion2 = kRecurReaderVersion2;
    pattern.WriterVersion2 = kRecurWriterVersion2;
}

int SerializeRecurrencePattern(const tagRecurrencePattern& pattern, std::vector<uint8_t>* out) {
    if (!nx::sys::StartOutput(out, kRecurrencePatternMaxSize)) return 0;
    ByteWriter w(*out);
    w.Put16(kRecurReaderVersion);
    w.Put16(kRecurWriterVersion);
    w.Put16(pattern.RecurFrequency);
    w.Put16(pattern.PatternType);
    w.Put16(0);  // CalendarType: Gregorian
    w.Put32(pattern.FirstDateTime);
    w.Put32(pattern.Period);
    w.Put32(0);  // SlidingFlag
    ForEachPatternSpecific(pattern, [&](uint32_t value) { w.Put32(value); });
    w.Put32(pattern.EndType);
    w.Put32(pattern.OccurrenceCount);
    w.Put32(0);  // FirstDOW: Sunday
    w.Put32(0);  // DeletedInstanceCount: the agent writes no exceptions
    w.Put32(0);  // ModifiedInstanceCount
    w.Put32(pattern.StartDate);
    w.Put32(pattern.EndDate);
    w.Put32(kRecurReaderVersion2);
    w.Put32(kRecurWriterVersion2);
    w.Put32(pattern.StartTimeOffset);
    w.Put32(pattern.EndTimeOffset);
    w.Put16(0);  // ExceptionCount
    w.Put32(0);  // ReservedBlock1Size
    w.Put32(0);  // ReservedBlock2Size
    // Inside the room StartOutput made, so no write allocated (none could throw).
    assert(out->size() <= kRecurrencePatternMaxSize);
    return 1;
}

namespace {

// How many entries of a list the reader takes: what the count asks, but never more than the
// bytes left could carry at 4 bytes an entry; a negative count carries none.
std::size_t CarriedEntries(int32_t count, const ByteReader& r) {
    return count <= 0 ? 0 : std::min<std::size_t>(static_cast<uint32_t>(count), r.Remaining() / 4);
}

// A 32-bit size and that many bytes after it (a reserved or ignored block); a block that does
// not fit is not skipped.
void SkipSized(ByteReader& r) {
    uint32_t size = 0;
    if (r.Read(size)) r.Skip(size);
}

// An 8-bit text of ExceptionInfo (subject or location): its two lengths, and the bytes when they
// agree; the agent keeps the wide form of ExtendedException instead.
void SkipNarrowText(ByteReader& r) {
    uint16_t length = 0, length2 = 0;
    r.Read(length);
    r.Read(length2);
    if (length2 != 0 && length == length2 + 1) r.Skip(length2);
}

void ReadWideText(ByteReader& r, std::u16string& text) {
    uint16_t units = 0;
    r.Read(units);
    r.Utf16(units, text);
}

void ReadExceptionInfo(ByteReader& r, tagExceptionInfo& e) {
    r.Read(e.StartDateTime);
    r.Read(e.EndDateTime);
    r.Read(e.OriginalStartDate);
    r.Read(e.OverrideFlags);
    if (e.OverrideFlags & kOverrideSubject) SkipNarrowText(r);
    if (e.OverrideFlags & kOverrideMeetingType) r.Read(e.MeetingType);
    if (e.OverrideFlags & kOverrideReminderDelta) r.Read(e.ReminderDelta);
    if (e.OverrideFlags & kOverrideReminderSet) r.Read(e.ReminderSet);
    if (e.OverrideFlags & kOverrideLocation) SkipNarrowText(r);
    if (e.OverrideFlags & kOverrideBusyStatus) r.Read(e.BusyStatus);
    if (e.OverrideFlags & kOverrideAttachment) r.Read(e.Attachment);
    if (e.OverrideFlags & kOverrideSubType) r.Read(e.SubType);
    if (e.OverrideFlags & kOverrideAppointmentColor) r.Read(e.AppointmentColor);
}

void ReadExtendedException(ByteReader& r, uint32_t writerVersion2, tagExceptionInfo& e) {
    if (writerVersion2 > kRecurWriterVersion2) SkipSized(r);  // ChangeHighlight
    SkipSized(r);                                             // ReservedBlockEE1
    const bool texts = (e.OverrideFlags & (kOverrideSubject | kOverrideLocation)) != 0;
    if (texts) {
        r.Read(e.StartDateTime);
        r.Read(e.EndDateTime);
        r.Read(e.OriginalStartDate);
    }
    if (e.OverrideFlags & kOverrideSubject) ReadWideText(r, e.Subject);
    if (e.OverrideFlags & kOverrideLocation) ReadWideText(r, e.Location);
    if (texts) SkipSized(r);  // ReservedBlockEE2
    e.Reserved.clear();
}

}  // namespace

std::size_t ParseRecurrencePattern(const uint8_t* bytes, std::size_t length, tagRecurrencePattern& pattern) {
    pattern.Clear();
    if (bytes == nullptr) return 0;
    ByteReader r(std::span(bytes, length));
    r.Read(pattern.ReaderVersion);
    r.Read(pattern.WriterVersion);
    r.Read(pattern.RecurFrequency);
    r.Read(pattern.PatternType);
    r.Read(pattern.CalendarType);
    r.Read(pattern.FirstDateTime);
    r.Read(pattern.Period);
    r.Read(pattern.SlidingFlag);
    ForEachPatternSpecific(pattern, [&](uint32_t& value) { r.Read(value); });
    r.Read(pattern.EndType);
    r.Read(pattern.OccurrenceCount);
    r.Read(pattern.FirstDOW);

    try {
        r.Read(pattern.DeletedInstanceCount);
        pattern.DeletedInstanceDates.resize(CarriedEntries(pattern.DeletedInstanceCount, r));
        for (uint32_t& date : pattern.DeletedInstanceDates) r.Read(date);
        r.Read(pattern.ModifiedInstanceCount);
        pattern.Exceptions.resize(CarriedEntries(pattern.ModifiedInstanceCount, r));
        for (tagExceptionInfo& e : pattern.Exceptions) r.Read(e.ModifiedInstanceDate);
    } catch (const std::bad_alloc&) {
        // Out of memory for a list the bytes do carry: go on without its entries.
        pattern.DeletedInstanceDates.clear();
        pattern.Exceptions.clear();
    }

    r.Read(pattern.StartDate);
    r.Read(pattern.EndDate);
    r.Read(pattern.ReaderVersion2);
    r.Read(pattern.WriterVersion2);
    r.Read(pattern.StartTimeOffset);
    r.Read(pattern.EndTimeOffset);
    r.Read(pattern.ExceptionCount);

    // The exception blocks follow only when both counts agree; otherwise the entries keep just
    // their dates.
    const bool blocks =
        !pattern.Exceptions.empty() && pattern.ModifiedInstanceCount == pattern.ExceptionCount;
    if (blocks)
        for (tagExceptionInfo& e : pattern.Exceptions) ReadExceptionInfo(r, e);
    SkipSized(r);  // ReservedBlock1
    if (blocks)
        for (tagExceptionInfo& e : pattern.Exceptions) ReadExtendedException(r, pattern.WriterVersion2, e);
    SkipSized(r);  // ReservedBlock2
    return r.Position();
}

namespace {

constexpr std::size_t kLineBufferUnits = 1024;  // a line and its terminator
constexpr int32_t kBase64BufferBytes = 1024;

// Appends one line of the exceptions text from its parts. Every line is ASCII, so its bytes are
// its UTF-16 units, and each fits the host's line buffer by construction.
void AppendLine(std::string& text, std::initializer_list<std::string_view> parts) {
    [[maybe_unused]] std::size_t size = 0;  // read by the assert only
    for (std::string_view part : parts) size += part.size();
    assert(size < kLineBufferUnits);
    for (std::string_view part : parts) text.append(part);
}

// "\t<name>base64</name>\r\n" of the UTF-16LE bytes of a text; the element stays empty when the
// encoding does not fit its buffer or the line would not fit the line buffer.
void AppendTextElement(std::string& text, std::string_view name, const std::vector<uint8_t>& utf16le) {
    char encoded[kBase64BufferBytes];
    int32_t written = kBase64BufferBytes;
    bool fits = false;
    try {
        fits = utf16le.size() <= static_cast<std::size_t>(INT32_MAX) &&
               NAMESPACE_COMMON::Base64Encode(utf16le.data(), static_cast<int32_t>(utf16le.size()),
                                              reinterpret_cast<uint8_t*>(encoded), &written);
    } catch (const NAMESPACE_COMMON::Base64LengthError&) {
        fits = false;
    }
    const std::size_t tags = 2 * name.size() + 8;  // "\t<" name ">" and "</" name ">\r\n"
    if (!fits || tags + static_cast<std::size_t>(written) >= kLineBufferUnits) written = 0;
    AppendLine(text, {"\t<", name, ">", std::string_view(encoded, static_cast<std::size_t>(written)), "</",
                      name, ">\r\n"});
}

void AppendNumberElement(std::string& text, std::string_view name, int32_t value) {
    AppendLine(text, {"\t<", name, ">", std::to_string(value), "</", name, ">\r\n"});
}

std::vector<uint8_t> Utf16LeOf(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    ByteWriter(bytes).Utf16(text);
    return bytes;
}

std::string FormatMinutes(uint32_t minutes, const char* pattern) {
    CDateTime date;
    MinutesToDate(minutes, date);
    return date.Format(pattern);
}

}  // namespace

std::string BuildExceptionsText(const tagRecurrencePattern& pattern, const tagExceptionDefaults& defaults) {
    using NAMESPACE_COMMON::kDateTimePattern;
    using NAMESPACE_COMMON::kSlashDatePattern;
    std::string text = "<exceptions>\r\n";

    // A moved occurrence is listed among the deleted ones too; it shows as its modification only.
    std::unordered_set<uint32_t> deletions(pattern.DeletedInstanceDates.begin(),
                                           pattern.DeletedInstanceDates.end());
    for (const tagExceptionInfo& e : pattern.Exceptions) deletions.erase(e.ModifiedInstanceDate);
    for (uint32_t date : pattern.DeletedInstanceDates)
        if (deletions.count(date) != 0)
            AppendLine(text,
                       {"<deletion time = \"", FormatMinutes(date, kSlashDatePattern), "\"></deletion>\r\n"});

    if (pattern.ModifiedInstanceCount != 0) {
        const std::vector<uint8_t> defaultSubject = NAMESPACE_COMMON::Utf16LeBytes(defaults.Subject);
        const std::vector<uint8_t> defaultLocation = NAMESPACE_COMMON::Utf16LeBytes(defaults.Location);
        const int32_t defaultReminderSet = defaults.ReminderMinutes != -1 ? 1 : 0;
        for (const tagExceptionInfo& e : pattern.Exceptions) {
            const uint16_t flags = e.OverrideFlags;
            AppendLine(text, {"<modification time = \"",
                              FormatMinutes(e.ModifiedInstanceDate, kSlashDatePattern), "\">\r\n"});
            AppendTextElement(text, "subject",
                              flags & kOverrideSubject ? Utf16LeOf(e.Subject) : defaultSubject);
            AppendTextElement(text, "location",
                              flags & kOverrideLocation ? Utf16LeOf(e.Location) : defaultLocation);
            AppendLine(text, {"\t<start>", FormatMinutes(e.StartDateTime, kDateTimePattern), "</start>\r\n"});
            AppendLine(text, {"\t<end>", FormatMinutes(e.EndDateTime, kDateTimePattern), "</end>\r\n"});
            AppendNumberElement(text, "reminderset",
                                flags & kOverrideReminderSet ? e.ReminderSet : defaultReminderSet);
            AppendNumberElement(text, "reminderdelta",
                                flags & kOverrideReminderDelta ? e.ReminderDelta : defaults.ReminderMinutes);
            AppendNumberElement(text, "allday", flags & kOverrideSubType ? e.SubType : defaults.AllDay);
            AppendLine(text, {"</modification>\r\n"});
        }
    }
    text += "</exceptions>";
    return text;
}

void RecurrencePatternToXml(const tagRecurrencePattern& pattern, CXMLParser& document) {
    auto add = [&](const char* name, const std::string& text) { AddCalendarElement(document, name, text); };
    auto addNumber = [&](const char* name, uint32_t value) {
        add(name, FormatDocumentInteger(static_cast<int32_t>(value)));  // "%d" of the stored bits
    };
    if (pattern.CalendarType != 0) {
        add("lCalType", "-1");  // a non-Gregorian series is not described to the host
        return;
    }

    uint32_t interval = pattern.Period;
    if (pattern.RecurFrequency == kRecurFrequencyDaily) {
        if (pattern.PatternType == kPatternDay) {
            interval = pattern.Period / kMinutesPerDay;
        } else {
            // Every weekday: the host knows it as a weekly series with interval 0.
            CXMLParser::SetNodeText(document.SelectNode("/Calendar/lRecurType"), "2");
            interval = 0;
        }
    } else if (pattern.RecurFrequency == kRecurFrequencyYearly) {
        CDateTime start;
        MinutesToDate(pattern.StartDate, start);
        SYSTEMTIME st{};
        add("lRecurMonth", FormatDocumentInteger(start.GetAsSystemTime(st) ? st.wMonth : -1));
        interval = pattern.Period / 12;
    }
    const bool nth = (pattern.RecurFrequency == kRecurFrequencyMonthly ||
                      pattern.RecurFrequency == kRecurFrequencyYearly) &&
                     (pattern.PatternType == kPatternMonthNth || pattern.PatternType == kPatternHjMonthNth);

    addNumber("lRecurInterval", interval);
    addNumber("lRecurInstance", nth ? 1 : 0);
    addNumber("lRecurWeekMask", pattern.DayOfWeek);
    add("lRecurWeekDay", FormatDocumentInteger(pattern.N < 5 ? static_cast<int32_t>(pattern.N) : -1));
    addNumber("lRecurDay", pattern.Day);
    if (pattern.EndType != kEndNever && pattern.EndType != kEndNeverOld) {
        add("dtRecurEndDate", FormatMinutes(pattern.EndDate, NAMESPACE_COMMON::kDateTimePattern));
        add("bRecurHasEndDate", "TRUE");
    } else {
        add("dtRecurEndDate", "NULL");
        add("bRecurHasEndDate", "FALSE");
    }
    addNumber("lRecurRepeat", pattern.OccurrenceCount);

    if (pattern.DeletedInstanceCount == 0 || pattern.DeletedInstanceDates.empty()) return;
    tagExceptionDefaults defaults;
    defaults.Subject = CXMLParser::GetNodeText(document.SelectNode("/Calendar/Description"));
    defaults.Location = CXMLParser::GetNodeText(document.SelectNode("/Calendar/Location"));
    defaults.AllDay =
        CXMLParser::GetNodeText(document.SelectNode("/Calendar/bAlldayEvent")) == "TRUE" ? 1 : 0;
    defaults.ReminderMinutes = NAMESPACE_COMMON::ParseDecimalLong(
        CXMLParser::GetNodeText(document.SelectNode("/Calendar/lReminderMinutes")));
    add("ExceptionRule", BuildExceptionsText(pattern, defaults));
}

}  // namespace NAMESPACE_MAPI
