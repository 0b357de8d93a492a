// Appointment writes against the real MAPI runtime: documents parsed as the host sends them,
// written by CMAPIObject (add, update, delete) and the stored properties read back by name, on a
// machine in Berlin (UTC+1 in winter, +2 in summer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calendar/AppointmentWrite.h"
#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "calendar/TimeZoneStruct.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/NamedProps.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"
#include "tests/calendar/ElementRows.h"
#include "tests/mapi/MapiTestWorld.h"
#include "tests/support/ScopedEnv.h"

namespace {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_MAPI::CCalendarEx;
using NAMESPACE_MAPI::CMAPIObject;
using Elements = nx::test::Pairs;
using nx::test::Rows;

const std::string kCalendar = "Personal Folders/Top of Personal Folders/Calendar";
constexpr const char* kAbsent = "<absent>";

std::string Document(const Elements& elements) {
    std::string xml = "<?xml version=\"1.0\"?><Calendar>";
    for (const auto& [name, text] : elements) xml += "<" + name + ">" + text + "</" + name + ">";
    return xml + "</Calendar>";
}

// A new single appointment on 2009/03/07 10:00-11:30 with a 15-minute reminder, changed by `more`
// ("name=text|..."): a text replaces the element's, "-" leaves the element out.
Elements Appointment(int flag, std::string_view more = "") {
    Elements e = Rows(
        "lCalType=3|Description=Review|Location=Room 4|Body=Agenda|bAlldayEvent=FALSE|"
        "dtStartTime=2009/03/07 10:00:00|dtEndTime=2009/03/07 11:30:00|nRingTone=0|lReminderMinutes=15");
    e.insert(e.begin(), {"lFlag", std::to_string(flag)});
    for (const auto& change : Rows(more)) {
        const auto it =
            std::find_if(e.begin(), e.end(), [&](const auto& p) { return p.first == change.first; });
        if (it == e.end())
            e.push_back(change);
        else
            it->second = change.second;
    }
    std::erase_if(e, [](const auto& p) { return p.second == "-"; });
    return e;
}

struct StoredName {
    const char* label;
    const GUID* set;
    LONG lid;
    ULONG type;
};

const StoredName kNames[] = {{"BusyStatus", &PSETID_Appointment, 0x8205, PT_LONG},
                             {"StartWhole", &PSETID_Appointment, 0x820D, PT_SYSTIME},
                             {"ClipStart", &PSETID_Appointment, 0x8235, PT_SYSTIME},
                             {"CommonStart", &PSETID_Common, 0x8516, PT_SYSTIME},
                             {"EndWhole", &PSETID_Appointment, 0x820E, PT_SYSTIME},
                             {"ClipEnd", &PSETID_Appointment, 0x8236, PT_SYSTIME},
                             {"CommonEnd", &PSETID_Common, 0x8517, PT_SYSTIME},
                             {"Duration", &PSETID_Appointment, 0x8213, PT_LONG},
                             {"Location", &PSETID_Appointment, 0x8208, PT_UNICODE},
                             {"SubType", &PSETID_Appointment, 0x8215, PT_BOOLEAN},
                             {"ReminderSet", &PSETID_Common, 0x8503, PT_BOOLEAN},
                             {"ReminderDelta", &PSETID_Common, 0x8501, PT_LONG},
                             {"ReminderOverride", &PSETID_Common, 0x851C, PT_BOOLEAN},
                             {"ReminderPlaySound", &PSETID_Common, 0x851E, PT_BOOLEAN},
                             {"ReminderFileParameter", &PSETID_Common, 0x851F, PT_UNICODE},
                             {"ReminderTime", &PSETID_Common, 0x8502, PT_SYSTIME},
                             {"ReminderSignalTime", &PSETID_Common, 0x8560, PT_SYSTIME},
                             {"SideEffects", &PSETID_Common, 0x8510, PT_LONG},
                             {"TimeZoneStruct", &PSETID_Appointment, 0x8233, PT_BINARY},
                             {"TimeZoneDescription", &PSETID_Appointment, 0x8234, PT_UNICODE},
                             {"Recurring", &PSETID_Appointment, 0x8223, PT_BOOLEAN},
                             {"RecurrenceType", &PSETID_Appointment, 0x8231, PT_LONG},
                             {"AppointmentRecur", &PSETID_Appointment, 0x8216, PT_BINARY},
                             {"RecurrencePattern", &PSETID_Appointment, 0x8232, PT_UNICODE}};

const std::pair<const char*, ULONG> kTags[] = {
    {"Class", PR_MESSAGE_CLASS_W},   {"Flags", PR_MESSAGE_FLAGS},
    {"Importance", PR_IMPORTANCE},   {"Priority", PR_PRIORITY},
    {"Sensitivity", PR_SENSITIVITY}, {"Icon", PR_ICON_INDEX},
    {"Subject", PR_SUBJECT_W},       {"Body", PR_BODY_W},
};

std::string Text(const SPropValue& v) {
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG:
            return std::to_string(v.Value.l);
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_UNICODE:
            return nx::sys::Utf16ToUtf8(v.Value.lpszW);
        case PT_BINARY:
            return NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
        case PT_SYSTIME: {
            SYSTEMTIME st{};
            if (!NAMESPACE_COMMON::FileTimeToSystemTime(v.Value.ft, st)) return "<bad time>";
            char text[64];
            std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay,
                          st.wHour, st.wMinute, st.wSecond);
            return text;
        }
        default:
            return kAbsent;
    }
}

class CalendarWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        world = std::make_unique<nx::test::MapiTestWorld>();
        world->Admin({"init"});
        tz.Set("TZ", "Europe/Berlin");
        ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    }
    void TearDown() override { mapi.MAPILogOff(); }

    // Parses the document into `record` and writes it; WriteCalendars' result.
    int Write(const Elements& elements, CCalendarEx& record) {
        record.Clear();
        NAMESPACE_MAPI::ParseCalendarXML(Document(elements), record);
        return mapi.WriteCalendars(&record);
    }
    // Writes a document and returns the identifier the host would get.
    std::string Write(const Elements& elements) {
        CCalendarEx record;
        EXPECT_EQ(Write(elements, record), 0);
        return record.PIMID;
    }

    // Every checked property of the stored item by label; absent ones are missing.
    std::map<std::string, std::string> Stored(const std::string& pimid) {
        std::map<std::string, std::string> out;
        ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), pimid);
        if (!message) return out;
        std::vector<MAPINAMEID> names(std::size(kNames));
        std::vector<LPMAPINAMEID> pointers;
        for (std::size_t i = 0; i < names.size(); ++i) {
            names[i] = MAPINAMEID{const_cast<LPGUID>(kNames[i].set), MNID_ID, {}};
            names[i].Kind.lID = kNames[i].lid;
            pointers.push_back(&names[i]);
        }
        MapiBuffer<SPropTagArray> ids(MapiTable().MAPIFreeBuffer);
        message->GetIDsFromNames(static_cast<ULONG>(pointers.size()), pointers.data(), 0, ids.put());
        std::vector<std::pair<std::string, ULONG>> wanted;
        for (std::size_t i = 0; ids && i < names.size(); ++i)
            wanted.emplace_back(kNames[i].label, PROP_TAG(kNames[i].type, PROP_ID(ids->aulPropTag[i])));
        for (const auto& [label, tag] : kTags) wanted.emplace_back(label, tag);
        for (const auto& [label, tag] : wanted) {
            MapiBuffer<SPropValue> v = NAMESPACE_COMMON::GetOneProp(message.get(), tag);
            if (v && v->ulPropTag == tag) out[label] = Text(v[0]);
        }
        return out;
    }

    // `expected` as "label=text|...", "<absent>" for a property the item must not have.
    void ExpectStored(const std::string& pimid, std::string_view expected, const std::string& what) {
        const auto stored = Stored(pimid);
        for (const auto& [label, value] : Rows(expected)) {
            const auto it = stored.find(label);
            EXPECT_EQ(it == stored.end() ? kAbsent : it->second, Expand(value)) << what << ": " << label;
        }
    }

    // "{local-zone}" and "{local-name}": the machine's zone rule (hex) and display name.
    std::string Expand(const std::string& value) const {
        const auto& zone = mapi.LocalTimeZone();
        std::vector<uint8_t> bytes;
        NAMESPACE_MAPI::SerializeTimeZoneStruct(zone, &bytes);
        if (value == "{local-zone}") return NAMESPACE_COMMON::BinaryToHexString(bytes.data(), bytes.size());
        if (value == "{local-name}") return zone.DisplayName;
        return value;
    }

    std::unique_ptr<nx::test::MapiTestWorld> world;
    CMAPIObject mapi;
    nx::test::ScopedEnv tz;
};

