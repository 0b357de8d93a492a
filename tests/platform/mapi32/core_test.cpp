// The runtime's internal codecs, where outside bytes arrive: entry ids, the stored property
// blob and caller values.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/mapi32/EntryId.h"
#include "platform/mapi32/Props.h"

namespace nx::mapi32 {
namespace {

const Uid kStore = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(EntryIdTest, ParsesOnlyWellFormedIds) {
    std::string folder = MakeObjectEntryId(kStore, kEidFolder, 42);
    std::string shortTerm = MakeObjectEntryId(kStore, kEidMessage, 7, true);
    auto with = [](std::string id, std::size_t at, char c) {
        id[at] = c;
        return id;
    };
    struct Case {
        const char* name;
        std::string id;
        HRESULT hr;
    } cases[] = {
        {"folder", folder, S_OK},
        {"short-term message", shortTerm, S_OK},
        {"empty", "", MAPI_E_INVALID_ENTRYID},
        {"one byte short", folder.substr(0, 29), MAPI_E_INVALID_ENTRYID},
        {"one byte long", folder + "x", MAPI_E_INVALID_ENTRYID},
        {"other flag bit", with(folder, 0, 0x40), MAPI_E_INVALID_ENTRYID},
        {"flag byte 3", with(folder, 3, 1), MAPI_E_INVALID_ENTRYID},
        {"store type", with(folder, 20, 3), MAPI_E_INVALID_ENTRYID},
        {"zero key", MakeObjectEntryId(kStore, kEidFolder, 0), MAPI_E_INVALID_ENTRYID},
        {"negative key", MakeObjectEntryId(kStore, kEidMessage, -5), MAPI_E_INVALID_ENTRYID},
        {"store id", MakeStoreEntryId(kStore), MAPI_E_INVALID_ENTRYID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ObjectEntryId id;
        EXPECT_EQ(ParseObjectEntryId(c.id.data(), c.id.size(), id), c.hr);
    }
    ObjectEntryId id;
    ASSERT_EQ(ParseObjectEntryId(shortTerm.data(), shortTerm.size(), id), S_OK);
    EXPECT_EQ(id.store, kStore);
    EXPECT_EQ(id.type, kEidMessage);
    EXPECT_EQ(id.key, 7);
    EXPECT_TRUE(id.shortTerm);
    EXPECT_EQ(ParseObjectEntryId(nullptr, 30, id), MAPI_E_INVALID_ENTRYID);

    Uid uid{};
    std::string store = MakeStoreEntryId(kStore);
    EXPECT_EQ(ParseStoreEntryId(store.data(), store.size(), uid), S_OK);
    EXPECT_EQ(uid, kStore);
    EXPECT_EQ(ParseStoreEntryId(folder.data(), folder.size(), uid), MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(ParseStoreEntryId(with(store, 5, 0).data(), store.size(), uid), MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(ToHex(std::string("\x00\xAB\x7F", 3)), "00AB7F");
}

std::string U32(std::uint32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}
std::string Rec(ULONG tag, const std::string& payload) {
    return U32(tag) + U32(static_cast<ULONG>(payload.size())) + payload;
}
std::string Blob(std::uint32_t count, const std::string& records) {
    return "NXP1" + U32(count) + records;
}

TEST(PropBlobTest, RejectsEveryMalformedShape) {
    std::string longOk = Rec(PR_PRIORITY, U32(5));
    std::string text = Rec(PR_SUBJECT_W, std::string("a\0b\0", 4));
    std::uint64_t huge = kMaxValueSize + 1;
    std::string outOfLineHuge =
        U32(PR_BODY_W) + U32(0xFFFFFFFF) + std::string(reinterpret_cast<char*>(&huge), 8);
    struct Case {
        const char* name;
        std::string blob;
        HRESULT hr;
    } cases[] = {
        {"empty blob", Blob(0, ""), S_OK},
        {"two records", Blob(2, longOk + text), S_OK},
        {"no magic", "NXP2" + U32(0), MAPI_E_CORRUPT_DATA},
        {"short header", "NXP", MAPI_E_CORRUPT_DATA},
        {"count larger than the bytes", Blob(1000000, longOk), MAPI_E_CORRUPT_DATA},
        {"truncated payload", Blob(1, longOk.substr(0, 10)), MAPI_E_CORRUPT_DATA},
        {"trailing bytes", Blob(1, longOk + "x"), MAPI_E_CORRUPT_DATA},
        {"ids out of order", Blob(2, text + longOk), MAPI_E_CORRUPT_DATA},
        {"same id twice", Blob(2, longOk + longOk), MAPI_E_CORRUPT_DATA},
        {"property id 0", Blob(1, Rec(PROP_TAG(PT_LONG, 0), U32(1))), MAPI_E_CORRUPT_DATA},
        {"unknown type", Blob(1, Rec(PROP_TAG(0x0099, 0x6600), "")), MAPI_E_CORRUPT_DATA},
        {"stored error value", Blob(1, Rec(PROP_TAG(PT_ERROR, 0x6600), U32(0))), MAPI_E_CORRUPT_DATA},
        {"stored 8-bit text", Blob(1, Rec(PR_SUBJECT_A, "abc")), MAPI_E_CORRUPT_DATA},
        {"long of 3 bytes", Blob(1, Rec(PR_PRIORITY, "abc")), MAPI_E_CORRUPT_DATA},
        {"odd text length", Blob(1, Rec(PR_SUBJECT_W, "abc")), MAPI_E_CORRUPT_DATA},
        {"boolean 2", Blob(1, Rec(PR_HASATTACH, std::string("\x02\x00", 2))), MAPI_E_CORRUPT_DATA},
        {"multi-value count too big", Blob(1, Rec(PROP_TAG(PT_MV_LONG, 0x6600), U32(3) + U32(1))),
         MAPI_E_CORRUPT_DATA},
        {"multi-value element cut", Blob(1, Rec(PROP_TAG(PT_MV_BINARY, 0x6600), U32(1) + U32(9) + "abc")),
         MAPI_E_CORRUPT_DATA},
        {"out-of-line too large", Blob(1, outOfLineHuge), MAPI_E_CORRUPT_DATA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PropRef> refs;
        EXPECT_EQ(ParseBlob(c.blob, refs), c.hr);
        PropMap props;
        EXPECT_EQ(DecodeBlob(c.blob, props), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(EncodeBlob(props), c.blob);
        }
    }
}

TEST(PropBlobTest, LargeValuesAreWrittenAsMarkers) {
    PropMap props;
    props[PROP_ID(PR_BODY_W)] = {PT_UNICODE, std::string(kInlineLimit + 2, 'x')};
    props[PROP_ID(PR_PRIORITY)] = {PT_LONG, PayloadLong(3)};
    std::vector<PropRef> refs;
    std::string blob = EncodeBlob(props);
    ASSERT_EQ(ParseBlob(blob, refs), S_OK);
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_TRUE(refs[1].outOfLine);
    EXPECT_EQ(refs[1].size, kInlineLimit + 2);
    EXPECT_LT(blob.size(), 64u);
}

TEST(CallerValueTest, RefusesValuesThatCannotBeStored) {
    SPropValue v{};
    struct Case {
        ULONG tag;
        HRESULT hr;
    } cases[] = {
        {PR_SUBJECT_W, MAPI_E_BAD_VALUE},  // null text
        {PR_SUBJECT_A, MAPI_E_BAD_VALUE},  // null text
        {PROP_TAG(PT_CLSID, 0x6600), MAPI_E_BAD_VALUE},
        {PROP_TAG(PT_ERROR, 0x6600), MAPI_E_INVALID_TYPE},
        {PROP_TAG(PT_OBJECT, 0x6600), MAPI_E_INVALID_TYPE},
        {PROP_TAG(0x0777, 0x6600), MAPI_E_INVALID_TYPE},
    };
    for (const auto& c : cases) {
        v.ulPropTag = c.tag;
        std::memset(&v.Value, 0, sizeof v.Value);
        try {
            FromSPropValue(v);
            ADD_FAILURE() << std::hex << c.tag << " accepted";
        } catch (const MapiError& e) {
            EXPECT_EQ(e.hr(), c.hr) << std::hex << c.tag;
        }
    }
    v.ulPropTag = PROP_TAG(PT_MV_UNICODE, 0x6600);
    v.Value.MVszW = {2, nullptr};
    EXPECT_THROW(FromSPropValue(v), MapiError);
    v.ulPropTag = PR_ATTACH_DATA_BIN;
    v.Value.bin = {0, nullptr};  // an empty binary is a value
    EXPECT_EQ(FromSPropValue(v).payload, "");
}

}  // namespace
}  // namespace nx::mapi32
