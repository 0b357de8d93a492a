// The exception attachments the agent writes for a series' modified occurrences, through nxhost,
// the real agent and the MAPI runtime: what mapiadmin dumps of them against the published
// definitions (the Exception Attachment object and the Exception Embedded Message object of
// [MS-OXOCAL]), the agent's read of the series, a write-back that leaves them as stored, and a
// changed modification that rewrites them.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "common/XMLParser.h"
#include "platform/system/Utf.h"
#include "tests/calendar/ElementRows.h"
#include "tests/e2e/StoreWorld.h"

namespace {

using namespace nx::e2e;

// The published values (PidTagAttachMethod afEmbeddedMessage, PidTagAttachmentFlags afException,
// PidTagRenderingPosition 0xFFFFFFFF, the exception message's class).
constexpr int kAfEmbeddedMessage = 5;
constexpr int kAfException = 2;
constexpr int kNotRendered = -1;
const std::string kExceptionClass = "IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}";

std::string Base64Utf16(const std::u16string& text) {
    std::string bytes;
    for (char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return NAMESPACE_COMMON::Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct Modification {
    std::string day, start, end;  // document dates, local time
    std::u16string subject, location;
    int reminderSet, reminderDelta;
};

// The exceptions text as the read writes it: deletions first, then modifications, by day.
std::string ExceptionsText(const std::vector<std::string>& deletions, const std::vector<Modification>& mods) {
    std::string t = "<exceptions>\r\n";
    for (const auto& d : deletions) t += "<deletion time = \"" + d + "\"></deletion>\r\n";
    for (const auto& m : mods)
        t += "<modification time = \"" + m.day + "\">\r\n\t<subject>" + Base64Utf16(m.subject) +
             "</subject>\r\n\t<location>" + Base64Utf16(m.location) + "</location>\r\n\t<start>" + m.start +
             "</start>\r\n\t<end>" + m.end + "</end>\r\n\t<reminderset>" + std::to_string(m.reminderSet) +
             "</reminderset>\r\n\t<reminderdelta>" + std::to_string(m.reminderDelta) +
             "</reminderdelta>\r\n\t<allday>0</allday>\r\n</modification>\r\n";
    return t + "</exceptions>";
}

// A read document written back as an update, with another ExceptionRule when one is given.
std::string Update(std::string read, const std::string* exceptions) {
    const auto open = read.find("<lFlag>");
    if (open != std::string::npos)
        read.replace(open, read.find("</lFlag>", open) - open, "<lFlag>4");
    else
        read.insert(read.find("<Calendar>") + 10, "\n\t<lFlag>4</lFlag>");
    if (!exceptions) return read;
    NAMESPACE_COMMON::CXMLParser doc;
    EXPECT_TRUE(doc.Init());
    doc.LoadXML(read);
    if (auto rule = doc.SelectNode("/Calendar/ExceptionRule"))
        NAMESPACE_COMMON::CXMLParser::SetNodeText(rule, exceptions->c_str());
    else
        doc.CreateChildNode("ExceptionRule", exceptions->c_str(), doc.SelectNode("/Calendar"), 1, 1);
    return doc.GetXML();
}

// The values of one property list of a dump by name (a tag's or a named property's).
std::map<std::string, nlohmann::json> ByName(const nlohmann::json& props) {
    std::map<std::string, nlohmann::json> m;
    for (const auto& p : props)
        m[p.contains("tag") ? p["tag"].get<std::string>() : p.value("named", p.dump())] = p.value("value", p);
    return m;
}

nlohmann::json Dump(StoreWorld& w, const std::string& id) {
    const Result r = w.Run({w.Bin("mapiadmin").string(), "item", "dump", id});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

// Berlin (the world's zone) is UTC+1 in March before the change to summer time: a document's
// local "YYYY/MM/DD HH:MM:SS" as the ISO UTC text of a dump, and as the unconverted local time
// that PR_EXCEPTION_STARTTIME and _ENDTIME hold.
std::string Iso(const std::string& local, int offsetHours) {
    const int hour = std::stoi(local.substr(11, 2)) - offsetHours;
    EXPECT_GE(hour, 0) << local;  // the cases stay on their day
    std::string h = std::to_string(hour);
    if (h.size() < 2) h = "0" + h;
    return local.substr(0, 4) + "-" + local.substr(5, 2) + "-" + local.substr(8, 2) + "T" + h + ":" +
           local.substr(14, 2) + ":" + local.substr(17, 2) + "Z";
}
std::string Utc(const std::string& local) {
    return Iso(local, 1);
}
std::string AsStored(const std::string& local) {
    return Iso(local, 0);
}

// Checks a dump's exception attachments against the modifications, in order; `originals` are the
// occurrences they replace (the series' start time on the modification's day).
void ExpectAttachments(const nlohmann::json& item, const std::vector<Modification>& mods) {
    ASSERT_TRUE(item.contains("attachments")) << item.dump(1);
    const auto& atts = item["attachments"];
    ASSERT_EQ(atts.size(), mods.size()) << item.dump(1);
    for (std::size_t i = 0; i < mods.size(); ++i) {
        const Modification& m = mods[i];
        SCOPED_TRACE(m.day);
        const std::string original = m.day + " 09:00:00";  // the series starts at 09:00
        auto a = ByName(atts[i]["properties"]);
        EXPECT_EQ(a["PR_ATTACH_METHOD"], kAfEmbeddedMessage);
        EXPECT_EQ(a["PR_ATTACHMENT_HIDDEN"], true);
        EXPECT_EQ(a["PR_ATTACHMENT_FLAGS"], kAfException);
        EXPECT_EQ(a["PR_ATTACHMENT_LINKID"], 0);
        EXPECT_EQ(a["PR_RENDERING_POSITION"], kNotRendered);
        EXPECT_EQ(a["PR_DISPLAY_NAME_W"], nx::sys::Utf16ToUtf8(m.subject));
        EXPECT_EQ(a["PR_EXCEPTION_STARTTIME"], AsStored(m.start));
        EXPECT_EQ(a["PR_EXCEPTION_ENDTIME"], AsStored(m.end));
        EXPECT_EQ(a["PR_EXCEPTION_REPLACETIME"], Utc(original));

        ASSERT_TRUE(atts[i].contains("embeddedMessage")) << atts[i].dump(1);
        auto e = ByName(atts[i]["embeddedMessage"]["properties"]);
        EXPECT_EQ(e["PR_MESSAGE_CLASS_W"], kExceptionClass);
        EXPECT_EQ(e["PR_SUBJECT_W"], nx::sys::Utf16ToUtf8(m.subject));
        EXPECT_EQ(e["PidLidLocation"], nx::sys::Utf16ToUtf8(m.location));
        EXPECT_EQ(e["PidLidAppointmentStartWhole"], Utc(m.start));
        EXPECT_EQ(e["PidLidAppointmentEndWhole"], Utc(m.end));
        EXPECT_EQ(e["PidLidExceptionReplaceTime"], Utc(original));
        EXPECT_EQ(e["PidLidReminderSet"], m.reminderSet != 0);
        EXPECT_EQ(e["PidLidReminderDelta"], m.reminderDelta);
        EXPECT_EQ(e["PidLidAppointmentSubType"], false);
        EXPECT_EQ(e["PidLidFExceptionalBody"], false);
    }
}

}  // namespace

TEST(ExceptionAttachmentsE2E, ModifiedOccurrencesAreStoredAsThePublishedAttachments) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    // Every Monday of March 2027 at 09:00, six times.
    const std::string add = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>" + [] {
        std::string x;
        for (const auto& [n, t] : nx::test::Rows(
                 "lFlag=8|lCalType=3|CsFolder=Calendar|Description=Weekly|Location=Room 1|"
                 "lReminderMinutes=15|nRingTone=1|bAlldayEvent=FALSE|dtStartTime=2027/03/01 09:00:00|"
                 "dtEndTime=2027/03/01 10:00:00|lRecurType=2|lRecurInterval=1|lRecurWeekMask=2|"
                 "dtRecurEndDate=NULL|bRecurHasEndDate=FALSE|lRecurRepeat=6"))
            x += "\n\t<" + n + ">" + t + "</" + n + ">";
        return x;
    }() + "\n</Calendar>\n";
    const fs::path addFile = w.Root() / "add.xml";
    WriteWholeFile(addFile, add);
    auto write = [&](const std::string& name, const std::string& xml) {
        const fs::path file = w.Root() / name;
        WriteWholeFile(file, xml);
        return w.Read({"MAPILogOn", "SetCalendarFolder \"\"", "WriteCalendars @" + file.string(),
                       "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"},
                      {}, "calendar");
    };
    auto added = w.Read({"MAPILogOn", "SetCalendarFolder \"\"", "WriteCalendars @" + addFile.string(),
                         "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"},
                        {}, "calendar");
    ASSERT_EQ(added.size(), 1u) << w.Output();
    const std::string id = Element(added[0].xml, "PIMID");
    EXPECT_FALSE(Dump(w, id).contains("attachments"));

    // Two modifications (one moved within its day with its own texts and reminder, one with the
    // reminder off) and one deletion.
    std::vector<Modification> mods = {
        {"2027/03/08", "2027/03/08 11:00:00", "2027/03/08 12:30:00", u"Moved \u00e9", u"Room 7", 1, 5},
        {"2027/03/22", "2027/03/22 09:00:00", "2027/03/22 10:00:00", u"Weekly", u"Elsewhere", 0, 15},
    };
    const std::string rule = ExceptionsText({"2027/03/15"}, mods);
    const std::string sent = Update(added[0].xml, &rule);
    const auto first = write("rule.xml", sent);
    ASSERT_EQ(first.size(), 1u) << w.Output();
    EXPECT_EQ(Element(first[0].xml, "ExceptionRule"), Element(sent, "ExceptionRule"));
    const nlohmann::json stored = Dump(w, id);
    ExpectAttachments(stored, mods);

    // Written back as read: the attachments stay exactly as stored.
    const auto again = write("back.xml", Update(first[0].xml, nullptr));
    ASSERT_EQ(again.size(), 1u) << w.Output();
    EXPECT_EQ(Dump(w, id)["attachments"], stored["attachments"]);

    // One modification changed, the other taken back: one attachment, the changed one.
    mods = {{"2027/03/08", "2027/03/08 13:00:00", "2027/03/08 14:00:00", u"Later", u"Room 7", 1, 30}};
    const std::string changedRule = ExceptionsText({"2027/03/15"}, mods);
    const std::string changed = Update(again[0].xml, &changedRule);
    const auto third = write("changed.xml", changed);
    ASSERT_EQ(third.size(), 1u) << w.Output();
    EXPECT_EQ(Element(third[0].xml, "ExceptionRule"), Element(changed, "ExceptionRule"));
    ExpectAttachments(Dump(w, id), mods);

    // A series made single loses its exception attachments.
    std::string single = Update(third[0].xml, nullptr);
    single.replace(single.find("<lRecurType>2<"), 14, "<lRecurType>0<");
    const auto fourth = write("single.xml", single);
    ASSERT_EQ(fourth.size(), 1u) << w.Output();
    EXPECT_FALSE(Dump(w, id).contains("attachments"));
}
