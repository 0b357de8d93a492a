// The zone data of a Linux machine: the registry's zone list rebuilt from ICU's Windows-zone
// mapping, zones by IANA id from the tz database ICU reads, and ICU's detection of the host zone.
//
// Each Windows zone id comes from TimeZone::getWindowsID over every ICU zone; its record is the
// yearly rule in force now of the zone ICU names for that id in region "001"
// (BasicTimeZone::getSimpleRulesNear), turned into Windows' form (week of month, 5 = last;
// transition times as local wall-clock times before the change). Names are built the way the
// registry spells them (docs/common.md).
#include "platform/system/ZoneData.h"

#include <unicode/basictz.h>
#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/tznames.h>
#include <unicode/tzrule.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

namespace nx::sys {
namespace {

constexpr int64_t kMsPerMinute = 60000;
constexpr int64_t kMsPerDay = 86400000;

std::string ToUtf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString ToUnicode(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

// Upper-case comparison, the order in which the registry enumerates sub-keys.
bool KeyLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto ux = static_cast<unsigned char>(x >= 'a' && x <= 'z' ? x - 32 : x);
        const auto uy = static_cast<unsigned char>(y >= 'a' && y <= 'z' ? y - 32 : y);
        return ux < uy;
    });
}

// 0 = Sunday (Sakamoto's method over the proleptic Gregorian calendar).
int DayOfWeek(int year, int month, int day) {
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
}

// An ICU yearly transition rule as a Windows rule date: wall-clock time before the change.
TziDate ToWindowsRule(const icu::DateTimeRule& rule, int32_t rawOffset, int32_t savingsBefore) {
    int64_t millis = rule.getRuleMillisInDay();
    if (rule.getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) millis += savingsBefore;
    if (rule.getTimeRuleType() == icu::DateTimeRule::UTC_TIME) millis += rawOffset + savingsBefore;
    millis = std::clamp<int64_t>(millis, 0, kMsPerDay - 1);
    const int month = rule.getRuleMonth() + 1;
    int week = 1;
    int dayOfWeek = rule.getRuleDayOfWeek() - 1;  // ICU: 1 = Sunday
    const int dom = rule.getRuleDayOfMonth();
    switch (rule.getDateRuleType()) {
        case icu::DateTimeRule::DOW: {
            const int n = rule.getRuleWeekInMonth();
            week = n < 0 || n > 5 ? 5 : n;
            break;
        }
        case icu::DateTimeRule::DOW_GEQ_DOM:
            week = std::min(5, (dom - 1) / 7 + 1);
            break;
        case icu::DateTimeRule::DOW_LEQ_DOM:
            week = dom >= 28 ? 5 : std::max(1, dom / 7);
            break;
        case icu::DateTimeRule::DOM:
        default: {
            // A fixed day of the month: the weekday it falls on this year, in its week.
            const std::time_t now = std::time(nullptr);
            std::tm tm{};
            gmtime_r(&now, &tm);
            dayOfWeek = DayOfWeek(tm.tm_year + 1900, month, dom);
            week = std::min(5, (dom - 1) / 7 + 1);
            break;
        }
    }
    return YearlyRuleDate(month, week, dayOfWeek, millis);
}

// The rule ICU has for a zone at `at`.
TziRule RuleAt(const icu::BasicTimeZone& zone, UDate at) {
    UErrorCode status = U_ZERO_ERROR;
    icu::InitialTimeZoneRule* initial = nullptr;
    icu::AnnualTimeZoneRule* standardRule = nullptr;
    icu::AnnualTimeZoneRule* daylightRule = nullptr;
    zone.getSimpleRulesNear(at, initial, standardRule, daylightRule, status);
    std::unique_ptr<icu::InitialTimeZoneRule> ownInitial(initial);
    std::unique_ptr<icu::AnnualTimeZoneRule> ownStandard(standardRule);
    std::unique_ptr<icu::AnnualTimeZoneRule> ownDaylight(daylightRule);
    TziRule out;
    if (U_SUCCESS(status) && standardRule != nullptr && daylightRule != nullptr) {
        const int32_t standardTotal = standardRule->getRawOffset() + standardRule->getDSTSavings();
        const int32_t daylightTotal = daylightRule->getRawOffset() + daylightRule->getDSTSavings();
        out.bias = -standardTotal / static_cast<int32_t>(kMsPerMinute);
        out.daylightBias = -(daylightTotal - standardTotal) / static_cast<int32_t>(kMsPerMinute);
        out.standardDate = ToWindowsRule(*standardRule->getRule(), daylightRule->getRawOffset(),
                                         daylightRule->getDSTSavings());
        out.daylightDate = ToWindowsRule(*daylightRule->getRule(), standardRule->getRawOffset(),
                                         standardRule->getDSTSavings());
        return out;
    }
    int32_t raw = 0;
    int32_t dst = 0;
    UErrorCode offsetStatus = U_ZERO_ERROR;
    zone.getOffset(at, false, raw, dst, offsetStatus);
    if (U_FAILURE(offsetStatus)) raw = zone.getRawOffset(), dst = 0;
    out.bias = -(raw + dst) / static_cast<int32_t>(kMsPerMinute);
    out.daylightBias = -60;  // as the registry keeps it for zones without daylight saving
    return out;
}

