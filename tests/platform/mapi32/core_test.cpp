// The runtime's internal codecs, where outside bytes arrive: entry ids, the stored property
// blob and caller values; and the MAPI buffers it hands out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/mapi32/EntryId.h"
#include "platform/mapi32/Memory.h"
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

// A record of the current format built by hand: its values' tags and payloads, each entry's
// offset where the payloads before it end unless `shift` moves the i-th one, and `trailer`
// after the last payload.
struct Value2 {
    ULONG tag;
    std::string payload;
    bool outOfLine = false;  // payload: the u64 size
};
std::string Record(const std::vector<Value2>& values, std::size_t shiftAt = SIZE_MAX, int shift = 0,
                   std::uint32_t count = UINT32_MAX) {
    std::string index, payloads;
    const std::size_t head = 8 + 12 * values.size();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto offset = static_cast<std::uint32_t>(head + payloads.size() + (i == shiftAt ? shift : 0));
        const std::uint32_t length =
            values[i].outOfLine ? 0xFFFFFFFFu : static_cast<std::uint32_t>(values[i].payload.size());
        index += U32(values[i].tag) + U32(offset) + U32(length);
        payloads += values[i].payload;
    }
    return "NXP2" + U32(count == UINT32_MAX ? static_cast<std::uint32_t>(values.size()) : count) + index +
           payloads;
}

