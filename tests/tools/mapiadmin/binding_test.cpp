// The bridge between mapiadmin's item model and SPropValue, and the folder-argument syntax.
#include <gtest/gtest.h>

#include <cmath>

#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/MapiBinding.h"
#include "tools/mapiadmin/StoreObjects.h"

using namespace nx::mapiadmin;

namespace {

TEST(MapiBinding, EveryTypeSurvivesTheTripThroughSPropValue) {
    const Item item = ItemFromJson(R"({"properties": [
        {"tag": "0x66000002", "value": -32768},
        {"tag": "0x66010003", "value": 4294967295},
        {"tag": "0x66020004", "value": 0.25},
        {"tag": "0x66030005", "value": -1e-300},
        {"tag": "0x66040006", "value": -9223372036854775808},
        {"tag": "0x66050007", "value": 45000.5},
        {"tag": "0x6606000B", "value": 2},
        {"tag": "0x66070014", "value": 9223372036854775807},
        {"tag": "0x6608001E", "hex": "FFFE41"},
        {"tag": "0x6609001F", "value": "\ud800x\ud83d\ude00"},
        {"tag": "0x660A0040", "value": 18446744073709551615},
        {"tag": "0x660B0048", "value": "{01234567-89AB-CDEF-0123-456789ABCDEF}"},
        {"tag": "0x660C0102", "value": ""},
        {"tag": "0x660D0102", "value": "000102"},
        {"tag": "0x660E1002", "value": [1, -1]},
        {"tag": "0x660F1003", "value": [1, -1]},
        {"tag": "0x66101004", "value": [0.5]},
        {"tag": "0x66111005", "value": [0.1, 0.2]},
        {"tag": "0x66121006", "value": [5]},
        {"tag": "0x66131007", "value": [1.5]},
        {"tag": "0x66141014", "value": [-5]},
        {"tag": "0x6615101E", "value": ["a", {"hex": "FF"}]},
        {"tag": "0x6616101F", "value": ["a", "\udc00", ""]},
        {"tag": "0x66171040", "value": ["1601-01-01", 1]},
        {"tag": "0x66181048", "value": ["{00062004-0000-0000-C000-000000000046}"]},
        {"tag": "0x66191102", "value": ["", "AB"]},
        {"tag": "0x661A1003", "value": []}
    ]})");
    for (const auto& p : item.props) {
        SCOPED_TRACE(DescribeProp(p));
        PropArena arena;
        const SPropValue v = ToSPropValue(p, p.tag, arena);
        EXPECT_EQ(v.ulPropTag, p.tag);
        Prop back;
        ASSERT_TRUE(FromSPropValue(v, back));
        EXPECT_EQ(back, p);
    }
}

TEST(MapiBinding, NamedPropertiesTakeTheResolvedTagAndOtherTypesAreRefused) {
    const Prop named =
        ItemFromJson(R"({"properties": [{"named": "PidLidHasPicture", "value": true}]})").props.at(0);
    PropArena arena;
    const SPropValue v = ToSPropValue(named, 0x8123000B, arena);
    EXPECT_EQ(v.ulPropTag, 0x8123000Bu);
    EXPECT_EQ(v.Value.b, 1);

    // MAPI text ends at its NUL, so a value holding one cannot be stored.
    for (const char* json : {R"({"properties": [{"tag": "PR_SUBJECT_W", "value": "a\u0000b"}]})",
                             R"({"properties": [{"tag": "0x6615101E", "value": ["a\u0000"]}]})",
                             R"({"properties": [{"tag": "PR_CHILDRENS_NAMES_W", "value": ["\u0000"]}]})"}) {
        const Prop p = ItemFromJson(json).props.at(0);
        EXPECT_THROW(ToSPropValue(p, p.tag, arena), InputError) << json;
    }

    Prop none;
    for (ULONG tag : {0x0001000Au, 0x0001000Du, 0x00010001u, 0x0001100Bu}) {
        SPropValue e{};
        e.ulPropTag = tag;
        EXPECT_FALSE(FromSPropValue(e, none)) << std::hex << tag;
    }
}

TEST(FolderArguments, PathsSplitAndEntryIdsAreRecognised) {
    const std::pair<const char*, std::vector<std::string>> paths[] = {
        {"Personal Folders/Top/Contacts", {"Personal Folders", "Top", "Contacts"}},
        {"Store/", {"Store"}},
        {"S/a\\/b/c\\\\d", {"S", "a/b", "c\\d"}},
        {"CAFEBABE/", {"CAFEBABE"}},
    };
    for (const auto& [text, parts] : paths) EXPECT_EQ(SplitFolderPath(text), parts) << text;
    for (const char* bad : {"", "/S", "S//x", "S/x\\", "S/x\\y"})
        EXPECT_EQ(SplitFolderPath(bad), std::nullopt) << bad;

    for (const char* id : {"00000000", "0x0011AABBccdd", "DEADBEEF00"})
        EXPECT_TRUE(LooksLikeEntryId(id)) << id;
    for (const char* notId : {"CAFE", "DEADBEEF0", "Personal Folders", "00000000/", "0x", "0011223G"})
        EXPECT_FALSE(LooksLikeEntryId(notId)) << notId;
}

}  // namespace