// ---- names ---------------------------------------------------------------------------------

std::string StandardNameForKey(const std::string& key) {
    if (key == "UTC") return "Coordinated Universal Time";
    return key;
}

std::string DaylightNameForKey(const std::string& key) {
    std::string name = StandardNameForKey(key);
    const std::string standard = "Standard Time";
    const std::size_t pos = name.rfind(standard);
    if (pos != std::string::npos) name.replace(pos, standard.size(), "Daylight Time");
    return name;
}

std::string OffsetLabel(const std::string& key, int32_t bias) {
    if (bias == 0 && key.rfind("UTC", 0) == 0) return "(UTC)";
    const int32_t east = -bias;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "(UTC%c%02d:%02d)", east < 0 ? '-' : '+', std::abs(east) / 60,
                  std::abs(east) % 60);
    return buffer;
}

// The description after the offset: the zone's English generic name ("Eastern Time"), else its
// standard name, else its exemplar city, else the key without " Standard Time".
std::string DescriptionFor(const icu::TimeZoneNames* names, const std::string& key,
                           const icu::UnicodeString& id, UDate at) {
    if (names != nullptr) {
        icu::UnicodeString text;
        for (UTimeZoneNameType type : {UTZNM_LONG_GENERIC, UTZNM_LONG_STANDARD}) {
            names->getDisplayName(id, type, at, text);
            if (!text.isBogus() && text.length() > 0) return ToUtf8(text);
        }
        names->getExemplarLocationName(id, text);
        if (!text.isBogus() && text.length() > 0) return ToUtf8(text);
    }
    std::string description = key;
    const std::string suffix = " Standard Time";
    if (description.size() > suffix.size() &&
        description.compare(description.size() - suffix.size(), suffix.size(), suffix) == 0)
        description.resize(description.size() - suffix.size());
    return description;
}

std::string ExemplarFor(const icu::TimeZoneNames* names, const icu::UnicodeString& id) {
    icu::UnicodeString text;
    if (names != nullptr) names->getExemplarLocationName(id, text);
    if (!text.isBogus() && text.length() > 0) return ToUtf8(text);
    std::string s = ToUtf8(id);
    const std::size_t slash = s.rfind('/');
    if (slash != std::string::npos) s = s.substr(slash + 1);
    std::replace(s.begin(), s.end(), '_', ' ');
    return s;
}

