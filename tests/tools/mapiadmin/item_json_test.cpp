// The JSON item format of mapiadmin: values of every type read to the exact model value, the
// writer's output reads back to the same item, and bad input fails with a message that names the
// element (or the line and column of a syntax error).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/PropNames.h"

using namespace nx::mapiadmin;

namespace {

Prop One(const std::string& entry) {
    const Item item = ItemFromJson("{\"properties\": [" + entry + "]}");
    EXPECT_EQ(item.props.size(), 1u);
    return item.props.empty() ? Prop{} : item.props[0];
}

std::string ErrorOf(const std::string& text) {
    try {
        ItemFromJson(text);
    } catch (const InputError& e) {
        return e.what();
    }
    return "(no error)";
}

struct ValueCase {
    const char* entry;
    std::uint32_t tag;
    Scalar value;
};

TEST(ItemJson, ReadsEachTypeToItsExactValue) {
    const ValueCase cases[] = {
        {R"({"tag": "PR_GENDER", "value": -2})", 0x3A4D0002, std::int64_t{-2}},
        {R"({"tag": "0x12340002", "value": "0xFFFF"})", 0x12340002, std::int64_t{-1}},
        {R"({"tag": "PR_IMPORTANCE", "value": 2})", 0x00170003, std::int64_t{2}},
        {R"({"tag": "PR_MESSAGE_FLAGS", "value": 4294967295})", 0x0E070003, std::int64_t{-1}},
        {R"({"tag": "PR_SEND_RICH_INFO", "value": true})", 0x3A40000B, std::int64_t{1}},
        // Times the store would stamp may be given explicitly.
        {R"({"tag": "PR_LAST_MODIFICATION_TIME", "value": "2020-01-01"})", 0x30080040,
         std::int64_t{132223104000000000}},
        {R"({"tag": "0x1234000B", "value": 7})", 0x1234000B, std::int64_t{7}},
        {R"({"tag": "0x12340014", "value": -9223372036854775808})", 0x12340014, INT64_MIN},
        {R"({"tag": "0x12340014", "value": 18446744073709551615})", 0x12340014, std::int64_t{-1}},
        {R"({"tag": "0x12340006", "value": 123456})", 0x12340006, std::int64_t{123456}},
        {R"({"tag": "0x12340005", "value": 0.1})", 0x12340005, 0.1},
        {R"({"tag": "0x12340004", "value": 0.1})", 0x12340004, static_cast<double>(0.1f)},
        {R"({"tag": "0x12340007", "value": "-Infinity"})", 0x12340007, -INFINITY},
        {R"({"tag": "PR_BIRTHDAY", "value": "1975-06-30T00:00:00Z"})", 0x3A420040,
         std::int64_t{118177920000000000}},
        {R"({"tag": "PR_BIRTHDAY", "value": "1601-01-01"})", 0x3A420040, std::int64_t{0}},
        {R"({"tag": "PR_BIRTHDAY", "value": "2024-02-29T23:59:59.9999999Z"})", 0x3A420040,
         std::int64_t{133537247999999999}},
        {R"({"tag": "PR_BIRTHDAY", "value": 18446744073709551615})", 0x3A420040, std::int64_t{-1}},
        {R"({"tag": "PR_SUBJECT_A", "value": "caf\u00e9"})", 0x0037001E, std::string("caf\xC3\xA9")},
        {R"({"tag": "PR_SUBJECT_A", "hex": "FF00"})", 0x0037001E, std::string("\xFF\0", 2)},
        {R"({"tag": "PR_SUBJECT_W", "value": "a\ud83d\ude00b"})", 0x0037001F,
         std::u16string(u"a\U0001F600b")},
        {R"({"tag": "PR_SUBJECT", "value": "x\udc00y\ud800"})", 0x0037001F,
         std::u16string({u'x', char16_t(0xDC00), u'y', char16_t(0xD800)})},
        {R"({"tag": "PR_SUBJECT", "value": "\ufdd0\uE000"})", 0x0037001F,
         std::u16string({char16_t(0xFDD0), char16_t(0xE000)})},
        {R"({"tag": "PR_ENTRYID", "value": "00ff10"})", 0x0FFF0102, std::string("\x00\xFF\x10", 3)},
        {R"({"tag": "0x12340048", "value": "{00062004-0000-0000-C000-000000000046}"})", 0x12340048,
         Guid{0x00062004, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        // PR_ENTRYID is computed, so read it where a dump puts it.
        const std::string text = c.tag == 0x0FFF0102 ? std::string("{\"computed\": [") + c.entry + "]}"
                                                     : std::string("{\"properties\": [") + c.entry + "]}";
        const Item item = ItemFromJson(text);
        const Prop& p = c.tag == 0x0FFF0102 ? item.computed.at(0) : item.props.at(0);
        EXPECT_EQ(p.tag, c.tag);
        ASSERT_EQ(p.values.size(), 1u);
        EXPECT_EQ(p.values[0], c.value);
    }
}

TEST(ItemJson, ReadsNamedPropertiesAndMultiValues) {
    const Prop byAlias = One(R"({"named": "PidLidEmail1EmailAddress", "value": "a@b"})");
    ASSERT_TRUE(byAlias.named);
    EXPECT_EQ(byAlias.named->id, 0x8083u);
    EXPECT_EQ(byAlias.named->set, *SetFromName("{00062004-0000-0000-C000-000000000046}"));
    EXPECT_EQ(byAlias.tag, 0x0000001Fu);

    const Prop byId =
        One(R"({"set": "PSETID_Address", "id": "0x8083", "type": "PT_UNICODE", "value": "a@b"})");
    EXPECT_EQ(byId, byAlias);

    const Prop byName = One(
        R"({"set": "{00020329-0000-0000-c000-000000000046}", "name": "Keywords", "type": "PT_MV_UNICODE",
            "value": ["x", "\udfff"]})");
    ASSERT_TRUE(byName.named);
    EXPECT_TRUE(byName.named->isString);
    EXPECT_EQ(byName.named->name, u"Keywords");
    EXPECT_EQ(byName.values,
              (std::vector<Scalar>{std::u16string(u"x"), std::u16string(1, char16_t(0xDFFF))}));
    EXPECT_EQ(byName, One(R"({"named": "PidNameKeywords", "value": ["x", "\udfff"]})"));

    const Prop mvEmpty = One(R"({"tag": "0x12341003", "value": []})");
    EXPECT_TRUE(mvEmpty.values.empty());
    const Prop mvBin = One(R"({"named": "PidLidDistributionListMembers", "value": ["", "0A0b"]})");
    EXPECT_EQ(mvBin.values, (std::vector<Scalar>{std::string(), std::string("\x0A\x0B")}));
}

TEST(ItemJson, DumpReadsBackToTheSameItem) {
    Item item;
    auto add = [](std::vector<Prop>& to, std::uint32_t tag, std::vector<Scalar> v) {
        Prop p;
        p.tag = tag;
        p.values = std::move(v);
        to.push_back(std::move(p));
    };
    add(item.props, 0x00370002, {std::int64_t{-32768}});
    add(item.props, 0x00380003, {std::int64_t{INT32_MIN}});
    add(item.props, 0x0039000B, {std::int64_t{0}});
    add(item.props, 0x003A000B, {std::int64_t{2}});
    add(item.props, 0x003B0014, {std::int64_t{INT64_MAX}});
    add(item.props, 0x003C0005, {-0.0});
    add(item.props, 0x003D0004, {static_cast<double>(1.5e-40f)});
    add(item.props, 0x003E0040, {std::int64_t{-1}});                  // beyond year 9999: a number
    add(item.props, 0x003F0040, {std::int64_t{130000000000000001}});  // 100 ns precision
    add(item.props, 0x0040001E, {std::string("\xED\xA0\x80\xC3")});   // not text: hex
    add(item.props, 0x0041001E, {std::string("plain \xEF\xB7\x90")});
    add(item.props, 0x0042001F, {std::u16string({char16_t(0xD800), char16_t(0xFDD0), char16_t(0xDC00)})});
    add(item.props, 0x00430102, {std::string()});
    add(item.props, 0x0044101E, {std::string("a"), std::string("\xFF")});
    add(item.props, 0x00451040, {std::int64_t{0}, std::int64_t{-1}});
    add(item.props, 0x00461048, {Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}});
    Prop named;
    named.tag = 0x0000001F;
    named.named = NamedId{Guid{0xDEADBEEF, 1, 2, {3}}, true, 0, std::u16string({u'n', char16_t(0xDC01)})};
    named.values = {std::u16string(u"v")};
    item.props.push_back(named);
    Attachment att;
    add(att.props, 0x7FFF000B, {std::int64_t{1}});
    add(att.props, 0x37010102, {std::string(70000, '\x5A')});
    add(att.computed, 0x0E210003, {std::int64_t{0}});
    Prop removed;
    removed.tag = 0x1000001F;
    removed.remove = true;
    item.props.push_back(removed);
    item.attachments.push_back(att);
    item.attachments.push_back(Attachment{});
    Attachment embeds;
    embeds.embedded.emplace();
    add(embeds.embedded->props, 0x0037001F, {std::u16string(u"inner")});
    add(embeds.embedded->computed, 0x0FFE0003, {std::int64_t{5}});
    item.attachments.push_back(embeds);

    const std::string text = ItemToJson(item);
    EXPECT_EQ(ItemFromJson(text), item) << text;
    // Unpaired surrogates are written as escapes, a literal U+FDD0 as itself.
    EXPECT_NE(text.find("\"\\uD800\xEF\xB7\x90\\uDC00\""), std::string::npos) << text;
}

TEST(ItemJson, ExternalizedBinariesAreReadBackFromTheirFiles) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("mapiadmin_json_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Item item;
    Prop data;
    data.tag = 0x37010102;
    data.values = {std::string("\x00\x01\x02photo", 8)};
    Attachment att;
    att.props.push_back(data);
    item.attachments.push_back(att);
    DumpOptions opts;
    opts.externalize = [&](const Prop&, int attachment,
                           std::string_view bytes) -> std::optional<std::string> {
        EXPECT_EQ(attachment, 0);
        std::ofstream(dir / "a0.bin", std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return "a0.bin";
    };
    const std::string text = ItemToJson(item, opts);
    Item back = ItemFromJson(text);
    ASSERT_TRUE(back.attachments.at(0).props.at(0).file);
    LoadFileValues(back, dir);
    EXPECT_EQ(back, item);

    Item missing = ItemFromJson(R"({"properties": [{"tag": "PR_BODY_W", "file": "nope.txt"}]})");
    try {
        LoadFileValues(missing, dir);
        ADD_FAILURE() << "a missing file loaded";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("properties[0].file: cannot read"), std::string::npos)
            << e.what();
    }
    std::filesystem::remove_all(dir);
}

TEST(ItemJson, BadInputNamesTheElementOrPosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\n  \"properties\": [\n    {\"tag\": 1,}\n", "line 3, column 15"},
        {"[1]", "must be a JSON object"},
        {R"({"propertys": []})", "item: unknown key \"propertys\""},
        {R"({"properties": {}})", "properties: expected an array"},
        {R"({"properties": [{"tag": "PR_NOPE", "value": 1}]})",
         "properties[0].tag: unknown property \"PR_NOPE\""},
        {R"({"properties": [{"tag": "PR_SUBJECT_W"}]})", "needs exactly one of \"value\""},
        {R"({"properties": [{"tag": "PR_SUBJECT_W", "value": "a", "hex": "00"}]})", "needs exactly one of"},
        {R"({"properties": [{"tag": "PR_SUBJECT_W", "vlaue": "a"}]})",
         "properties[0]: unknown key \"vlaue\""},
        {R"({"properties": [{"tag": "PR_GENDER", "value": 70000}]})",
         "properties[0].value: 70000 is out of range"},
        {R"({"properties": [{"tag": "PR_IMPORTANCE", "value": "2"}]})",
         "properties[0].value: expected an integer"},
        {R"({"properties": [{"tag": "PR_IMPORTANCE", "value": 1.5}]})", "expected an integer for PT_LONG"},
        {R"({"properties": [{"tag": "0x12340004", "value": 1e300}]})", "out of range for PT_R4"},
        {R"({"properties": [{"tag": "PR_IMPORTANCE", "value": 1E400}]})", "number overflow parsing '1E400'"},
        {R"({"properties": [{"tag": "PR_BIRTHDAY", "value": "2023-02-29"}]})", "is not a UTC time"},
        {R"({"properties": [{"tag": "PR_BIRTHDAY", "value": "2023-01-01T00:00:00+01:00"}]})",
         "is not a UTC time"},
        {R"({"properties": [{"tag": "PR_ENTRYID", "value": "00"}]})", "set by the store itself"},
        {R"({"properties": [{"tag": "0x8001001F", "value": "a"}]})", "named properties"},
        {R"({"properties": [{"tag": "0x0037001F", "type": "PT_LONG", "value": 1}]})", "contradicts"},
        {R"({"properties": [{"tag": "0x00370000", "value": 1}]})", "needs a \"type\""},
        {R"({"properties": [{"tag": "0x0037000D", "value": 1}]})", "cannot be stored"},
        {R"({"properties": [{"tag": "0x1037100B", "value": [true]}]})", "cannot be stored"},
        {R"({"properties": [{"tag": "PR_SUBJECT_W", "hex": "00"}]})", "\"hex\" is for"},
        {R"({"properties": [{"tag": "PR_IMPORTANCE", "file": "x"}]})", "\"file\" is for"},
        {R"({"properties": [{"tag": "0x00370102", "value": "0G"}]})", "not hex text"},
        {R"({"properties": [{"set": "PSETID_Nope", "id": 1, "type": "PT_LONG", "value": 1}]})",
         "unknown property set"},
        {R"({"properties": [{"set": "PSETID_Address", "type": "PT_LONG", "value": 1}]})",
         "exactly one of \"id\" or \"name\""},
        {R"({"properties": [{"set": "PSETID_Address", "id": 1, "value": 1}]})", "needs a \"type\""},
        {R"({"properties": [{"set": "PSETID_Address", "name": "", "type": "PT_LONG", "value": 1}]})",
         "the name is empty"},
        {R"({"properties": [{"named": "PidLidNope", "value": 1}]})", "unknown named property"},
        {R"({"properties": [{"named": "PidLidFileUnder", "type": "PT_LONG", "value": 1}]})", "contradicts"},
        {R"({"properties": [{"tag": "PR_SUBJECT_W", "named": "PidLidFileUnder", "value": "a"}]})",
         "exactly one of \"tag\""},
        {R"({"properties": [{"tag": "0x12341003", "value": [1, "x"]}]})",
         "properties[0].value[1]: expected an integer"},
        {R"({"attachments": [{"properties": [{"tag": "PR_ATTACH_NUM", "value": 0}]}]})",
         "attachments[0].properties[0]: PR_ATTACH_NUM is set by the store"},
        {R"({"attachments": [1]})", "attachments[0]: expected an object"},
        {R"({"properties": [{"tag": "PR_BODY_W", "delete": false}]})", "properties[0].delete: expected true"},
        {R"({"properties": [{"tag": "PR_BODY_W", "delete": true, "value": "x"}]})", "needs exactly one of"},
        {"{\"properties\": [{\"tag\": \"PR_SUBJECT_W\", \"value\": \"\\ud800\\uZZZZ\"}]}", "line 1, column"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = ErrorOf(text);
        EXPECT_NE(error.find(expected), std::string::npos) << text << "\n  gave: " << error;
    }
}

