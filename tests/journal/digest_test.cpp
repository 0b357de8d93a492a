// A committed state known by its digest: a change read whose snapshot has the state's digest reads
// no item row, and every snapshot that differs from the state (as the change rules see it) is
// still compared row by row.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "journal/JournalStore.h"
#include "platform/sqlite/Sqlite.h"
#include "tests/journal/Entries.h"
#include "tests/journal/JournalWorld.h"

namespace nx::test {
namespace {

using journal::ChangeDetector;
using journal::ChangeListWriter;
using journal::JournalKey;
using journal::JournalStore;

// A NaN of another bit pattern than kNaN's.
double OtherNaN() {
    const uint64_t bits = 0x7FF8'0000'0000'1234ULL;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The committed state of every case: identifiers of each stored form (hex, ASCII, wide), a null
// time and a zero.
const std::vector<Entry> kState = {
    {u"00A1", 1.0}, {u"B2", 2.0}, {u"\u00FC3", kNaN, NX_LOG_TIME_NULL}, {u"D4", 0.0}};

struct Outcome {
    std::string classes;  // one letter per snapshot entry: u unchanged, c changed, n new, d duplicate
    std::vector<std::u16string> deleted;
};

class StateDigestTest : public JournalWorld {
protected:
    void SetUp() override { fs::create_directories(DbPath().parent_path()); }

    // A change read of `entries` under `key`, staged; what it found.
    Outcome Read(JournalStore& store, const JournalKey& key, const std::vector<Entry>& entries) {
        CLogItemArray snapshot;
        Fill(snapshot, entries);
        ChangeDetector changes(snapshot.get()->pData, static_cast<std::size_t>(snapshot.GetSize()));
        ChangeListWriter writer;
        store.Stage(key, *snapshot.get(), changes, writer);
        Outcome out;
        for (std::size_t i = 0; i < changes.Size(); ++i) out.classes += Letter(changes.At(i));
        for (const auto& gone : changes.Deleted()) out.deleted.push_back(gone.id);
        return out;
    }

    // `key` holding kState committed, and its digest learnt by a read that found nothing.
    void Commit(JournalStore& store, const JournalKey& key) {
        ASSERT_EQ(Read(store, key, kState).classes, "nnnn");
        ASSERT_TRUE(store.Commit(key));
        EXPECT_EQ(Digest(key), "NULL") << "a commit changes the state: its digest is to be learnt";
        ASSERT_EQ(Read(store, key, kState).classes, "uuuu");
        ASSERT_EQ(Digest(key).size(), 51u) << "X'...' around 48 hex digits: learnt";
    }

    // The anchor's state digest as SQL quotes it.
    std::string Digest(const JournalKey& key) {
        return Sql("SELECT quote(state_digest) FROM anchor WHERE anchor=?1", key.anchor);
    }
    // The first column of the first row of `sql`, its parameter bound to `anchor`.
    std::string Sql(const std::string& sql, const std::string& anchor = "") {
        sqlite::Connection db;
        db.Open(DbPath().string(), sqlite::OpenOptions{});
        sqlite::Statement s(db, sql.c_str());
        if (!anchor.empty()) s.BindBlob(1, anchor);
        return s.Step() ? std::string(s.Blob(0)) : std::string();
    }
};

TEST_F(StateDigestTest, OnlyASnapshotOfTheStatesItemsPassesAsNothingChanged) {
    const struct Case {
        const char* what;
        std::vector<Entry> snapshot;
        Outcome want;
    } cases[] = {
        {"the same items", kState, {"uuuu", {}}},
        {"in another order", {kState[3], kState[2], kState[1], kState[0]}, {"uuuu", {}}},
        {"-0 for 0 (they compare equal)", {kState[0], kState[1], kState[2], {u"D4", -0.0}}, {"uuuu", {}}},
        {"a NaN of other bits",
         {kState[0], kState[1], {u"\u00FC3", OtherNaN(), NX_LOG_TIME_NULL}, kState[3]},
         {"uuuu", {}}},
        {"an item twice", {kState[0], kState[1], kState[2], kState[3], kState[1]}, {"uuuud", {}}},
        {"an item twice, the second time another",
         {kState[0], kState[1], kState[2], kState[3], {u"B2", 9.0}},
         {"uuuud", {}}},
        {"a time moved", {kState[0], {u"B2", 2.5}, kState[2], kState[3]}, {"ucuu", {}}},
        {"a status changed",
         {kState[0], kState[1], kState[2], {u"D4", 0.0, NX_LOG_TIME_INVALID}},
         {"uuuc", {}}},
        {"two items' times swapped", {{u"00A1", 2.0}, {u"B2", 1.0}, kState[2], kState[3]}, {"ccuu", {}}},
        {"an item added", {kState[0], kState[1], kState[2], kState[3], {u"E5", 5.0}}, {"uuuun", {}}},
        {"an item deleted", {kState[0], kState[1], kState[2]}, {"uuu", {u"D4"}}},
        {"an identifier for another, same time",
         {kState[0], kState[1], kState[2], {u"D5", 0.0}},
         {"uuun", {u"D4"}}},
        {"nothing", {}, {"", {u"00A1", u"B2", u"D4", u"\u00FC3"}}},
    };
    JournalStore store(DbPath().string(), true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const JournalKey key{"contact", "pim", c.what};
        Commit(store, key);
        Outcome got = Read(store, key, c.snapshot);
        std::sort(got.deleted.begin(), got.deleted.end());
        EXPECT_EQ(got.classes, c.want.classes);
        EXPECT_EQ(got.deleted, c.want.deleted);
    }
}

TEST_F(StateDigestTest, AStateKnownByItsDigestIsNotReadAgain) {
    JournalStore store(DbPath().string(), true);
    const JournalKey key{"contact", "pim", "digest"};
    Commit(store, key);
    // A row changed behind the journal's back: the snapshot's digest is still the state's, so the
    // row is not read and nothing is reported. With the digest gone, the row is read again.
    Sql("UPDATE item SET modified=7.0 WHERE id=X'FEB2'");  // "B2" in its stored (hex) form
    EXPECT_EQ(Read(store, key, kState).classes, "uuuu");
    Sql("UPDATE anchor SET state_digest=NULL");
    EXPECT_EQ(Read(store, key, kState).classes, "ucuu");
}

TEST_F(StateDigestTest, ADamagedDigestLosesNothingAndIsPutRight) {
    // Unreadable, or a digest of zeros: the one of an empty snapshot, which must still be told
    // every deletion.
    const char* const damages[] = {"X'00'", "zeroblob(24)", "'text'"};
    JournalStore store(DbPath().string(), true);
    for (std::size_t n = 0; n < std::size(damages); ++n) {
        const std::string damaged = damages[n];
        SCOPED_TRACE(damaged);
        const JournalKey emptied{"contact", "pim", "emptied " + std::to_string(n)},
            same{"contact", "pim", "same " + std::to_string(n)};
        Commit(store, emptied);
        Commit(store, same);
        const std::string learnt = Digest(same);
        Sql("UPDATE anchor SET state_digest=" + damaged);
        EXPECT_EQ(Read(store, emptied, {}).deleted.size(), kState.size());
        // A read that finds nothing changed puts the digest right.
        EXPECT_EQ(Read(store, same, kState).classes, "uuuu");
        EXPECT_EQ(Digest(same), learnt);
    }
}

}  // namespace
}  // namespace nx::test