std::vector<ZoneRecord> BuildRegistryZones() {
    std::vector<ZoneRecord> table;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::StringEnumeration> ids(
        icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_ANY, nullptr, nullptr, status));
    if (U_FAILURE(status) || !ids) return table;
    std::set<std::string> keys;
    while (const icu::UnicodeString* id = ids->snext(status)) {
        if (U_FAILURE(status)) break;
        icu::UnicodeString windowsId;
        UErrorCode idStatus = U_ZERO_ERROR;
        icu::TimeZone::getWindowsID(*id, windowsId, idStatus);
        if (U_SUCCESS(idStatus) && !windowsId.isBogus() && windowsId.length() > 0)
            keys.insert(ToUtf8(windowsId));
    }
    UErrorCode namesStatus = U_ZERO_ERROR;
    std::unique_ptr<icu::TimeZoneNames> names(
        icu::TimeZoneNames::createInstance(icu::Locale::getEnglish(), namesStatus));
    if (U_FAILURE(namesStatus)) names.reset();
    const UDate now = icu::Calendar::getNow();

    std::vector<icu::UnicodeString> zoneIds;
    for (const std::string& key : keys) {
        icu::UnicodeString zoneId;
        UErrorCode mapStatus = U_ZERO_ERROR;
        icu::TimeZone::getIDForWindowsID(ToUnicode(key), nullptr, zoneId, mapStatus);
        if (U_FAILURE(mapStatus) || zoneId.isBogus() || zoneId.length() == 0) continue;
        std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createTimeZone(zoneId));
        auto* basic = dynamic_cast<icu::BasicTimeZone*>(tz.get());
        if (basic == nullptr) continue;
        ZoneRecord entry;
        entry.key = key;
        entry.standardName = StandardNameForKey(key);
        entry.daylightName = DaylightNameForKey(key);
        entry.rule = RuleAt(*basic, now);
        const TziRule& rule = entry.rule;
        entry.displayName = OffsetLabel(key, rule.bias) + " " +
                            (key == "UTC" ? std::string("Coordinated Universal Time")
                                          : DescriptionFor(names.get(), key, zoneId, now));
        table.push_back(std::move(entry));
        zoneIds.push_back(zoneId);
    }
    // Two zones listing the same text are told apart by their exemplar city.
    std::map<std::string, int> seen;
    for (const ZoneRecord& e : table) ++seen[e.displayName];
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (seen[table[i].displayName] > 1)
            table[i].displayName += " (" + ExemplarFor(names.get(), zoneIds[i]) + ")";
    }
    std::stable_sort(table.begin(), table.end(),
                     [](const ZoneRecord& a, const ZoneRecord& b) { return KeyLess(a.key, b.key); });
    return table;
}

}  // namespace

const std::vector<ZoneRecord>& RegistryZones() {
    static const std::vector<ZoneRecord> table = BuildRegistryZones();
    return table;
}

bool ZoneRecordAt(std::string_view zoneId, std::time_t at, ZoneRecord& out) {
    const icu::UnicodeString id = ToUnicode(zoneId);
    icu::UnicodeString canonical;
    UErrorCode status = U_ZERO_ERROR;
    UBool systemZone = false;
    icu::TimeZone::getCanonicalID(id, canonical, systemZone, status);
    // Only a zone of the database is taken by name: ICU would also read "GMT+5" as a custom
    // zone five hours east, where TZ means the POSIX rule five hours west.
    if (U_FAILURE(status) || !systemZone || canonical.isBogus() || canonical.length() == 0 ||
        canonical == UNICODE_STRING_SIMPLE("Etc/Unknown"))
        return false;
    std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createTimeZone(canonical));
    auto* basic = dynamic_cast<icu::BasicTimeZone*>(tz.get());
    if (basic == nullptr) return false;
    ZoneRecord zone;
    const UDate when = static_cast<UDate>(at) * 1000.0;
    zone.rule = RuleAt(*basic, when);
    icu::UnicodeString windowsId;
    UErrorCode windowsStatus = U_ZERO_ERROR;
    icu::TimeZone::getWindowsID(canonical, windowsId, windowsStatus);
    if (U_SUCCESS(windowsStatus) && !windowsId.isBogus() && windowsId.length() > 0) {
        zone.key = ToUtf8(windowsId);
        zone.standardName = StandardNameForKey(zone.key);
        zone.daylightName = DaylightNameForKey(zone.key);
    } else {
        UErrorCode namesStatus = U_ZERO_ERROR;
        std::unique_ptr<icu::TimeZoneNames> names(
            icu::TimeZoneNames::createInstance(icu::Locale::getEnglish(), namesStatus));
        icu::UnicodeString text;
        if (U_SUCCESS(namesStatus) && names) {
            names->getDisplayName(canonical, UTZNM_LONG_STANDARD, when, text);
            zone.standardName = text.isBogus() ? std::string() : ToUtf8(text);
            names->getDisplayName(canonical, UTZNM_LONG_DAYLIGHT, when, text);
            zone.daylightName = text.isBogus() ? std::string() : ToUtf8(text);
        }
        if (zone.standardName.empty()) zone.standardName = ToUtf8(canonical);
        if (zone.daylightName.empty()) zone.daylightName = zone.standardName;
    }
    out = std::move(zone);
    return true;
}

std::string SystemZoneId() {
    std::unique_ptr<icu::TimeZone> host(icu::TimeZone::detectHostTimeZone());
    icu::UnicodeString hostId;
    if (host) host->getID(hostId);
    return hostId.length() > 0 ? ToUtf8(hostId) : std::string("UTC");
}

}  // namespace nx::sys
