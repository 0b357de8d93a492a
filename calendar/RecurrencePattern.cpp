#include "calendar/RecurrencePattern.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>

#include "common/Encoding.h"
#include "common/StringEx.h"
#include "platform/system/ByteCursor.h"
#include "platform/system/Utf.h"

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

// Months since January 1601 of a count of minutes; -1 when the minutes name no date.
int64_t MonthIndexOf(uint32_t minutes) {
    CDateTime date;
    MinutesToDate(minutes, date);
    SYSTEMTIME st{};
    if (!date.IsValid() || !date.GetAsSystemTime(st)) return -1;
    return (int64_t{st.wYear} - 1601) * 12 + (st.wMonth - 1);
}

// Minutes of a day of the month with that month index (a day past the month's end is its last
// day); nullopt past the range a pattern can count.
std::optional<uint32_t> MonthDayMinutes(int64_t monthIndex, uint32_t day) {
    const int year = static_cast<int>(1601 + monthIndex / 12);
    const int month = static_cast<int>(monthIndex % 12) + 1;
    if (year > 9999) return std::nullopt;
    const uint32_t last = static_cast<uint32_t>(NAMESPACE_COMMON::DaysInMonth(year, month));
    const CDateTime date(year, month, static_cast<int>(std::clamp<uint32_t>(day, 1, last)), 0, 0, 0);
    const uint32_t minutes = DateToMinutes(date);
    if (minutes == 0xFFFFFFFFu) return std::nullopt;
    return minutes;
}

// 1601-01-01 was a Monday: the weekday (0 Sunday) of a day counted from it.
uint32_t WeekdayOf(uint64_t day) {
    return static_cast<uint32_t>((day + 1) % 7);
}

// The n-th (5 = last) day of the month whose weekday is in the mask, as minutes.
std::optional<uint32_t> NthMaskDayMinutes(int64_t monthIndex, uint32_t mask, uint32_t n) {
    const std::optional<uint32_t> first = MonthDayMinutes(monthIndex, 1);
    const std::optional<uint32_t> lastDay = MonthDayMinutes(monthIndex, 31);
    if (!first || !lastDay || (mask & 0x7F) == 0) return std::nullopt;
    const uint64_t firstDay = *first / kMinutesPerDay;
    const uint64_t days = *lastDay / kMinutesPerDay - firstDay + 1;
    std::optional<uint32_t> found;
    uint32_t seen = 0;
    for (uint64_t d = firstDay; d < firstDay + days; ++d) {
        if ((mask & (1u << WeekdayOf(d))) == 0) continue;
        found = static_cast<uint32_t>(d * kMinutesPerDay);
        if (++seen == n && n < 5) break;  // 5 (last) runs to the month's last such day
    }
    return n != 0 && (seen == n || n >= 5) ? found : std::nullopt;
}