TEST_F(CalendarWriteTest, ANewAppointmentStoresEveryPropertyAndReturnsItsIdentifierAndTime) {
    CCalendarEx record;
    ASSERT_EQ(Write(Appointment(8), record), 0);
    EXPECT_EQ(record.lFlag, 0);  // the add succeeded
    ASSERT_EQ(record.PIMID.size(), 60u);
    ExpectStored(
        record.PIMID,
        "Class=IPM.Appointment|Flags=1|Importance=1|Priority=0|Sensitivity=0|BusyStatus=0|Icon=1024|"
        "Subject=Review|Body=Agenda|Location=Room 4|StartWhole=2009-03-07T09:00:00Z|"
        "ClipStart=2009-03-07T09:00:00Z|CommonStart=2009-03-07T09:00:00Z|EndWhole=2009-03-07T10:30:00Z|"
        "ClipEnd=2009-03-07T10:30:00Z|CommonEnd=2009-03-07T10:30:00Z|Duration=90|SubType=false|"
        "ReminderSet=true|ReminderDelta=15|ReminderOverride=true|ReminderPlaySound=false|"
        "ReminderFileParameter=Reminder.wav|ReminderTime=2009-03-07T09:00:00Z|"
        "ReminderSignalTime=2009-03-07T08:45:00Z|SideEffects=369|TimeZoneStruct={local-zone}|"
        "TimeZoneDescription={local-name}|Recurring=false|RecurrenceType=0|AppointmentRecur=<absent>|"
        "RecurrencePattern=<absent>",
        "new");
    // The time text the host gets is the item's modification time in local time.
    ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), record.PIMID);
    MapiBuffer<SPropValue> modified = NAMESPACE_COMMON::GetOneProp(message.get(), PR_LAST_MODIFICATION_TIME);
    ASSERT_TRUE(modified);
    SYSTEMTIME utc{};
    ASSERT_TRUE(NAMESPACE_COMMON::FileTimeToSystemTime(modified->Value.ft, utc));
    CDateTime local;
    NAMESPACE_COMMON::UtcToLocal(utc, local);
    EXPECT_EQ(record.dtModifiedTime, local);
    EXPECT_NE(record.dtModifiedTime.GetValue(), 0.0);
}

// Each case writes a new item from `first` and, when given, updates it with `second`.
struct StoredCase {
    const char* name;
    Elements first;
    std::optional<Elements> second;
    const char* expected;
};

