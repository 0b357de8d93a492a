#include "common/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace NAMESPACE_COMMON {
namespace {

// 0100-01-01: day -657434. Before the epoch the fraction runs forwards on a negative day, so the
// later times of that day lie below -657434 (-657434.5 is 12:00): the bound is the next day down.
constexpr double kMinDateExclusive = -657435.0;
// 9999-12-31 23:59:59 plus just under half a second, which still rounds into that second.
constexpr double kMaxDate = 2958465.0 + (86399.5 - 1e-6) / 86400.0;
constexpr int64_t kSecondsPerDay = 86400;
// Days from 1970-01-01 to 1899-12-30.
constexpr int64_t kOleEpochFromUnix = -25569;

// Days since 1970-01-01 of a proleptic Gregorian date (months 1-12).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool InOleRange(double dt) {
    return dt > kMinDateExclusive && dt <= kMaxDate;  // also rejects NaN
}

int64_t FloorMod(int64_t a, int64_t b) {
    const int64_t r = a % b;
    return r < 0 ? r + b : r;
}

// Splits a valid OLE value into its calendar day (days since 1899-12-30) and second of day,
// rounding to the nearest second.
bool SplitOle(double dt, int64_t& day, int64_t& second) {
    if (!InOleRange(dt)) return false;
    const double whole = std::trunc(dt);
    day = static_cast<int64_t>(whole);
    const double fraction = std::fabs(dt - whole);
    second = std::llround(fraction * kSecondsPerDay);
    if (second >= kSecondsPerDay) {
        second -= kSecondsPerDay;
        ++day;
    }
    return true;
}

double JoinOle(int64_t day, int64_t second) {
    const double fraction = static_cast<double>(second) / kSecondsPerDay;
    return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

void FillSystemTime(int64_t unixDay, int64_t second, SYSTEMTIME& st) {
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(unixDay, y, m, d);
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(m);
    st.wDay = static_cast<uint16_t>(d);
    st.wDayOfWeek = static_cast<uint16_t>(FloorMod(unixDay + 4, 7));  // 1970-01-01: Thursday
    st.wHour = static_cast<uint16_t>(second / 3600);
    st.wMinute = static_cast<uint16_t>(second / 60 % 60);
    st.wSecond = static_cast<uint16_t>(second % 60);
    st.wMilliseconds = 0;
}

bool IsRealDateTime(int year, int month, int day, int hour, int minute, int second) {
    return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month) && hour >= 0 &&
           hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

}  // namespace

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return kDays[month - 1];
}

int DayOfWeek(int year, int month, int day) {
    return static_cast<int>(
        FloorMod(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + 4, 7));
}

bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st) {
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL) return false;
    const uint64_t totalSeconds = ticks / 10000000ULL;
    const auto days1601 = static_cast<int64_t>(totalSeconds / kSecondsPerDay);
    const auto second = static_cast<int64_t>(totalSeconds % kSecondsPerDay);
    const int64_t unixDay =
        days1601 - static_cast<int64_t>(kFileTimeUnixEpoch / kFileTicksPerSecond / kSecondsPerDay);
    FillSystemTime(unixDay, second, st);
    st.wMilliseconds = static_cast<uint16_t>(ticks / 10000ULL % 1000ULL);
    return true;
}

bool SystemTimeToFileTime(const SYSTEMTIME& st, FILETIME& ft) {
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMilliseconds > 999 ||
        !IsRealDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond))
        return false;
    const int64_t unixDay = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
    const int64_t days1601 =
        unixDay + static_cast<int64_t>(kFileTimeUnixEpoch / kFileTicksPerSecond / kSecondsPerDay);
    const uint64_t seconds = static_cast<uint64_t>(days1601) * kSecondsPerDay + st.wHour * 3600ULL +
                             st.wMinute * 60ULL + st.wSecond;
    const uint64_t ticks = seconds * 10000000ULL + st.wMilliseconds * 10000ULL;
    ft.dwLowDateTime = static_cast<uint32_t>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
    return true;
}

double CDateTime::OleToLinear(double dt) {
    if (dt >= 0) return dt;
    const double whole = std::trunc(dt);
    return whole + (whole - dt);
}

double CDateTime::LinearToOle(double linear) {
    if (linear >= 0) return linear;
    const double day = std::floor(linear);
    const double fraction = linear - day;
    return fraction == 0 ? day : day - fraction;
}

