// The contact document builders on values made by hand: the row elements and their texts, the
// PIMID choice, what the document does with text XML cannot carry, the IM service split and the
// record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/XMLParser.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactXml.h"

namespace {

using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::TimeZoneSource;
using namespace NAMESPACE_MAPI;

// A zone of a fixed offset east of UTC, without daylight time.
TimeZoneSource FixedZone(int minutesEast) {
    TimeZoneSource z;
    z.getTimeZoneInformation = [minutesEast](TIME_ZONE_INFORMATION& tzi) {
        tzi = {};
        tzi.Bias = -minutesEast;
        return 0u;  // no daylight rule
    };
    return z;
}

FILETIME Utc(int y, int mo, int d, int h, int mi) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    FILETIME ft{};
    EXPECT_TRUE(NAMESPACE_COMMON::SystemTimeToFileTime(st, ft));
    return ft;
}

struct Row {
    Row() {
        texts.reserve(64);  // the values point into these: no reallocation
        blobs.reserve(64);
    }
    std::vector<std::u16string> texts;  // keeps the strings the values point at
    std::vector<std::vector<BYTE>> blobs;
    std::vector<SPropValue> values;
    void Text(ULONG tag, std::u16string s) {
        texts.push_back(std::move(s));
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.lpszW = texts.back().data();
        values.push_back(v);
    }
    void Time(ULONG tag, FILETIME ft) {
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.ft = ft;
        values.push_back(v);
    }
    void Bin(ULONG tag, std::vector<BYTE> b) {
        blobs.push_back(std::move(b));
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.bin = {static_cast<ULONG>(blobs.back().size()), blobs.back().data()};
        values.push_back(v);
    }
    void Missing(ULONG tag) {
        SPropValue v{};
        v.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
        v.Value.err = MAPI_E_NOT_FOUND;
        values.push_back(v);
    }
};

// The document of a row, and the PIMID it gave.
std::string Document(Row& row, std::string& pimid, const TimeZoneSource& zone = FixedZone(0)) {
    CXMLParser parser;
    EXPECT_TRUE(parser.Init());
    parser.CreateHeader();
    parser.CreateRoot("Contact");
    AppendContactRowXml(parser, pimid, row.values.data(), static_cast<ULONG>(row.values.size()), zone);
    return parser.GetXML();
}

const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Contact>";

TEST(ContactRowXml, ElementsFollowTheValuesAndMissingValuesAddNothing) {
    Row row;
    row.Bin(PR_ENTRYID, {0x00, 0xAB, 0x10});
    row.Missing(PR_LONGTERM_ENTRYID_FROM_TABLE);
    row.Time(PR_CREATION_TIME, Utc(2012, 5, 1, 13, 45));
    row.Time(PR_LAST_MODIFICATION_TIME, Utc(2012, 5, 2, 8, 0));
    row.Text(PR_SURNAME_W, u"Lovelace");
    row.Missing(PR_MIDDLE_NAME_W);
    row.Text(PR_BUSINESS_TELEPHONE_NUMBER_W, u"+44 1");
    row.Text(PR_MOBILE_TELEPHONE_NUMBER_W, u"07");
    row.Text(PR_PAGER_TELEPHONE_NUMBER_W, u"p");
    row.Text(PR_PRIMARY_FAX_NUMBER_W, u"f");
    row.Text(PR_GENERATION_W, u"Jr.");
    row.Text(PR_DISPLAY_NAME_PREFIX_W, u"Lady");
    row.Time(PR_WEDDING_ANNIVERSARY, Utc(1835, 7, 8, 0, 0));
    row.Time(PR_BIRTHDAY, Utc(1815, 12, 10, 0, 0));
    row.Text(PR_SUBJECT_W, u"not a contact column");
    std::string pimid;
    EXPECT_EQ(
        Document(row, pimid),
        kHead +
            "\n\t<CreateTime>2012/05/01 13:45:00</CreateTime>"
            "\n\t<lastModifiedTime>2012/05/02 08:00:00</lastModifiedTime>"
            "\n\t<LastName>Lovelace</LastName>"
            "\n\t<BusinessNumber>+44 1</BusinessNumber>\n\t<Mobile1>07</Mobile1>\n\t<Pager1>p</Pager1>"
            "\n\t<OtherFax>f</OtherFax>\n\t<SuffixName>Jr.</SuffixName>\n\t<PrefixName>Lady</PrefixName>"
            "\n\t<Anniversary>1835-07-08</Anniversary>\n\t<Birthday>1815-12-10</Birthday></Contact>\n");
    EXPECT_EQ(pimid, "00AB10");
}