TEST_F(CalendarWriteTest, StoredPropertiesFollowTheHostsDocument) {
    const char* weekly = "lRecurType=2|lRecurInterval=1|lRecurWeekMask=8";
    const StoredCase cases[] = {
        {"all-day on one day",
         Appointment(8, "bAlldayEvent=TRUE|dtStartTime=2009/03/07 00:00:00|dtEndTime=2009/03/07 00:00:00"),
         {},
         "StartWhole=2009-03-06T23:00:00Z|EndWhole=2009-03-07T23:00:00Z|Duration=1440|SubType=true"},
        {"all-day over days, times dropped",
         Appointment(8, "bAlldayEvent=TRUE|dtStartTime=2009/03/07 10:00:00|dtEndTime=2009/03/09 09:00:00"),
         {},
         "StartWhole=2009-03-06T23:00:00Z|CommonEnd=2009-03-08T23:00:00Z|Duration=2880|"
         "ReminderSignalTime=2009-03-06T22:45:00Z"},
        {"no reminder only clears the switch", Appointment(8), Appointment(4, "lReminderMinutes=-1"),
         "ReminderSet=false|ReminderDelta=15|ReminderSignalTime=2009-03-07T08:45:00Z"},
        {"ring tone 1 on a new item writes no sound",
         Appointment(8, "nRingTone=1"),
         {},
         "ReminderSet=true|ReminderOverride=<absent>|ReminderPlaySound=<absent>|ReminderFileParameter=<"
         "absent>"},
        {"ring tone 1 on an overridden reminder plays the sound", Appointment(8),
         Appointment(4, "nRingTone=1"),
         "ReminderOverride=true|ReminderPlaySound=true|ReminderFileParameter=Reminder.wav"},
        {"a zone text of no zone stores the machine's zone",
         Appointment(8, "TimeZone=GMT:+1234;DST:0"),
         {},
         "TimeZoneStruct={local-zone}|TimeZoneDescription={local-name}"},
        {"no start time and reminder 0 remove the start properties", Appointment(8),
         Appointment(4, "dtStartTime=-|lReminderMinutes=0"),
         "StartWhole=<absent>|ClipStart=<absent>|CommonStart=<absent>|ReminderTime=<absent>|"
         "ReminderSignalTime=<absent>|EndWhole=2009-03-07T10:30:00Z"},
        {"a start that names no date is removed with what derives from it",
         Appointment(8, "dtStartTime=not a date"),
         {},
         "StartWhole=<absent>|CommonStart=<absent>|Duration=<absent>|ReminderTime=<absent>|"
         "ReminderSignalTime=<absent>|EndWhole=2009-03-07T10:30:00Z"},
        {"a series ends its clip at the series end",
         Appointment(
             8, "lRecurType=2|lRecurWeekMask=64|bRecurHasEndDate=TRUE|dtRecurEndDate=2009/06/27 00:00:00"),
         {},
         "Icon=1025|Recurring=true|RecurrenceType=2|ClipStart=2009-03-07T09:00:00Z|ClipEnd=2009-06-26T22:00:"
         "00Z|"
         "EndWhole=2009-03-07T10:30:00Z|RecurrencePattern=<absent>"},
        {"a series without end clips at 4500-12-31 23:59 local",
         Appointment(8, weekly),
         {},
         "ClipEnd=4500-12-31T22:59:00Z"},
        {"a series made single loses its pattern", Appointment(8, weekly), Appointment(4, "lRecurType=0"),
         "AppointmentRecur=<absent>|Recurring=false|RecurrenceType=0|Icon=1024|ClipEnd=2009-03-07T10:30:00Z"},
        {"empty texts remove what was there", Appointment(8),
         Appointment(4, "Description=-|Location=|Body=-"),
         "Subject=<absent>|Location=<absent>|Body=<absent>"},
        {"an update writes no new-item properties", Appointment(8), Appointment(4, "Description=Moved"),
         "Subject=Moved|Class=IPM.Appointment|BusyStatus=0"},
    };
    for (const auto& c : cases) {
        CCalendarEx record;
        ASSERT_EQ(Write(c.first, record), 0) << c.name;
        const std::string id = record.PIMID;
        ASSERT_FALSE(id.empty()) << c.name;
        if (c.second) {
            Elements update = *c.second;
            update.emplace_back("PIMID", id);
            ASSERT_EQ(Write(update, record), 0) << c.name;
            EXPECT_EQ(record.lFlag, 0) << c.name << ": the update succeeded";
            EXPECT_EQ(record.PIMID, id) << c.name;
        }
        ExpectStored(id, c.expected, c.name);
    }
}