bool CDateTime::SetDateTime(int year, int month, int day, int hour, int minute, int second) {
    // Compute the way the variant-time conversion does (month within 1-12, the rest may spill
    // over), then demand that the fields come back unchanged.
    m_status = invalid;
    if (year < 0 || year > 65535 || month < 1 || month > 12 || day < 0 || day > 31 || hour < 0 ||
        hour > 65535 || minute < 0 || minute > 65535 || second < 0 || second > 65535)
        return false;
    const int64_t dayNumber =
        DaysFromCivil(year, static_cast<unsigned>(month), 1) + (day - 1) - kOleEpochFromUnix;
    const int64_t seconds = int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    const int64_t totalDay = dayNumber + seconds / kSecondsPerDay;
    const double value = JoinOle(totalDay, seconds % kSecondsPerDay);
    SYSTEMTIME back{};
    CDateTime probe(value);
    if (!probe.GetAsSystemTime(back)) return false;
    if (back.wYear != year || back.wMonth != month || back.wDay != day || back.wHour != hour ||
        back.wMinute != minute || back.wSecond != second)
        return false;
    m_dt = value;
    m_status = valid;
    return true;
}

bool CDateTime::SetFromSystemTime(const SYSTEMTIME& st) {
    return SetDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

bool CDateTime::SetFromFileTime(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(ft, st)) {
        m_status = invalid;
        return false;
    }
    return SetFromSystemTime(st);
}

bool CDateTime::GetAsSystemTime(SYSTEMTIME& st) const {
    if (m_status != valid) return false;
    int64_t day = 0;
    int64_t second = 0;
    if (!SplitOle(m_dt, day, second)) return false;
    FillSystemTime(day + kOleEpochFromUnix, second, st);
    return true;
}

bool CDateTime::GetAsFileTime(FILETIME& ft) const {
    SYSTEMTIME st{};
    return GetAsSystemTime(st) && SystemTimeToFileTime(st, ft);
}

CDateTime CDateTime::AddDays(double days) const {
    CDateTime result(m_dt, m_status);
    const double linear = OleToLinear(m_dt) + days;
    if (!std::isfinite(linear) || std::fabs(linear) > 1e8) {
        result.m_status = result.m_status == valid ? invalid : result.m_status;
        return result;
    }
    // Whole seconds, like every date value the agent makes.
    const int64_t total = std::llround(linear * kSecondsPerDay);
    const int64_t day =
        total >= 0 ? total / kSecondsPerDay : -((-total + kSecondsPerDay - 1) / kSecondsPerDay);
    result.m_dt = JoinOle(day, total - day * kSecondsPerDay);
    if (result.m_status == valid && !InOleRange(result.m_dt)) result.m_status = invalid;
    return result;
}

std::string CDateTime::Format(std::string_view pattern) const {
    if (m_status == null) return std::string();
    SYSTEMTIME st{};
    if (m_status != valid || !GetAsSystemTime(st)) return kInvalidDateTimeText;
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_wday = st.wDayOfWeek;
    tm.tm_yday =
        static_cast<int>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) - DaysFromCivil(st.wYear, 1, 1));
    tm.tm_isdst = -1;
    char buffer[257];
    // %Y is always four digits (0100, not 100), as the host reads it; the rest is strftime's.
    std::string format;
    format.reserve(pattern.size() + 4);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 'Y') {
                char year[8];
                std::snprintf(year, sizeof year, "%04u", static_cast<unsigned>(st.wYear));
                format.append(year);
            } else {
                format.append(pattern.substr(i, 2));
            }
            ++i;
        } else {
            format.push_back(pattern[i]);
        }
    }
    const std::size_t n = std::strftime(buffer, sizeof buffer - 1, format.c_str(), &tm);
    return std::string(buffer, n);
}

// ---- Reading date texts -------------------------------------------------------------------

namespace {

enum class ParseResult { ok, mismatch, overflow };

class DateTextReader {
public:
    explicit DateTextReader(std::string_view text) : m_s(text) {}

    ParseResult Read(int& year, int& month, int& day, int& hour, int& minute, int& second) {
        while (!m_s.empty() && IsBlank(m_s.front())) m_s.remove_prefix(1);
        while (!m_s.empty() && IsBlank(m_s.back())) m_s.remove_suffix(1);
        if (m_s.empty()) return ParseResult::mismatch;

        year = 1899;
        month = 12;
        day = 30;
        hour = minute = second = 0;
        bool outOfRange = false;

        // Time alone: "H:MM[:SS[.fff]] [AM|PM]".
        std::size_t digits = CountDigits(0);
        if (digits >= 1 && digits <= 2 && At(digits) == ':') {
            if (!ReadTime(hour, minute, second, outOfRange) || m_pos != m_s.size())
                return ParseResult::mismatch;
            return outOfRange ? ParseResult::overflow : ParseResult::ok;
        }
        if (!ReadDate(year, month, day, outOfRange)) return ParseResult::mismatch;
        if (m_pos != m_s.size()) {
            // Separator between date and time: blanks or a single 'T'.
            if (At(m_pos) == 'T') {
                ++m_pos;
            } else {
                if (!IsBlank(At(m_pos))) return ParseResult::mismatch;
                while (IsBlank(At(m_pos))) ++m_pos;
            }
            if (!ReadTime(hour, minute, second, outOfRange) || m_pos != m_s.size())
                return ParseResult::mismatch;
        }
        return outOfRange ? ParseResult::overflow : ParseResult::ok;
    }

private:
    static bool IsBlank(char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
    }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    char At(std::size_t i) const { return i < m_s.size() ? m_s[i] : '\0'; }
    std::size_t CountDigits(std::size_t from) const {
        std::size_t n = 0;
        while (IsDigit(At(from + n))) ++n;
        return n;
    }

