// The change rules and the rewrite of a snapshot into its change list, without storage.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "journal/ChangeList.h"
#include "tests/journal/Entries.h"
#include "tests/journal/JournalWorld.h"

namespace nx::test {
namespace {

using journal::ChangeDetector;
using journal::ChangeListWriter;
using journal::ItemTime;

// The detector over a snapshot after it was told the known state.
ChangeDetector Detect(CLogItemArray& snapshot, const std::vector<Entry>& known) {
    ChangeDetector d(snapshot.get()->pData, static_cast<std::size_t>(snapshot.GetSize()));
    for (const Entry& k : known) d.Known(k.id, ItemTime{k.time, k.status});
    d.Finish();
    return d;
}

TEST(ChangeRulesTest, ClassifiesEachEntryAgainstTheKnownState) {
    struct Case {
        const char* what;
        std::vector<Entry> known, snapshot;
        const char* classes;
        std::vector<std::u16string> deleted;
    } cases[] = {
        {"nothing known: all new", {}, {{u"A1", 1}, {u"B2", 1}, {u"C3", 1}}, "nnn", {}},
        {"same times: unchanged", {{u"A1", 1}, {u"B2", 2}}, {{u"B2", 2}, {u"A1", 1}}, "uu", {}},
        {"another time: changed", {{u"A1", 1}}, {{u"A1", 1.0000001}}, "c", {}},
        {"another status, same value: changed", {{u"A1", 1}}, {{u"A1", 1, NX_LOG_TIME_INVALID}}, "c", {}},
        {"NaN against NaN: unchanged", {{u"A1", kNaN}}, {{u"A1", kNaN}}, "u", {}},
        {"NaN against a value: changed", {{u"A1", kNaN}}, {{u"A1", 0}}, "c", {}},
        {"-0 against +0: unchanged", {{u"A1", -0.0}}, {{u"A1", 0.0}}, "u", {}},
        {"absent: deleted", {{u"A1", 1}, {u"B2", 1}}, {{u"B2", 1}}, "u", {u"A1"}},
        {"empty snapshot: everything deleted", {{u"A1", 1}, {u"B2", 1}}, {}, "", {u"A1", u"B2"}},
        {"case is not folded", {{u"ab", 1}}, {{u"AB", 1}}, "n", {u"ab"}},
        {"a prefix is another identifier", {{u"AB", 1}}, {{u"ABC", 1}, {u"AB", 1}}, "nu", {}},
        {"the empty text is an identifier", {{u"", 1}}, {{u"", 1}, {u"A", 1}}, "un", {}},
        {"later duplicates are dropped",
         {{u"A1", 1}},
         {{u"A1", 1}, {u"A1", 5}, {u"B2", 1}, {u"B2", 1}},
         "udnd",
         {}},
        {"the first duplicate decides", {{u"A1", 1}}, {{u"A1", 5}, {u"A1", 1}}, "cd", {}},
        {"identifiers beyond ASCII",
         {{u"\u00E91", 1}, {u"X\xD800", 1}},
         {{u"X\xD800", 1}, {u"\u00E91", 2}},
         "uc",
         {}},
        {"an ASCII text is not the wide text of its bytes", {{u"\u4241", 1}}, {{u"AB", 1}}, "n", {u"\u4241"}},
        {"a text led by U+00FF", {{u"\u00FFA", 1}}, {{u"\u00FFA", 1}, {u"\u00FF", 1}}, "un", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CLogItemArray snapshot;
        Fill(snapshot, c.snapshot);
        ChangeDetector d = Detect(snapshot, c.known);
        std::string classes;
        for (std::size_t i = 0; i < d.Size(); ++i) classes += Letter(d.At(i));
        EXPECT_EQ(classes, c.classes);
        std::vector<std::u16string> deleted;
        for (const auto& gone : d.Deleted()) deleted.push_back(gone.id);
        EXPECT_EQ(deleted, c.deleted);
    }
}

TEST(ChangeRulesTest, AnIdentifierHasOneStoredFormAndEachFormOneIdentifier) {
    const struct {
        std::u16string id;
        std::string stored;
    } forms[] = {
        {u"", ""},
        {u"00AF", std::string("\xFE\x00\xAF", 3)},
        {u"00000000ABCD", std::string("\xFE\x00\x00\x00\x00\xAB\xCD", 7)},
        {u"0AF", "0AF"},
        {u"00af", "00af"},
        {u"0G", "0G"},
        {u"\x7F\x01", "\x7F\x01"},
        {u"\u00E9", std::string("\xFF\xE9\x00", 3)},
        {u"A\u00FF", std::string("\xFF"
                                 "A\x00\xFF\x00",
                                 5)},
        {u"\xD800", std::string("\xFF\x00\xD8", 3)},
        {u"\u4241", std::string("\xFF\x41\x42", 3)},
    };
    for (const auto& f : forms) {
        EXPECT_EQ(journal::StoredId(f.id), f.stored) << f.stored;
        std::u16string back;
        EXPECT_TRUE(journal::ReadStoredId(f.stored, back)) << f.stored;
        EXPECT_EQ(back, f.id) << f.stored;
    }
    // Bytes in neither form (a damaged file).
    const std::string damaged[] = {
        std::string("A\x00", 2),                 // a zero unit
        "\x80",                                  // a byte beyond ASCII without a marker
        "0A",                                    // hex digits, an even number: the hex form's text
        "\xFE",                                  // a marker alone
        "\xFF",                                  //
        std::string("\xFF\x41\x00", 3),          // the wide marker before ASCII units only
        std::string("\xFF\xE9\x00\x41", 4),      // a half unit
        std::string("\xFF\x00\x00\xE9\x00", 5),  // a zero unit in the wide form
    };
    for (const std::string& bytes : damaged) {
        std::u16string id;
        EXPECT_FALSE(journal::ReadStoredId(bytes, id)) << bytes.size() << " bytes";
    }
}

TEST(ChangeRulesTest, UnconfirmedEntriesAreReportedAgainWhateverTheirTime) {
    constexpr int32_t N = NX_LOG_NEW, C = NX_LOG_CHANGED, D = NX_LOG_DELETED;
    struct Unconfirmed {
        std::u16string id;
        double time;
        int32_t change;
    };
    struct Case {
        const char* what;
        std::vector<Entry> known;
        std::vector<Unconfirmed> unconfirmed;
        std::vector<Entry> snapshot;
        const char* classes;
        std::vector<std::pair<std::u16string, double>> deleted;  // with the time they carry
    } cases[] = {
        {"new, present at its time: new again", {}, {{u"B", 1, N}}, {{u"B", 1}}, "a", {}},
        {"new, present at another time: new again", {}, {{u"B", 1, N}}, {{u"B", 2}}, "a", {}},
        {"new, absent: deleted", {}, {{u"B", 3, N}}, {}, "", {{u"B", 3}}},
        {"changed, present at its time: changed again", {}, {{u"A", 2, C}}, {{u"A", 2}}, "c", {}},
        {"changed, absent: deleted", {}, {{u"A", 2, C}}, {{u"Z", 1}}, "n", {{u"A", 2}}},
        {"deleted, back again: new again", {}, {{u"A", 1, D}}, {{u"A", 1}}, "a", {}},
        {"deleted, still absent: deleted again", {}, {{u"A", 4, D}}, {}, "", {{u"A", 4}}},
        {"a committed row under a present unconfirmed entry: the entry's rule",
         {{u"A", 2}, {u"B", 5}},
         {{u"A", 2, C}, {u"B", 1, N}},
         {{u"A", 2}, {u"B", 5}},
         "ca",
         {}},
        {"a committed row under an absent unconfirmed entry: one deletion, the entry's time",
         {{u"A", 9}, {u"B", 9}},
         {{u"A", 2, C}, {u"B", 3, D}},
         {},
         "",
         {{u"A", 2}, {u"B", 3}}},
        {"committed items beside them follow the usual rules",
         {{u"K", 1}, {u"L", 1}, {u"M", 1}},
         {{u"B", 1, N}, {u"C", 1, C}},
         {{u"K", 1}, {u"B", 1}, {u"L", 2}, {u"C", 1}},
         "uacc",
         {{u"M", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CLogItemArray snapshot;
        Fill(snapshot, c.snapshot);
        ChangeDetector d(snapshot.get()->pData, static_cast<std::size_t>(snapshot.GetSize()));
        // The journal's order: unconfirmed entries, then the committed rows.
        for (const Unconfirmed& u : c.unconfirmed)
            d.Unconfirmed(journal::StoredId(u.id), ItemTime{u.time, NX_LOG_TIME_VALID}, u.change);
        for (const Entry& k : c.known) d.Known(k.id, ItemTime{k.time, k.status});
        d.Finish();
        std::string classes;
        for (std::size_t i = 0; i < d.Size(); ++i) classes += Letter(d.At(i));
        EXPECT_EQ(classes, c.classes);
        std::vector<std::pair<std::u16string, double>> deleted;
        for (const auto& gone : d.Deleted()) deleted.emplace_back(gone.id, gone.time.value);
        std::sort(deleted.begin(), deleted.end());
        EXPECT_EQ(deleted, c.deleted);
        EXPECT_EQ(d.ChangeCount(), std::count_if(classes.begin(), classes.end(), [](char l) {
                                       return l == 'n' || l == 'a' || l == 'c';
                                   }) + c.deleted.size());
    }
}

// The snapshot's texts are measured and stored a block of units at a time: every form, every
// length around a block's end, and each text starting at each 2-byte offset of a 16-byte block (a
// text led by units before the first block boundary, a terminator anywhere in a block) give the
// stored form StoredId gives, and the length limit holds at every offset.
TEST(ChangeRulesTest, TheSnapshotsTextsAreStoredAsStoredIdStoresThemAtAnyAlignmentAndLength) {
    std::vector<std::u16string> texts;
    for (std::size_t length : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 30u, 31u, 32u, 33u, 88u, 89u}) {
        std::u16string hex;
        for (std::size_t n = 0; n < length; ++n) hex += u"0123456789ABCDEF"[(n * 7 + length) % 16];
        texts.push_back(hex);
        for (const char16_t odd :
             {u'a', u'G', u'/', u':', u'@', u'\x7F', u'\x80', u'\xFF', u'\u4241', u'\xD800', u'\xFFFF'})
            for (std::size_t at : {std::size_t{0}, length / 2, length ? length - 1 : 0})
                if (at < length) texts.push_back(hex.substr(0, at) + odd + hex.substr(at + 1));
    }
    for (std::size_t offset = 0; offset < 8; ++offset) {
        SCOPED_TRACE(offset);
        // Every text in one buffer at `offset` units from a 16-byte boundary.
        std::vector<std::size_t> starts;
        std::vector<char16_t> buffer;
        for (const std::u16string& t : texts) {
            buffer.resize((buffer.size() + 7) / 8 * 8 + offset);
            starts.push_back(buffer.size());
            buffer.insert(buffer.end(), t.begin(), t.end());
            buffer.push_back(0);
        }
        buffer.resize(buffer.size() + 8);
        alignas(16) static char16_t aligned[1 << 15];
        ASSERT_LE(buffer.size(), std::size(aligned));
        std::copy(buffer.begin(), buffer.end(), aligned);
        std::vector<tagLogItem> items(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) items[i].pszId = aligned + starts[i];
        journal::DetectorMemory memory;
        ChangeDetector d(items.data(), items.size(), &memory);
        ASSERT_EQ(d.BadEntry(), d.Size());
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(d.StoredIdAt(i), journal::StoredId(texts[i]))
                << i << ": " << texts[i].size() << " units";
    }
    // kMaxIdLength units are an identifier, one more is bad input, at each offset.
    std::vector<char16_t> longText(journal::kMaxIdLength + 16, u'A');
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (const std::size_t length : {journal::kMaxIdLength, journal::kMaxIdLength + 1}) {
            SCOPED_TRACE(offset * 100000 + length);
            std::fill(longText.begin(), longText.end(), u'A');
            longText[offset + length] = 0;
            tagLogItem item{};
            item.pszId = longText.data() + offset;
            ChangeDetector d(&item, 1);
            EXPECT_EQ(d.BadEntry(), length > journal::kMaxIdLength ? 0u : 1u);
        }
    }
}

// One table memory serves snapshots of growing and shrinking sizes (table sizes that are no power
// of two, probe runs that wrap past the end, slots left from a larger snapshot before). Snapshot
// of n: items 0..n-1, then the first min(n, 20) again (duplicates, some within the detector's
// look-ahead of their first entry, some beyond it); known: items n/2..n+n/2-1, odd ones at another
// time. So items below n/2 are new, the known ones below n unchanged (even) or changed (odd), the
// known ones from n on deleted.
TEST(ChangeRulesTest, OneTableMemoryServesSnapshotsOfAnySizeInTurn) {
    journal::DetectorMemory memory;
    for (const uint32_t n : {0u, 1u, 2u, 3u, 7u, 40u, 333u, 5u, 1000u, 17u, 0u, 64u}) {
        SCOPED_TRACE(n);
        CLogItemArray snapshot;
        for (uint32_t k = 0; k < n; ++k) snapshot.Add(JournalItemId(k), k, NX_LOG_TIME_VALID);
        for (uint32_t k = 0; k < std::min(n, 20u); ++k)
            snapshot.Add(JournalItemId(k), k + 0.5, NX_LOG_TIME_VALID);
        ChangeDetector d(snapshot.get()->pData, static_cast<std::size_t>(snapshot.GetSize()), &memory);
        ASSERT_EQ(d.BadEntry(), d.Size());
        for (uint32_t k = n / 2; k < n + n / 2; ++k)
            d.Known(JournalItemId(k), ItemTime{k % 2 ? k + 0.25 : k, NX_LOG_TIME_VALID});
        d.Finish();
        std::string expected, classes;
        for (uint32_t k = 0; k < n; ++k) expected += k < n / 2 ? 'n' : k % 2 ? 'c' : 'u';
        expected += std::string(std::min(n, 20u), 'd');
        for (std::size_t i = 0; i < d.Size(); ++i) classes += Letter(d.At(i));
        EXPECT_EQ(classes, expected);
        std::vector<std::u16string> deleted;
        for (const auto& gone : d.Deleted()) deleted.push_back(gone.id);
        std::vector<std::u16string> expectedDeleted;
        for (uint32_t k = n; k < n + n / 2; ++k) expectedDeleted.push_back(JournalItemId(k));
        EXPECT_EQ(deleted, expectedDeleted);
    }
}

TEST(ChangeRulesTest, TheChangeListKeepsSnapshotOrderThenAppendsDeletions) {
    struct Case {
        const char* what;
        std::vector<Entry> known, snapshot;
        std::vector<std::pair<std::u16string, int32_t>> list;
    };
    constexpr int32_t N = NX_LOG_NEW, C = NX_LOG_CHANGED, D = NX_LOG_DELETED;
    const Case cases[] = {
        {"changes and deletions fit the buffer",
         {{u"A", 1}, {u"B", 1}, {u"C", 1}, {u"D", 4}},
         {{u"C", 2}, {u"A", 1}, {u"E", 1}, {u"B", 1}},
         {{u"C", C}, {u"E", N}, {u"D", D}}},
        {"deletions beyond the capacity get a new buffer",
         {{u"A", 1}, {u"B", 1}, {u"C", 1}, {u"D", 1}, {u"E", 1}},
         {{u"F", 1}},
         {{u"F", N}, {u"A", D}, {u"B", D}, {u"C", D}, {u"D", D}, {u"E", D}}},
        {"an empty array becomes the deletions", {{u"A", 7}}, {}, {{u"A", D}}},
        {"duplicates leave the list", {}, {{u"A", 1}, {u"A", 1}, {u"B", 1}}, {{u"A", N}, {u"B", N}}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CLogItemArray a;
        a.get()->nGrowBy = 1;  // deletions past the capacity need a new buffer
        Fill(a, c.snapshot);
        ChangeDetector d = Detect(a, c.known);
        ChangeListWriter w;
        ASSERT_TRUE(w.Prepare(*a.get(), d));
        ASSERT_EQ(w.Apply(*a.get(), d), static_cast<int64_t>(c.list.size()));
        ASSERT_EQ(a.GetSize(), static_cast<int64_t>(c.list.size()));
        EXPECT_LE(a.GetSize(), a.get()->nMaxSize);
        for (int64_t i = 0; i < a.GetSize(); ++i) {
            EXPECT_EQ(a.IdAt(i), c.list[i].first) << i;
            EXPECT_EQ(a[i].lFlags, c.list[i].second) << i;
            if (a[i].lFlags == NX_LOG_DELETED) {
                for (const Entry& k : c.known) {
                    if (k.id == a.IdAt(i)) {
                        EXPECT_EQ(a[i].dtModified, k.time);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace nx::test