TEST_F(CalendarWriteTest, AZoneTextOfTheTableStoresThatZone) {
    CCalendarEx record;
    ASSERT_EQ(Write(Appointment(8, "TimeZone=GMT:+300;DST:60"), record), 0);
    const auto& zones = mapi.TimeZones();
    const int32_t index = NAMESPACE_COMMON::FindTimeZoneIndex(zones, "GMT:+300;DST:60");
    ASSERT_GE(index, 0);
    const auto& zone = zones[static_cast<std::size_t>(index)];
    EXPECT_EQ(zone.Bias, 300);
    std::vector<uint8_t> bytes;
    NAMESPACE_MAPI::SerializeTimeZoneStruct(zone, &bytes);
    // Times still go through the machine's zone.
    ExpectStored(record.PIMID,
                 "TimeZoneStruct=" + NAMESPACE_COMMON::BinaryToHexString(bytes.data(), bytes.size()) +
                     "|TimeZoneDescription=" + zone.DisplayName + "|StartWhole=2009-03-07T09:00:00Z",
                 "table zone");
}

// A long zone text (what a read sends) stores the first table zone with the same whole rule; one
// no table zone has is stored as the rule it spells, under the name the item had.
TEST_F(CalendarWriteTest, ALongZoneTextStoresTheSameWholeRule) {
    NAMESPACE_COMMON::tagNxTimeZone tokyo;
    tokyo.Bias = -540;
    const std::string tokyoText = NAMESPACE_COMMON::FormatTimeZone(tokyo);
    NAMESPACE_COMMON::tagNxTimeZone odd;  // UTC+05:45 with a daylight hour no zone has
    odd.Bias = -345;
    odd.DaylightBias = -60;
    odd.StandardDate = {0, 11, 0, 1, 2, 0, 0, 0};
    odd.DaylightDate = {0, 2, 0, 1, 2, 0, 0, 0};
    auto hex = [](const NAMESPACE_COMMON::tagNxTimeZone& z) {
        std::vector<uint8_t> bytes;
        NAMESPACE_MAPI::SerializeTimeZoneStruct(z, &bytes);
        return NAMESPACE_COMMON::BinaryToHexString(bytes.data(), bytes.size());
    };
    // The first write loads the zone table.
    const std::string id = Write(Appointment(8, "TimeZone=" + tokyoText));
    const auto& zones = mapi.TimeZones();
    const auto table = std::find_if(zones.begin(), zones.end(), [&](const auto& z) {
        return NAMESPACE_COMMON::FormatTimeZone(z) == tokyoText;
    });
    ASSERT_NE(table, zones.end());
    ExpectStored(id, "TimeZoneStruct=" + hex(*table) + "|TimeZoneDescription=" + table->DisplayName,
                 "table rule");
    CCalendarEx record;
    ASSERT_EQ(
        Write(Appointment(4, "PIMID=" + id + "|TimeZone=" + NAMESPACE_COMMON::FormatTimeZone(odd)), record),
        0);
    ExpectStored(id, "TimeZoneStruct=" + hex(odd) + "|TimeZoneDescription=" + table->DisplayName,
                 "spelled rule");
}