TEST(PropBlobTest, RejectsEveryMalformedRecord) {
    const Value2 priority{PR_PRIORITY, U32(5)};
    const Value2 subject{PR_SUBJECT_W, std::string("a\0b\0", 4)};
    std::uint64_t huge = kMaxValueSize + 1, big = kInlineLimit + 10;
    const Value2 body{PR_BODY_W, std::string(reinterpret_cast<char*>(&big), 8), true};
    struct Case {
        const char* name;
        std::string blob;
        HRESULT hr;
    } cases[] = {
        {"no values", Record({}), S_OK},
        {"three values, one out of line", Record({priority, subject, body}), S_OK},
        {"the first format's magic", "NXP1" + Record({priority}).substr(4), MAPI_E_CORRUPT_DATA},
        {"short header", "NXP", MAPI_E_CORRUPT_DATA},
        {"count larger than the bytes", Record({priority}, SIZE_MAX, 0, 1000000), MAPI_E_CORRUPT_DATA},
        {"index entry cut", Record({priority}).substr(0, 15), MAPI_E_CORRUPT_DATA},
        {"a gap before a payload", Record({priority, subject}, 1, 2) + "xx", MAPI_E_CORRUPT_DATA},
        {"payloads overlapping", Record({priority, subject}, 1, -2), MAPI_E_CORRUPT_DATA},
        {"truncated payload", Record({priority, subject}).substr(0, 8 + 24 + 4 + 2), MAPI_E_CORRUPT_DATA},
        {"trailing bytes", Record({priority}) + "x", MAPI_E_CORRUPT_DATA},
        {"ids out of order", Record({subject, priority}), MAPI_E_CORRUPT_DATA},
        {"same id twice", Record({priority, priority}), MAPI_E_CORRUPT_DATA},
        {"property id 0", Record({{PROP_TAG(PT_LONG, 0), U32(1)}}), MAPI_E_CORRUPT_DATA},
        {"unknown type", Record({{PROP_TAG(0x0099, 0x6600), ""}}), MAPI_E_CORRUPT_DATA},
        {"stored error value", Record({{PROP_TAG(PT_ERROR, 0x6600), U32(0)}}), MAPI_E_CORRUPT_DATA},
        {"stored 8-bit text", Record({{PR_SUBJECT_A, "abc"}}), MAPI_E_CORRUPT_DATA},
        {"long of 3 bytes", Record({{PR_PRIORITY, "abc"}}), MAPI_E_CORRUPT_DATA},
        {"odd text length", Record({{PR_SUBJECT_W, "abc"}}), MAPI_E_CORRUPT_DATA},
        {"boolean 2", Record({{PR_HASATTACH, std::string("\x02\x00", 2)}}), MAPI_E_CORRUPT_DATA},
        {"multi-value count too big", Record({{PROP_TAG(PT_MV_LONG, 0x6600), U32(3) + U32(1)}}),
         MAPI_E_CORRUPT_DATA},
        {"multi-value element cut", Record({{PROP_TAG(PT_MV_BINARY, 0x6600), U32(1) + U32(9) + "abc"}}),
         MAPI_E_CORRUPT_DATA},
        {"out-of-line too large", Record({{PR_BODY_W, std::string(reinterpret_cast<char*>(&huge), 8), true}}),
         MAPI_E_CORRUPT_DATA},
        {"out-of-line size cut", Record({{PR_BODY_W, "abcd", true}}), MAPI_E_CORRUPT_DATA},
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

// Five PT_LONG values, each holding its own id, spread over the id range.
PropMap LongsAtSampleIds() {
    PropMap props;
    for (ULONG id : {0x0017u, 0x0037u, 0x1000u, 0x3008u, 0x8005u})
        props[static_cast<std::uint16_t>(id)] = {PT_LONG, PayloadLong(static_cast<LONG>(id))};
    return props;
}

TEST(PropBlobTest, FindsEachValueByItsIdAlone) {
    const PropMap props = LongsAtSampleIds();
    const std::string blob = EncodeBlob(props);
    RecordView view;
    ASSERT_TRUE(view.Open(blob));
    ASSERT_EQ(view.Count(), 5u);
    for (const auto& [id, v] : props) {
        PropRef r{};
        ASSERT_TRUE(view.Find(id, r)) << std::hex << id;
        EXPECT_EQ(r.payload, v.payload);
    }
    for (ULONG missing : {0x0001u, 0x0020u, 0x2000u, 0x8006u, 0xFFFEu}) {
        PropRef r{};
        EXPECT_FALSE(view.Find(missing, r)) << std::hex << missing;
    }
}

// Ids asked in ascending order, each found or not by one walk: the ids present, absent ones
// before, between and after them, and an id asked twice in a row.
TEST(PropBlobTest, FindsAscendingIdsInOneWalk) {
    const PropMap props = LongsAtSampleIds();
    const std::string blob = EncodeBlob(props);
    RecordView view;
    ASSERT_TRUE(view.Open(blob));
    const struct {
        ULONG id;
        bool found;
    } asked[] = {{0x0001, false}, {0x0017, true},  {0x0020, false}, {0x0037, true},  {0x0037, true},
                 {0x1000, true},  {0x2000, false}, {0x3008, true},  {0x8006, false}, {0xFFFE, false}};
    std::size_t cursor = 0;
    for (const auto& a : asked) {
        PropRef r{};
        ASSERT_EQ(view.FindFrom(a.id, cursor, r), a.found) << std::hex << a.id;
        if (a.found) {
            EXPECT_EQ(r.payload, PayloadLong(static_cast<LONG>(a.id))) << std::hex << a.id;
        }
    }
}

// A record of the first format: per value tag, length, payload.
std::string Rec(ULONG tag, const std::string& payload) {
    return U32(tag) + U32(static_cast<ULONG>(payload.size())) + payload;
}
std::string Blob1(std::uint32_t count, const std::string& records) {
    return "NXP1" + U32(count) + records;
}

TEST(PropBlobTest, ReadsTheFirstFormatForTheUpgrade) {
    std::string longOk = Rec(PR_PRIORITY, U32(5));
    std::string text = Rec(PR_SUBJECT_W, std::string("a\0b\0", 4));
    std::uint64_t big = kInlineLimit + 10;
    std::string outOfLine = U32(PR_BODY_W) + U32(0xFFFFFFFF) + std::string(reinterpret_cast<char*>(&big), 8);
    struct Case {
        const char* name;
        std::string blob;
        HRESULT hr;
    } cases[] = {
        {"no values", Blob1(0, ""), S_OK},
        {"three values, one out of line", Blob1(3, longOk + text + outOfLine), S_OK},
        {"the current format's magic", "NXP2" + U32(0), MAPI_E_CORRUPT_DATA},
        {"count larger than the bytes", Blob1(1000000, longOk), MAPI_E_CORRUPT_DATA},
        {"truncated payload", Blob1(1, longOk.substr(0, 10)), MAPI_E_CORRUPT_DATA},
        {"trailing bytes", Blob1(1, longOk + "x"), MAPI_E_CORRUPT_DATA},
        {"ids out of order", Blob1(2, text + longOk), MAPI_E_CORRUPT_DATA},
        {"odd text length", Blob1(1, Rec(PR_SUBJECT_W, "abc")), MAPI_E_CORRUPT_DATA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PropMap props;
        ASSERT_EQ(DecodeBlobV1(c.blob, props), c.hr);
        if (c.hr != S_OK) continue;
        // What the upgrade writes holds the same values.
        PropMap again;
        ASSERT_EQ(DecodeBlob(EncodeBlob(props), again), S_OK);
        ASSERT_EQ(again.size(), props.size());
        for (const auto& [id, v] : props) {
            EXPECT_EQ(again[id].type, v.type);
            EXPECT_EQ(again[id].payload, v.payload);
            EXPECT_EQ(again[id].outOfLine, v.outOfLine);
            EXPECT_EQ(again[id].Size(), v.Size());
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

// Freed buffers are used again for the next ones of their size: each comes back zero-filled as
// a new one, whole, whether it was a root or chained to one, below and past the sizes kept for
// reuse and at the edges of a size class (a block carries a 32-byte header).
TEST(MemoryTest, BuffersUsedAgainComeBackZeroFilled) {
    const std::size_t sizes[] = {0, 1, 200, 991, 992, 1248, 1249, 4000, 65000, 70000};
    for (int round = 0; round < 2; ++round) {
        for (std::size_t cb : sizes) {
            SCOPED_TRACE(cb);
            void* root = nullptr;
            ASSERT_EQ(AllocateBuffer(static_cast<ULONG>(cb), &root), S_OK);
            void* more = nullptr;
            ASSERT_EQ(AllocateMore(static_cast<ULONG>(cb), root, &more), S_OK);
            for (void* p : {root, more}) {
                const auto* bytes = static_cast<const unsigned char*>(p);
                for (std::size_t i = 0; i < cb; ++i) ASSERT_EQ(bytes[i], 0) << i;
                std::memset(p, 0xAB, cb);  // what a next buffer must not see
            }
            EXPECT_EQ(FreeBuffer(root), static_cast<ULONG>(S_OK));
        }
    }
    DropCachedBuffers();
}

}  // namespace
}  // namespace nx::mapi32