TEST(ContactRowXml, TheLaterEntryIdOfTheRowIsThePimid) {
    for (bool longTermLast : {true, false}) {
        Row row;
        if (longTermLast) row.Bin(PR_ENTRYID, {0x01});
        row.Bin(PR_LONGTERM_ENTRYID_FROM_TABLE, {0xFE, 0x02});
        if (!longTermLast) row.Bin(PR_ENTRYID, {0x01});
        std::string pimid = "stale";
        Document(row, pimid);
        EXPECT_EQ(pimid, longTermLast ? "FE02" : "01");
    }
}

TEST(ContactRowXml, TimesAndDatesAreTheLocalTimeOfTheMachine) {
    const struct {
        int minutesEast;
        const char* created;
        const char* birthday;
    } cases[] = {
        {0, "2020/12/31 23:30:00", "1990-06-30"},
        {120, "2021/01/01 01:30:00", "1990-07-01"},  // east of UTC: the next day
        {-300, "2020/12/31 18:30:00", "1990-06-30"},
    };
    for (const auto& c : cases) {
        Row row;
        row.Time(PR_CREATION_TIME, Utc(2020, 12, 31, 23, 30));
        row.Time(PR_BIRTHDAY, Utc(1990, 6, 30, 23, 0));
        std::string pimid;
        const std::string doc = Document(row, pimid, FixedZone(c.minutesEast));
        EXPECT_EQ(doc, kHead + "\n\t<CreateTime>" + c.created + "</CreateTime>\n\t<Birthday>" + c.birthday +
                           "</Birthday></Contact>\n")
            << c.minutesEast;
    }
}

TEST(ContactRowXml, TextTheDocumentCannotCarryBecomesReplacementCharacters) {
    const struct {
        std::u16string stored;
        std::string sent;
    } cases[] = {
        {u"\U0001F600 ok", "\xF0\x9F\x98\x80 ok"},  // beyond the BMP: kept
        {std::u16string(u"a") + char16_t(0xD800) + u"b",
         "a\xEF\xBF\xBD"
         "b"},                                                  // lone high surrogate
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},  // lone low surrogate
        {u"x\x01y\x1Fz", "x\xEF\xBF\xBDy\xEF\xBF\xBDz"},        // control characters
        {u"tab\tline\nend", "tab\tline\nend"},
        {u"<&>", "&lt;&amp;&gt;"},
    };
    for (const auto& c : cases) {
        Row row;
        row.Text(PR_NICKNAME_W, c.stored);
        std::string pimid;
        EXPECT_EQ(Document(row, pimid), kHead + "\n\t<NickName>" + c.sent + "</NickName></Contact>\n");
    }
}

TEST(ContactFields, IMServiceComesFromAPrefixInAnyCase) {
    const struct {
        const char* stored;
        const char* address;
        int32_t service;
    } cases[] = {
        {"skype:abc", "abc", 4026},
        {"abc", "abc", 4022},
        {"xyz:abc", "xyz:abc", 4022},
        {"AIM:a", "a", 4023},
        {"WindowsLive:w", "w", 4024},
        {"yahoo:", "", 4025},
        {"QQ:1:2", "1:2", 4027},
        {"gtalk:g", "g", 4028},
        {"ICQ:9", "9", 4029},
        {"jabber:j@x", "j@x", 4030},
        {":x", ":x", 4022},
        {"", "", 4022},
        {"skype abc:d", "skype abc:d", 4022},
    };
    for (const auto& c : cases) {
        std::string text = c.stored;
        EXPECT_EQ(SplitIMAddress(text), c.service) << c.stored;
        EXPECT_EQ(text, c.address) << c.stored;
    }
}

TEST(ContactFields, EveryIdAndEveryInboundNameIsUnique) {
    std::vector<int32_t> ids;
    std::vector<std::string> received;
    for (const ContactField& f : ContactFields()) {
        EXPECT_EQ(FindContactField(f.id), &f);
        for (int32_t id : ids) EXPECT_NE(id, f.id);
        ids.push_back(f.id);
        if (f.received == nullptr) continue;
        for (const auto& r : received) EXPECT_NE(r, f.received);
        received.push_back(f.received);
    }
    EXPECT_EQ(FindContactField(9999), nullptr);
}

}  // namespace