// The TimeZone a read sends for a stored appointment: the item's own zone struct when it is whole
// (bytes after it are not looked at), else the machine's zone, as for an item without one: a
// struct cut short would be half a rule.
TEST_F(CalendarWriteTest, AReadSendsTheItemsWholeZoneElseTheMachines) {
    const std::string id = Write(Appointment(8));
    ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), id);
    ASSERT_TRUE(message);
    const NAMESPACE_COMMON::NamedProperty zoneStruct[] = {
        NAMESPACE_COMMON::NamedProp("PidLidTimeZoneStruct")};
    std::vector<ULONG> tags;
    ASSERT_EQ(NAMESPACE_COMMON::ResolveNamedProps(message.get(), zoneStruct, PR_NULL, tags), S_OK);

    NAMESPACE_COMMON::tagNxTimeZone tokyo;
    tokyo.Bias = -540;
    std::vector<uint8_t> whole;
    ASSERT_EQ(NAMESPACE_MAPI::SerializeTimeZoneStruct(tokyo, &whole), 1);
    std::vector<uint8_t> longer = whole;
    longer.push_back(0xFF);
    const std::string machine = NAMESPACE_COMMON::FormatTimeZone(mapi.LocalTimeZone());
    ASSERT_NE(machine, NAMESPACE_COMMON::FormatTimeZone(tokyo));
    const struct {
        const char* what;
        std::optional<std::vector<uint8_t>> stored;  // none: the property is removed
        std::string expected;
    } cases[] = {
        {"whole", whole, NAMESPACE_COMMON::FormatTimeZone(tokyo)},
        {"a byte more", longer, NAMESPACE_COMMON::FormatTimeZone(tokyo)},
        {"cut by one byte", std::vector<uint8_t>(whole.begin(), whole.end() - 1), machine},
        {"the bias alone", std::vector<uint8_t>(whole.begin(), whole.begin() + 4), machine},
        {"empty", std::vector<uint8_t>(), machine},
        {"none", std::nullopt, machine},
    };
    for (const auto& c : cases) {
        if (c.stored) {
            std::vector<uint8_t> bytes = *c.stored;
            SPropValue v{};
            v.ulPropTag = tags[0];
            v.Value.bin.cb = static_cast<ULONG>(bytes.size());
            v.Value.bin.lpb = bytes.data();
            NAMESPACE_COMMON::SetOneProp(message.get(), v);
        } else {
            NAMESPACE_COMMON::DeleteOneProp(message.get(), tags[0]);
        }
        NAMESPACE_COMMON::CXMLParser document;
        ASSERT_TRUE(NAMESPACE_MAPI::CreateCalendarDocument(document));
        NAMESPACE_MAPI::CAppointmentReadState state{NAMESPACE_MAPI::LocalZone(), mapi.LocalTimeZone(), {}};
        NAMESPACE_MAPI::AppointmentMessageToXml(document, message.get(), state);
        EXPECT_EQ(NAMESPACE_COMMON::CXMLParser::GetNodeText(document.SelectNode("/Calendar/TimeZone")),
                  c.expected)
            << c.what;
    }
}