    // Reads 1..maxDigits digits at m_pos.
    bool Number(std::size_t minDigits, std::size_t maxDigits, int& value) {
        const std::size_t n = CountDigits(m_pos);
        if (n < minDigits || n > maxDigits) return false;
        value = 0;
        for (std::size_t i = 0; i < n; ++i) value = value * 10 + (m_s[m_pos + i] - '0');
        m_pos += n;
        return true;
    }

    bool ReadDate(int& year, int& month, int& day, bool& outOfRange) {
        const std::size_t first = CountDigits(0);
        if (first >= 3) {
            // Year first: Y/M/D, Y-M-D or Y.M.D (the forms the agent writes are of this kind).
            int y = 0;
            if (!Number(3, 9, y)) return false;
            const char sep = At(m_pos);
            if (sep != '/' && sep != '-' && sep != '.') return false;
            ++m_pos;
            if (!Number(1, 2, month)) return false;
            if (At(m_pos) != sep) return false;
            ++m_pos;
            if (!Number(1, 2, day)) return false;
            year = y;
        } else {
            // Month first (the user's default locale, en-US): M/D/Y or M-D-Y, with a year of
            // four digits or two (00-29 -> 2000-2029, 30-99 -> 1930-1999).
            if (!Number(1, 2, month)) return false;
            const char sep = At(m_pos);
            if (sep != '/' && sep != '-') return false;
            ++m_pos;
            if (!Number(1, 2, day)) return false;
            if (At(m_pos) != sep) return false;
            ++m_pos;
            const std::size_t yearDigits = CountDigits(m_pos);
            if (yearDigits != 2 && yearDigits != 4) return false;
            if (!Number(yearDigits, yearDigits, year)) return false;
            if (yearDigits == 2) year += year < 30 ? 2000 : 1900;
        }
        if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
            outOfRange = true;
        return true;
    }

    bool ReadTime(int& hour, int& minute, int& second, bool& outOfRange) {
        if (!Number(1, 2, hour)) return false;
        if (At(m_pos) != ':') return false;
        ++m_pos;
        if (!Number(1, 2, minute)) return false;
        second = 0;
        bool roundUp = false;
        if (At(m_pos) == ':') {
            ++m_pos;
            if (!Number(1, 2, second)) return false;
            if (At(m_pos) == '.') {
                ++m_pos;
                const std::size_t n = CountDigits(m_pos);
                if (n == 0) return false;
                roundUp = m_s[m_pos] >= '5';  // nearest second
                m_pos += n;
            }
        }
        std::size_t save = m_pos;
        while (IsBlank(At(m_pos))) ++m_pos;
        const char a = static_cast<char>(At(m_pos) | 0x20);
        const char b = static_cast<char>(At(m_pos + 1) | 0x20);
        if ((a == 'a' || a == 'p') && b == 'm') {
            m_pos += 2;
            if (hour < 1 || hour > 12) outOfRange = true;
            hour = hour % 12 + (a == 'p' ? 12 : 0);
        } else {
            m_pos = save;
        }
        if (hour > 23 || minute > 59 || second > 59) outOfRange = true;
        if (roundUp && !outOfRange) m_roundUp = true;
        return true;
    }

public:
    bool m_roundUp = false;

private:
    std::string_view m_s;
    std::size_t m_pos = 0;
};

}  // namespace

bool CDateTime::ParseDateTime(std::string_view text) {
    DateTextReader reader(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    switch (reader.Read(year, month, day, hour, minute, second)) {
        case ParseResult::mismatch:
            m_dt = 0.0;
            m_status = invalid;
            return false;
        case ParseResult::overflow:
            m_dt = -1.0;
            m_status = invalid;
            return false;
        case ParseResult::ok:
            break;
    }
    CDateTime value;
    if (!value.SetDateTime(year, month, day, hour, minute, second)) {
        m_dt = -1.0;
        m_status = invalid;
        return false;
    }
    if (reader.m_roundUp) value = value.AddDays(1.0 / kSecondsPerDay);  // exact: whole seconds
    if (!value.IsValid()) {
        m_dt = -1.0;
        m_status = invalid;
        return false;
    }
    *this = value;
    return true;
}

}  // namespace NAMESPACE_COMMON
