// The agent's date value and the calendar-field and file-time layouts it converts to and from.
//
// Date value (CDateTime): an OLE automation date, a double counting days since 1899-12-30 00:00
// whose fraction is the time of day, plus a status (0 valid, 1 invalid, 2 null). Values before
// the epoch are negative and follow the OLE convention: the integer part counts whole days
// backwards and the fraction still runs forwards (-1.25 is 1899-12-29 06:00, six hours after
// -1.0). Arithmetic therefore goes through a linear day count (AddDays). Valid values lie between 0100-01-01
// (-657434) and 9999-12-31 23:59:59. Date values carry whole seconds: milliseconds are dropped on the way in
// and a fraction is rounded to the nearest second on the way out, as the platform's variant-time conversions
// do.
//
// Round-trip rule: setting a value from calendar fields computes the value and converts it back;
// unless year, month, day, hour, minute and second all come back unchanged the value is marked
// invalid (so 2009-02-30, hour 24 or year 99 give an invalid value).
//
// Texts: Format() writes with the C library's strftime (result at most 256 characters; %Y always
// four digits, so year 100 is "0100"); a null
// value gives "", an invalid one, or one whose calendar fields cannot be derived, gives
// "Invalid DateTime". The agent uses three patterns: kDateTimePattern, kSlashDatePattern and
// kDashDatePattern. ParseDateTime() reads the texts the host sends; docs/common.md lists the
// forms it accepts and its two failure values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The platform's calendar-field and file-time layouts (SYSTEMTIME, FILETIME) are those of the
// MAPI ABI, so that PT_SYSTIME values pass straight through.
#include "platform/mapi/MapiTypes.h"

namespace NAMESPACE_COMMON {

inline constexpr const char* kDateTimePattern = "%Y/%m/%d %H:%M:%S";  // time stamps, appointment times
inline constexpr const char* kSlashDatePattern = "%Y/%m/%d";          // exception dates
inline constexpr const char* kDashDatePattern = "%Y-%m-%d";           // birthday, anniversary
inline constexpr const char* kInvalidDateTimeText = "Invalid DateTime";

// FILETIME (100-ns intervals since 1601-01-01) <-> calendar fields, with day of week, as the
// kernel's conversions do: a file time at or above 2^63 or fields outside 1601..30827 (or not a
// real date and time) give false and leave the output untouched.
bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st);
bool SystemTimeToFileTime(const SYSTEMTIME& st, FILETIME& ft);

// Day of week (0 = Sunday) of a proleptic Gregorian date.
int DayOfWeek(int year, int month, int day);
int DaysInMonth(int year, int month);

class CDateTime {
public:
    enum DateTimeStatus { valid = 0, invalid = 1, null = 2 };

    CDateTime() = default;  // 0.0, valid (1899-12-30 00:00)
    explicit CDateTime(double dt, DateTimeStatus status = valid) : m_dt(dt), m_status(status) {}
    explicit CDateTime(const SYSTEMTIME& st) { SetFromSystemTime(st); }
    explicit CDateTime(const FILETIME& ft) { SetFromFileTime(ft); }
    CDateTime(int year, int month, int day, int hour, int minute, int second) {
        SetDateTime(year, month, day, hour, minute, second);
    }

    static CDateTime Null() { return CDateTime(0.0, null); }

    DateTimeStatus GetStatus() const { return m_status; }
    bool IsValid() const { return m_status == valid; }
    double GetValue() const { return m_dt; }

    // Each returns true and a valid value, or false and status invalid (round-trip rule).
    bool SetDateTime(int year, int month, int day, int hour, int minute, int second);
    bool SetDate(int year, int month, int day) { return SetDateTime(year, month, day, 0, 0, 0); }
    bool SetFromSystemTime(const SYSTEMTIME& st);  // day of week and milliseconds ignored
    bool SetFromFileTime(const FILETIME& ft);      // via calendar fields, milliseconds dropped

    // Calendar fields with day of week (milliseconds 0); false when the value is not valid or
    // out of range, and then the output is untouched.
    bool GetAsSystemTime(SYSTEMTIME& st) const;
    bool GetAsFileTime(FILETIME& ft) const;

    // The value moved by a span of days (negative spans go back), computed on the linear day
    // count so that values before 1899-12-30 move the right way. Status is kept; a result
    // outside the valid range is invalid.
    CDateTime AddDays(double days) const;
    CDateTime AddMinutes(double minutes) const { return AddDays(minutes / 1440.0); }

    std::string Format(std::string_view pattern) const;

    // Reads a host date text. Success: true, valid value. Failure: false, status invalid and
    // value 0.0 when the text is not a date at all (type mismatch) or -1.0 when it is shaped
    // like a date but names no real date or time (overflow / out-of-range field).
    bool ParseDateTime(std::string_view text);

    // OLE value <-> linear day count (continuous days since 1899-12-30 00:00).
    static double OleToLinear(double dt);
    static double LinearToOle(double linear);

    friend bool operator==(const CDateTime& a, const CDateTime& b) {
        return a.m_status == b.m_status && a.m_dt == b.m_dt;
    }

    double m_dt = 0.0;
    DateTimeStatus m_status = valid;
};

}  // namespace NAMESPACE_COMMON