TEST(ItemJson, AnArrayHoldsSeveralItemsAndErrorsNameTheItem) {
    bool array = false;
    const auto items =
        ItemsFromJson(R"([{"properties": [{"tag": "PR_SUBJECT_W", "value": "a"}]}, {}])", &array);
    EXPECT_TRUE(array);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].props.size(), 1u);
    EXPECT_TRUE(items[1].props.empty());
    EXPECT_EQ(ItemsFromJson("{}", &array).size(), 1u);
    EXPECT_FALSE(array);
    try {
        ItemsFromJson(R"([{}, {"properties": [{"tag": "PR_IMPORTANCE", "value": "x"}]}])");
        ADD_FAILURE() << "a bad second item was accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("[1].properties[0].value: expected an integer"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(ItemsFromJson("[1]"), InputError);
}

TEST(ItemJson, SyntaxErrorPositionsCountTheOriginalText) {
    // A literal U+FDD0 is doubled internally; the position must still be that of the user's text.
    const std::string error = ErrorOf(
        "{\"properties\": [{\"tag\": \"PR_SUBJECT_W\", \"value\": \"\xEF\xB7\x90\xEF\xB7\x90\"}\n, ]}");
    EXPECT_NE(error.find("line 2, column 3"), std::string::npos) << error;
    // Comments are allowed and a quote inside one starts no string.
    EXPECT_NO_THROW(ItemFromJson("// a \"quoted\" comment\n{ /* \" */ \"properties\": []}"));
}

