#include "tools/mapiadmin/ItemModel.h"

#include <cstdio>

#include "platform/system/Ascii.h"

namespace nx::mapiadmin {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;

// Days since 1601-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil,
// shifted from the Unix epoch).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 134774;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468 - 134774;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, unsigned& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

}  // namespace

bool IsReadOnlyTag(std::uint32_t tag) {
    switch (PropIdOf(tag)) {
        case 0x0E09:  // PR_PARENT_ENTRYID
        case 0x0E1B:  // PR_HASATTACH
        case 0x0E21:  // PR_ATTACH_NUM
        case 0x0FF4:  // PR_ACCESS
        case 0x0FF6:  // PR_INSTANCE_KEY
        case 0x0FF7:  // PR_ACCESS_LEVEL
        case 0x0FF8:  // PR_MAPPING_SIGNATURE
        case 0x0FF9:  // PR_RECORD_KEY
        case 0x0FFA:  // PR_STORE_RECORD_KEY
        case 0x0FFB:  // PR_STORE_ENTRYID
        case 0x0FFE:  // PR_OBJECT_TYPE
        case 0x0FFF:  // PR_ENTRYID
        case 0x6670:  // PR_LONGTERM_ENTRYID_FROM_TABLE
            return true;
        default:
            return false;
    }
}

bool IsComputedTag(std::uint32_t tag) {
    switch (PropIdOf(tag)) {
        case 0x0E08:  // PR_MESSAGE_SIZE
        case 0x3007:  // PR_CREATION_TIME
        case 0x3008:  // PR_LAST_MODIFICATION_TIME
            return true;
        default:
            return IsReadOnlyTag(tag);
    }
}

std::optional<std::uint64_t> ParseIsoUtc(std::string_view t) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(t, 0, 4, y) || t.size() < 10 || t[4] != '-' || !Digits(t, 5, 2, mo) || t[7] != '-' ||
        !Digits(t, 8, 2, d))
        return std::nullopt;
    std::uint64_t fraction = 0;
    if (t.size() > 10) {
        if (t.size() < 20 || t[10] != 'T' || !Digits(t, 11, 2, h) || t[13] != ':' || !Digits(t, 14, 2, mi) ||
            t[16] != ':' || !Digits(t, 17, 2, s))
            return std::nullopt;
        std::size_t i = 19;
        if (t[i] == '.') {
            ++i;
            std::size_t n = 0;
            while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
                if (++n > 7) return std::nullopt;
                fraction = fraction * 10 + static_cast<unsigned>(t[i] - '0');
                ++i;
            }
            if (n == 0) return std::nullopt;
            for (; n < 7; ++n) fraction *= 10;
        }
        if (i + 1 != t.size() || t[i] != 'Z') return std::nullopt;
    }
    static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap) return std::nullopt;
    const auto days = static_cast<std::uint64_t>(DaysFromCivil(y, mo, d));
    return days * kTicksPerDay + (static_cast<std::uint64_t>(h) * 3600 + mi * 60 + s) * kTicksPerSecond +
           fraction;
}

std::optional<std::string> FormatIsoUtc(std::uint64_t ticks) {
    const auto days = static_cast<std::int64_t>(ticks / kTicksPerDay);
    std::uint64_t rest = ticks % kTicksPerDay;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    if (y > 9999) return std::nullopt;
    const auto fraction = static_cast<unsigned>(rest % kTicksPerSecond);
    rest /= kTicksPerSecond;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(y), m, d,
                  static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
    std::string out(buf);
    if (fraction != 0) {
        std::snprintf(buf, sizeof buf, ".%07u", fraction);
        std::string f(buf);
        while (f.back() == '0') f.pop_back();
        out += f;
    }
    return out + "Z";
}

std::optional<Guid> ParseGuid(std::string_view t) {
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36) return std::nullopt;
    std::uint8_t b[16];
    std::size_t n = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = nx::sys::HexDigitValue(t[i]), lo = nx::sys::HexDigitValue(t[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    Guid g;
    g.data1 = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    g.data2 = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
    g.data3 = static_cast<std::uint16_t>((b[6] << 8) | b[7]);
    for (int i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
    return g;
}

std::string FormatGuid(const Guid& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return buf;
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() >= 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nx::sys::HexDigitValue(hex[i]), lo = nx::sys::HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

}  // namespace nx::mapiadmin