TEST_F(CalendarWriteTest, TheDispatchActsOnTheFirstFlagAndOnlyOnWritableKinds) {
    const std::string kept = Write(Appointment(8));
    const std::string gone = Write(Appointment(8));
    const std::string sub =
        world->Admin({"folder", "create", kCalendar + "/Sub", "--class", "IPF.Appointment"});
    const std::string inSub = world->PutItem(kCalendar + "/Sub", "IPM.Appointment", "deep");
    const int32_t before = mapi.GetCalendarEventCount();

    const struct {
        const char* name;
        Elements doc;
        int32_t flagAfter;
        int32_t countChange;  // items of the calendar folder
        bool idExpected;      // the record holds an identifier afterwards
    } cases[] = {
        {"add of another kind writes nothing", Appointment(8, "lCalType=2"), 8, 0, false},
        {"add without a kind writes nothing", Appointment(8, "lCalType=-"), 8, 0, false},
        {"new and changed is added", Appointment(12), 4, 1, true},
        // An update or a deletion that did not go through answers no identifier, as a failed add.
        {"update of another kind changes nothing", Appointment(4, "lCalType=0|Description=no|PIMID=" + kept),
         4, 0, false},
        {"update without an identifier fails", Appointment(4), 4, 0, false},
        {"update of an unknown identifier fails", Appointment(4, "PIMID=" + std::string(60, '0')), 4, 0,
         false},
        {"update of a folder's identifier fails", Appointment(4, "PIMID=" + sub), 4, 0, false},
        {"no flag writes nothing", Appointment(0), 0, 0, false},
        {"delete needs no kind", Rows("lFlag=32|PIMID=" + gone), 0, -1, true},
        {"delete of a gone item fails", Rows("lFlag=32|PIMID=" + gone), 32, 0, false},
        {"delete without an identifier fails", Rows("lFlag=32|lCalType=3"), 32, 0, false},
    };
    int32_t expectedCount = before;
    for (const auto& c : cases) {
        CCalendarEx record;
        EXPECT_EQ(Write(c.doc, record), 0) << c.name;
        EXPECT_EQ(record.lFlag, c.flagAfter) << c.name;
        EXPECT_EQ(!record.PIMID.empty(), c.idExpected) << c.name;
        expectedCount += c.countChange;
        EXPECT_EQ(mapi.GetCalendarEventCount(), expectedCount) << c.name;
    }
    ExpectStored(kept, "Subject=Review", "the refused update");

    // A deletion of an item in a sub-folder goes through only when the read takes sub-folders in.
    CCalendarEx record;
    EXPECT_EQ(Write(Rows("lFlag=32|PIMID=" + inSub), record), 0);
    EXPECT_EQ(record.lFlag, 32);
    EXPECT_TRUE(NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), inSub));
    mapi.SetConfig({true, "", "", ""});
    EXPECT_EQ(Write(Rows("lFlag=32|PIMID=" + inSub), record), 0);
    EXPECT_EQ(record.lFlag, 0);
    EXPECT_FALSE(NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), inSub));
    EXPECT_EQ(mapi.WriteCalendars(nullptr), 1);
}

TEST(AppointmentWriteRules, DurationRoundsHalfASecondAwayFromZero) {
    const CDateTime start(2009, 3, 7, 10, 0, 0);
    const struct {
        CDateTime end;
        int32_t minutes;
    } cases[] = {
        {CDateTime(2009, 3, 7, 10, 0, 59), 0},          {CDateTime(2009, 3, 7, 11, 30, 0), 90},
        {CDateTime(2009, 3, 7, 9, 59, 1), 0},           {CDateTime(2009, 3, 7, 9, 0, 0), -60},
        {CDateTime(2009, 3, 10, 10, 0, 0), 4320},       {CDateTime(1899, 12, 29, 10, 0, 0), -57427200},
        {CDateTime(9999, 12, 31, 0, 0, 0), 2147483647},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NAMESPACE_MAPI::AppointmentDurationMinutes(start, c.end), c.minutes) << c.end.GetValue();
    EXPECT_EQ(NAMESPACE_MAPI::AppointmentDurationMinutes(start, CDateTime(0.0, CDateTime::invalid)), 0);
    EXPECT_EQ(NAMESPACE_MAPI::AppointmentDurationMinutes(CDateTime(100, 1, 1, 0, 0, 0),
                                                         CDateTime(9999, 12, 31, 0, 0, 0)),
              2147483647);

    EXPECT_EQ(NAMESPACE_MAPI::MidnightOf(CDateTime(2009, 3, 7, 23, 59, 59)), CDateTime(2009, 3, 7, 0, 0, 0));
    EXPECT_EQ(NAMESPACE_MAPI::MidnightOf(CDateTime(1899, 12, 29, 6, 0, 0)), CDateTime(1899, 12, 29, 0, 0, 0));
    EXPECT_FALSE(NAMESPACE_MAPI::MidnightOf(CDateTime(-1.0, CDateTime::invalid)).IsValid());
}

}  // namespace