TEST(PropNames, NamesAndTagsMapBothWays) {
    EXPECT_EQ(TagFromName("PR_SUBJECT_W"), 0x0037001Fu);
    EXPECT_EQ(TagFromName("PR_SUBJECT"), 0x0037001Fu);
    EXPECT_EQ(TagFromName("PR_SUBJECT_A"), 0x0037001Eu);
    EXPECT_EQ(TagFromName("PR_SUBJECT_PREFIX_W"), 0x003D001Fu);
    EXPECT_EQ(TagFromName("PR_CHILDRENS_NAMES_W"), 0x3A58101Fu);
    EXPECT_EQ(TagFromName("PR_ATTACHMENT_CONTACTPHOTO"), 0x7FFF000Bu);
    EXPECT_EQ(TagFromName("PR_ENTRYID_W"), std::nullopt);
    EXPECT_EQ(NameFromTag(0x3A27001F), "PR_BUSINESS_ADDRESS_CITY_W");
    EXPECT_EQ(NameFromTag(0x3A270003), std::nullopt);
    EXPECT_EQ(TypeFromName("PT_MV_UNICODE"), 0x101F);
    EXPECT_EQ(TypeFromName("PT_R8"), 0x0005);
    EXPECT_EQ(TypeFromName("0x001f"), 0x001F);
    EXPECT_EQ(TypeFromName("PT_MV_NOPE"), std::nullopt);
    EXPECT_EQ(TypeName(0x1102), "PT_MV_BINARY");
    EXPECT_EQ(TypeName(0x0999), "0x0999");
    EXPECT_EQ(SetName(*SetFromName("PSETID_Appointment")), "PSETID_Appointment");
    EXPECT_EQ(FormatGuid(*SetFromName("PS_PUBLIC_STRINGS")), "{00020329-0000-0000-C000-000000000046}");
    for (const char* alias : {"PidLidAppointmentRecur", "PidLidHasPicture", "PidNameKeywords"}) {
        const auto n = NamedFromAlias(alias);
        ASSERT_TRUE(n) << alias;
        EXPECT_EQ(AliasFromNamed(n->name, n->type), alias);
    }
}

TEST(ItemModel, IsoTimesRoundTripAtTheEdgesOfTheirRange) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "1601-01-01T00:00:00Z"},
        {1, "1601-01-01T00:00:00.0000001Z"},
        {116444736000000000, "1970-01-01T00:00:00Z"},
        {2650467743999999999, "9999-12-31T23:59:59.9999999Z"},
    };
    for (const auto& [ticks, text] : cases) {
        EXPECT_EQ(FormatIsoUtc(ticks), text);
        EXPECT_EQ(ParseIsoUtc(text), ticks);
    }
    EXPECT_EQ(FormatIsoUtc(2650467744000000000), std::nullopt);
    for (const char* bad : {"1600-12-31", "2024-13-01", "2024-01-01T24:00:00Z", "2024-01-01T00:00:00.Z",
                            "2024-01-01T00:00:00.12345678Z", "2024-01-01T00:00:00", "2024-1-01"})
        EXPECT_EQ(ParseIsoUtc(bad), std::nullopt) << bad;
}

}  // namespace