// Minutes of the first day of the month the published anchor names: the month count of the
// start since January 1601, modulo the period.
uint32_t MonthAnchorMinutes(uint32_t startMinutes, uint32_t periodMonths) {
    const int64_t month = MonthIndexOf(startMinutes);
    if (periodMonths == 0 || month < 0) return 0;
    return MonthDayMinutes(month % periodMonths, 1).value_or(0);
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

OccurrenceSpan CountOccurrences(const tagRecurrencePattern& pattern, uint32_t lastDay, uint32_t limit) {
    OccurrenceSpan span;
    const int64_t start = pattern.StartDate / kMinutesPerDay;
    const int64_t end = std::min(lastDay, kNoEndDateMinutes) / kMinutesPerDay;
    // One occurrence day: false once the span is complete.
    auto take = [&](int64_t day) {
        if (day < start) return true;
        if (day > end || span.count >= limit) return false;
        ++span.count;
        span.last = static_cast<uint32_t>(day * kMinutesPerDay);
        return span.count < limit;
    };
    const int64_t days = int64_t{pattern.Period} / kMinutesPerDay;
    switch (PatternSpecificOf(pattern.RecurFrequency, pattern.PatternType)) {
        case PatternSpecific::None:
            // Every `days` days from the start: counted, not walked.
            if (pattern.RecurFrequency != kRecurFrequencyDaily || days == 0 || end < start || limit == 0)
                break;
            span.count = static_cast<uint32_t>(std::min<int64_t>((end - start) / days + 1, limit));
            span.last = static_cast<uint32_t>((start + (span.count - 1) * days) * kMinutesPerDay);
            break;
        case PatternSpecific::Mask: {
            // Weeks from the one holding the start (weeks begin on Sunday), every Period weeks;
            // a daily series over weekdays is every week.
            const int64_t step = pattern.RecurFrequency == kRecurFrequencyWeekly ? pattern.Period : 1;
            if (step == 0 || (pattern.DayOfWeek & 0x7F) == 0) break;
            bool more = true;
            for (int64_t sunday = start - WeekdayOf(static_cast<uint64_t>(start)); more && sunday <= end;
                 sunday += 7 * step)
                for (uint32_t dow = 0; more && dow < 7; ++dow)
                    if (pattern.DayOfWeek & (1u << dow)) more = take(sunday + dow);
            break;
        }
        case PatternSpecific::Day:
        case PatternSpecific::MaskAndN: {
            const int64_t first = MonthIndexOf(pattern.StartDate);
            if (pattern.Period == 0 || first < 0) break;
            const bool nth =
                PatternSpecificOf(pattern.RecurFrequency, pattern.PatternType) == PatternSpecific::MaskAndN;
            bool more = true;
            for (int64_t month = first; more; month += pattern.Period) {
                const std::optional<uint32_t> day =
                    nth ? NthMaskDayMinutes(month, pattern.DayOfWeek, pattern.N)
                        : MonthDayMinutes(month, pattern.Day);
                if (!MonthDayMinutes(month, 1)) break;  // past the countable range
                if (day) more = take(*day / int64_t{kMinutesPerDay});
                more = more && *MonthDayMinutes(month, 1) / int64_t{kMinutesPerDay} <= end;
            }
            break;
        }
    }
    return span;
}

void BuildRecurrencePattern(tagRecurrencePattern& pattern, const CCalendarEx& record, uint32_t endRule) {
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
            pattern.FirstDateTime = MonthAnchorMinutes(startMinutes, pattern.Period);
            break;
        case 4:
            pattern.RecurFrequency = kRecurFrequencyYearly;
            pattern.Period = interval * 12;
            pattern.PatternType = record.lRecurInstance != 0 ? kPatternMonthNth : kPatternMonth;
            pattern.FirstDateTime = MonthAnchorMinutes(startMinutes, pattern.Period);
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
    const bool byDate = record.bRecurHasEndDate != 0 && hasEndValue;
    if (byDate && endRule != kEndAfterOccurrences && endRule != kEndNever) {
        pattern.EndType = kEndAfterDate;
        pattern.EndDate = DateToMinutes(DayStart(record.dtRecurEndDate));
    } else if ((record.lRecurRepeat != 0 && endRule != kEndNever) || endRule == kEndAfterOccurrences) {
        pattern.EndType = kEndAfterOccurrences;
        pattern.OccurrenceCount = static_cast<uint32_t>(record.lRecurRepeat);
    } else {
        pattern.EndType = kEndNever;
        pattern.OccurrenceCount = 10;
        pattern.EndDate = kNoEndDateMinutes;
    }

    // Each end rule's other field as the published format defines it: the number of occurrences
    // up to the end date, the day of the last of a counted series (its first day when the count
    // reaches no occurrence).
    if (pattern.EndType == kEndAfterDate) {
        pattern.OccurrenceCount = CountOccurrences(pattern, pattern.EndDate, UINT32_MAX).count;
    } else if (pattern.EndType == kEndAfterOccurrences) {
        const OccurrenceSpan span = CountOccurrences(pattern, kNoEndDateMinutes, pattern.OccurrenceCount);
        pattern.EndDate = span.count == pattern.OccurrenceCount ? span.last : startMinutes;
    }

    pattern.FirstDOW = 0;
    pattern.StartTimeOffset = OffsetMinutes(record.dtStartTime, startDay);
    pattern.EndTimeOffset = OffsetMinutes(record.dtEndTime, startDay);  // may pass 1440 for a multi-day item
    pattern.ReaderVersion2 = kRecurReaderVersion2;
    pattern.WriterVersion2 = kRecurWriterVersion2;
}

namespace {

// An 8-bit copy of a text for ExceptionInfo (readers take the wide one of ExtendedException):
// ASCII kept, anything else '?'.
std::string NarrowText(std::u16string_view text) {
    std::string narrow;
    for (const char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

void PutNarrowText(ByteWriter& w, std::u16string_view text) {
    const std::string narrow = NarrowText(text);
    w.Put16(static_cast<uint16_t>(narrow.size() + 1));
    w.Put16(static_cast<uint16_t>(narrow.size()));
    for (const char c : narrow) w.Put8(static_cast<uint8_t>(c));
}

void PutWideText(ByteWriter& w, std::u16string_view text) {
    w.Put16(static_cast<uint16_t>(text.size()));
    w.Utf16(text);
}

void PutExceptionInfo(ByteWriter& w, const tagExceptionInfo& e) {
    w.Put32(e.StartDateTime);
    w.Put32(e.EndDateTime);
    w.Put32(e.OriginalStartDate);
    w.Put16(e.OverrideFlags);
    if (e.OverrideFlags & kOverrideSubject) PutNarrowText(w, e.Subject);
    if (e.OverrideFlags & kOverrideMeetingType) w.Put32(e.MeetingType);
    if (e.OverrideFlags & kOverrideReminderDelta) w.Put32(static_cast<uint32_t>(e.ReminderDelta));
    if (e.OverrideFlags & kOverrideReminderSet) w.Put32(static_cast<uint32_t>(e.ReminderSet));
    if (e.OverrideFlags & kOverrideLocation) PutNarrowText(w, e.Location);
    if (e.OverrideFlags & kOverrideBusyStatus) w.Put32(e.BusyStatus);
    if (e.OverrideFlags & kOverrideAttachment) w.Put32(e.Attachment);
    if (e.OverrideFlags & kOverrideSubType) w.Put32(static_cast<uint32_t>(e.SubType));
    if (e.OverrideFlags & kOverrideAppointmentColor) w.Put32(e.AppointmentColor);
}

void PutExtendedException(ByteWriter& w, const tagExceptionInfo& e) {
    w.Put32(0);  // ReservedBlockEE1Size (no ChangeHighlight at writer version 0x3008)
    if ((e.OverrideFlags & (kOverrideSubject | kOverrideLocation)) == 0) return;
    w.Put32(e.StartDateTime);
    w.Put32(e.EndDateTime);
    w.Put32(e.OriginalStartDate);
    if (e.OverrideFlags & kOverrideSubject) PutWideText(w, e.Subject);
    if (e.OverrideFlags & kOverrideLocation) PutWideText(w, e.Location);
    w.Put32(0);  // ReservedBlockEE2Size
}

}  // namespace

int SerializeRecurrencePattern(const tagRecurrencePattern& pattern, std::vector<uint8_t>* out) {
    if (!nx::sys::StartOutput(out, kRecurrencePatternMaxSize)) return 0;
    try {
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
        w.Put32(static_cast<uint32_t>(pattern.DeletedInstanceDates.size()));
        for (const uint32_t date : pattern.DeletedInstanceDates) w.Put32(date);
        w.Put32(static_cast<uint32_t>(pattern.Exceptions.size()));
        for (const tagExceptionInfo& e : pattern.Exceptions) w.Put32(e.ModifiedInstanceDate);
        w.Put32(pattern.StartDate);
        w.Put32(pattern.EndDate);
        w.Put32(kRecurReaderVersion2);
        w.Put32(kRecurWriterVersion2);
        w.Put32(pattern.StartTimeOffset);
        w.Put32(pattern.EndTimeOffset);
        w.Put16(static_cast<uint16_t>(pattern.Exceptions.size()));
        for (const tagExceptionInfo& e : pattern.Exceptions) PutExceptionInfo(w, e);
        w.Put32(0);  // ReservedBlock1Size
        for (const tagExceptionInfo& e : pattern.Exceptions) PutExtendedException(w, e);
        w.Put32(0);  // ReservedBlock2Size
    } catch (const std::bad_alloc&) {
        out->clear();
        return 0;
    }
    // Without exceptions everything fit in the room StartOutput made.
    assert(!pattern.Exceptions.empty() || !pattern.DeletedInstanceDates.empty() ||
           out->size() <= kRecurrencePatternMaxSize);
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

namespace {

// A cursor over the exceptions text; every step checks the bytes left.
class ExceptionsCursor {
public:
    explicit ExceptionsCursor(std::string_view text) : m_rest(text) {}

    bool AtEnd() { return SkipSpace(), m_rest.empty(); }
    // The literal next (after white space); consumed when it is there.
    bool Take(std::string_view literal) {
        SkipSpace();
        if (m_rest.substr(0, literal.size()) != literal) return false;
        m_rest.remove_prefix(literal.size());
        return true;
    }
    // Everything up to the terminator (consumed, not returned); false when there is none.
    bool Until(std::string_view terminator, std::string_view& value) {
        const std::size_t at = m_rest.find(terminator);
        if (at == std::string_view::npos) return false;
        value = m_rest.substr(0, at);
        m_rest.remove_prefix(at + terminator.size());
        return true;
    }
    // "<name>text</name>".
    bool Element(std::string_view name, std::string_view& value) {
        const std::string open = "<" + std::string(name) + ">", close = "</" + std::string(name) + ">";
        return Take(open) && Until(close, value);
    }

private:
    void SkipSpace() {
        while (!m_rest.empty() && (m_rest.front() == ' ' || m_rest.front() == '\t' ||
                                   m_rest.front() == '\r' || m_rest.front() == '\n'))
            m_rest.remove_prefix(1);
    }
    std::string_view m_rest;
};

// Minutes of a date text ("YYYY/MM/DD", or with the time); false for one that names no date.
bool MinutesOfText(std::string_view text, bool dayOnly, uint32_t& minutes) {
    const CDateTime date = ParseDocumentDate(text);
    if (!date.IsValid()) return false;
    minutes = DateToMinutes(dayOnly ? DayStart(date) : date);
    return true;
}

bool NumberOfText(std::string_view text, int32_t& value) {
    if (text.empty()) return false;
    value = NAMESPACE_COMMON::ParseDecimalLong(std::string(text));
    return true;
}

bool WideOfBase64(std::string_view text, std::u16string& value) {
    const std::optional<std::vector<uint8_t>> bytes = NAMESPACE_COMMON::Base64Decode(text);
    if (!bytes || bytes->size() % 2 != 0) return false;
    value.clear();
    for (std::size_t i = 0; i + 1 < bytes->size(); i += 2)
        value.push_back(static_cast<char16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8)));
    return true;
}

bool ParseModification(ExceptionsCursor& c, tagExceptionEntry& e) {
    std::string_view day, subject, location, start, end, set, delta, allDay;
    return c.Until("\"", day) && MinutesOfText(day, true, e.Day) && c.Take(">") &&
           c.Element("subject", subject) && WideOfBase64(subject, e.Subject) &&
           c.Element("location", location) && WideOfBase64(location, e.Location) &&
           c.Element("start", start) && MinutesOfText(start, false, e.Start) && c.Element("end", end) &&
           MinutesOfText(end, false, e.End) && c.Element("reminderset", set) &&
           NumberOfText(set, e.ReminderSet) && c.Element("reminderdelta", delta) &&
           NumberOfText(delta, e.ReminderDelta) && c.Element("allday", allDay) &&
           NumberOfText(allDay, e.AllDay) && c.Take("</modification>");
}

}  // namespace

bool ParseExceptionsText(std::string_view text, tagExceptionsText& out) {
    out = tagExceptionsText();
    ExceptionsCursor c(text);
    if (!c.Take("<exceptions>")) return false;
    for (;;) {
        if (c.Take("</exceptions>")) return c.AtEnd();
        if (c.Take("<deletion time = \"")) {
            std::string_view day;
            uint32_t minutes = 0;
            if (!c.Until("\"", day) || !MinutesOfText(day, true, minutes) || !c.Take("></deletion>"))
                return false;
            out.Deletions.push_back(minutes);
        } else if (c.Take("<modification time = \"")) {
            tagExceptionEntry e;
            if (!ParseModification(c, e)) return false;
            out.Modifications.push_back(std::move(e));
        } else {
            return false;
        }
    }
}

void ApplyExceptions(tagRecurrencePattern& pattern, const tagExceptionsText& text,
                     const tagExceptionDefaults& defaults, const tagRecurrencePattern* stored) {
    const std::u16string defaultSubject = nx::sys::Utf8ToUtf16(defaults.Subject);
    const std::u16string defaultLocation = nx::sys::Utf8ToUtf16(defaults.Location);
    const int32_t defaultReminderSet = defaults.ReminderMinutes != -1 ? 1 : 0;
    std::vector<uint32_t> deleted = text.Deletions;
    pattern.Exceptions.clear();
    // The stored counts and lengths are 16 bits; a subject or location holds 255 characters.
    constexpr std::size_t kMaxText = 255;
    for (const tagExceptionEntry& m : text.Modifications) {
        if (pattern.Exceptions.size() == 0xFFFF) break;
        tagExceptionInfo e;
        e.ModifiedInstanceDate = m.Day;
        e.StartDateTime = m.Start;
        e.EndDateTime = m.End;
        e.OriginalStartDate = m.Day + pattern.StartTimeOffset;
        if (stored)
            for (const tagExceptionInfo& s : stored->Exceptions)
                if (s.ModifiedInstanceDate == m.Day) e.OriginalStartDate = s.OriginalStartDate;
        // Only what differs from the series is an override, as the read falls back to the rest.
        if (m.Subject != defaultSubject) e.OverrideFlags |= kOverrideSubject;
        if (m.Location != defaultLocation) e.OverrideFlags |= kOverrideLocation;
        if (m.ReminderSet != defaultReminderSet) e.OverrideFlags |= kOverrideReminderSet;
        if (m.ReminderDelta != defaults.ReminderMinutes) e.OverrideFlags |= kOverrideReminderDelta;
        if (m.AllDay != defaults.AllDay) e.OverrideFlags |= kOverrideSubType;
        e.Subject = m.Subject.substr(0, kMaxText);
        e.Location = m.Location.substr(0, kMaxText);
        e.ReminderSet = m.ReminderSet;
        e.ReminderDelta = m.ReminderDelta;
        e.SubType = m.AllDay;
        deleted.push_back(e.OriginalStartDate - e.OriginalStartDate % kMinutesPerDay);
        pattern.Exceptions.push_back(std::move(e));
    }
    std::sort(deleted.begin(), deleted.end());
    deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
    std::sort(pattern.Exceptions.begin(), pattern.Exceptions.end(),
              [](const tagExceptionInfo& a, const tagExceptionInfo& b) {
                  return a.ModifiedInstanceDate < b.ModifiedInstanceDate;
              });
    pattern.DeletedInstanceDates = std::move(deleted);
    pattern.DeletedInstanceCount = static_cast<int32_t>(pattern.DeletedInstanceDates.size());
    pattern.ModifiedInstanceCount = static_cast<int32_t>(pattern.Exceptions.size());
    pattern.ExceptionCount = static_cast<uint16_t>(pattern.Exceptions.size());
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
