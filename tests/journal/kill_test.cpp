// Crash safety: a writer doing change reads and commits on a 10,000-item state is killed with
// SIGKILL at random moments, over and over. After every kill the journal passes SQLite's
// integrity check and its committed state is exactly the last generation whose commit went
// through (the one being committed at the kill, if its transaction had finished). A writer that
// opens a journal of the layout before, and is killed while the library upgrades it, leaves a file
// that opens and upgrades at the next open with nothing lost.
#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "journal/JournalStore.h"
#include "platform/sqlite/Sqlite.h"
#include "tests/journal/JournalWorld.h"
#include "tests/support/Process.h"

namespace nx::test {
namespace {

using Clock = std::chrono::steady_clock;

struct WriterRun {
    std::string output;
    bool killed = false;  // false: the writer ended on its own
    int exitCode = -1;
    std::map<std::string, Clock::time_point> seen;  // each announcement ("G 5") and when it came
};

// 10,100 items (10,000 present) and 100 kills in the plain build; the sanitizer build, many
// times slower per kill, looks for memory faults on the same paths with a smaller state.
constexpr uint32_t kItems = NX_JOURNAL_KILL_ITEMS;

class KillTest : public JournalWorld {
protected:
    // Runs the writer from generation `first`. With `killAt`, the writer is killed `killAfter`
    // after it announced `killAt` (for example "C 7"); otherwise it runs to its end.
    WriterRun RunWriter(uint32_t first, uint32_t count, const std::string& killAt = "",
                        std::chrono::microseconds killAfter = {}) {
        Process writer({NX_BIN_DIR "/journal_kill_writer", std::to_string(kItems), std::to_string(first),
                        std::to_string(count)});
        WriterRun run;
        const auto take = [&run](const std::string& line) {
            run.output += line + "\n";
            run.seen.emplace(line, Clock::now());
        };
        EXPECT_TRUE(writer.FollowOutput(240,
                                        [&](const std::string& line) {
                                            take(line);
                                            return killAt.empty() || line != killAt;
                                        }))
            << "the writer neither ended nor reached " << killAt;
        if (!killAt.empty() && !writer.Ended()) {
            std::this_thread::sleep_for(killAfter);
            run.killed = !writer.Ended();
            writer.Kill();
            writer.FollowOutput(0, [&](const std::string& line) {  // what it said before the kill
                take(line);
                return true;
            });
        }
        run.exitCode = writer.Wait(240);
        return run;
    }

    // The committed state equals generation g of the test state.
    static bool StateIs(const std::vector<journal::StoredItem>& items, uint32_t g) {
        std::map<std::u16string, journal::ItemTime> want;
        for (uint32_t k = 0; k < kItems; ++k)
            if (KillItemPresent(k, g)) want[JournalItemId(k)] = {KillItemTime(k, g), KillItemStatus(k)};
        if (want.size() != items.size()) return false;
        for (const auto& item : items) {
            const auto it = want.find(item.id);
            if (it == want.end() || !journal::SameTime(it->second, item.time)) return false;
        }
        return true;
    }

    // A journal of `layout` (2 or 3), made by that layout's library, upgraded while writers are
    // killed: the file is whole in one layout or the other after every kill.
    void KillDuringTheUpgradeOfLayout(int layout);

    const journal::JournalKey m_key{"contact", "pim", "kill-test"};
};

// The layout this library writes.
constexpr int64_t kLayoutNow = 4;

// Every row of the journal at `path` as text, in key order, and its layout version: a file whose
// rows read the same holds the same state.
std::string RawRows(const fs::path& path, int64_t& version) {
    sqlite::Connection db;
    db.Open(path.string(), sqlite::OpenOptions{});
    sqlite::Statement v(db, "PRAGMA user_version");
    version = v.Step() ? v.Int(0) : -1;
    std::string out;
    for (const char* sql :
         {"SELECT key, hex(id), quote(modified), status, 0 FROM item ORDER BY key, id",
          "SELECT key, hex(id), quote(modified), status, change FROM staged ORDER BY key, id",
          "SELECT key, hex(category), hex(source), hex(anchor), generation, item_count,"
          " quote(staged_base), quote(staged_count), 0 FROM anchor ORDER BY key"}) {
        sqlite::Statement s(db, sql);
        while (s.Step()) {
            for (int c = 0; c < 5; ++c) out += std::string(s.Blob(c)) + (c < 4 ? "|" : "\n");
        }
    }
    return out;
}

void KillTest::KillDuringTheUpgradeOfLayout(int layout) {
    // The journal of that layout that its library made (tests/journal/layout*_world), with
    // generation 0 of the test state committed under the test's key in that layout's form
    // (layout 2: identifiers as UTF-16 units, so the upgrade has the whole state to rewrite).
    const std::string name = "layout" + std::to_string(layout);
    const fs::path pristine = m_world.Data() / (name + ".db");
    fs::copy_file(fs::path(NX_SOURCE_DIR) / "tests/journal" / (name + "_world") / "journal.db", pristine);
    {
        sqlite::Connection db;
        db.Open(pristine.string(), sqlite::OpenOptions{});
        sqlite::Transaction txn(db);
        uint32_t count = 0;
        sqlite::Statement add(db, "INSERT INTO item(key, id, modified, status) VALUES(3, ?1, ?2, ?3)");
        for (uint32_t k = 0; k < kItems; ++k) {
            if (!KillItemPresent(k, 0)) continue;
            const std::u16string id = JournalItemId(k);
            if (layout == 2) {
                add.BindBlob(1, std::string_view(reinterpret_cast<const char*>(id.data()), id.size() * 2));
            } else {
                add.BindBlob(1, journal::StoredId(id));
            }
            add.BindDouble(2, KillItemTime(k, 0)).Bind(3, KillItemStatus(k)).Run();
            ++count;
        }
        sqlite::Statement(
            db,
            "INSERT INTO anchor(key, category, source, anchor, generation, item_count, committed_at)"
            " VALUES(3, CAST('contact' AS BLOB), CAST('pim' AS BLOB), CAST('kill-test' AS BLOB), 1,"
            " ?1, 0)")
            .Bind(1, count)
            .Run();
        txn.Commit();
    }
    int64_t version = 0;
    const std::string before = RawRows(pristine, version);
    ASSERT_EQ(version, layout);
    const auto fresh = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(DbPath().string() + suffix);
        fs::create_directories(DbPath().parent_path());
        fs::copy_file(pristine, DbPath());
        fs::permissions(DbPath(), fs::perms::owner_read | fs::perms::owner_write);
    };
    // What the other states of the file hold after their upgrade (a complete upgrade, measured).
    fresh();
    const WriterRun calibration = RunWriter(1, 1);
    ASSERT_EQ(calibration.exitCode, 0) << calibration.output;
    const auto upgradeAndRead = std::chrono::duration_cast<std::chrono::microseconds>(
        calibration.seen.at("C 1") - calibration.seen.at("G 1"));
    const journal::JournalKey others[] = {{"contact", "pim", name}, {"calendar", "", name}};
    std::vector<std::vector<journal::StoredItem>> otherItems;
    {
        journal::JournalStore store(DbPath().string(), false);
        for (const auto& key : others) {
            otherItems.push_back(store.CommittedItems(key));
            otherItems.push_back(store.StagedItems(key));
        }
        ASSERT_EQ(otherItems[0].size(), 8u);
        ASSERT_EQ(otherItems[1].size(), 3u);
    }
    const auto expectWhole = [&](journal::JournalStore& store, uint32_t g, int round) {
        ASSERT_TRUE(StateIs(store.CommittedItems(m_key), g)) << "round " << round << ", generation " << g;
        std::size_t at = 0;
        for (const auto& key : others) {
            for (const auto& items : {store.CommittedItems(key), store.StagedItems(key)}) {
                const auto& want = otherItems[at++];
                ASSERT_EQ(items.size(), want.size()) << "round " << round;
                for (std::size_t i = 0; i < items.size(); ++i) {
                    EXPECT_EQ(items[i].id, want[i].id) << "round " << round;
                    EXPECT_TRUE(journal::SameTime(items[i].time, want[i].time)) << "round " << round;
                    EXPECT_EQ(items[i].change, want[i].change) << "round " << round;
                }
            }
        }
    };

    std::mt19937 random(20261207);
    const int kRounds = NX_JOURNAL_UPGRADE_KILLS, kDuring = kRounds / 4;
    int rounds = 0, kills = 0, duringUpgrade = 0;
    while ((rounds < kRounds || duringUpgrade < kDuring) && rounds < 3 * kRounds) {
        ++rounds;
        fresh();
        const auto delay = std::chrono::microseconds(
            std::uniform_int_distribution<int64_t>(0, upgradeAndRead.count())(random));
        const WriterRun run = RunWriter(1, 1, "G 1", delay);
        ASSERT_TRUE(run.killed || run.exitCode == 0) << run.output;
        kills += run.killed;
        // Whole in one layout or the other: the layout before with every row as it was, or the
        // upgraded one holding generation 0, or 1 when the read's commit went through.
        const std::string after = RawRows(DbPath(), version);
        if (version == layout) {
            ASSERT_EQ(after, before) << "round " << rounds << ": " << name << " left with other rows";
            duringUpgrade += run.killed;
        } else {
            ASSERT_EQ(version, kLayoutNow) << "round " << rounds;
            journal::JournalStore store(DbPath().string(), false);
            const auto items = store.CommittedItems(m_key);
            ASSERT_TRUE(StateIs(items, 0) || StateIs(items, 1)) << "round " << rounds;
        }
        // The next writer opens it (upgrading it when it is not yet) and goes on: generation 2
        // differs from both generations the file may hold.
        const WriterRun next = RunWriter(2, 1);
        ASSERT_EQ(next.exitCode, 0) << "round " << rounds << ": " << next.output;
        journal::JournalStore store(DbPath().string(), false);
        ASSERT_EQ(store.IntegrityCheck(), "ok") << "round " << rounds;
        expectWhole(store, 2, rounds);
        RawRows(DbPath(), version);
        ASSERT_EQ(version, kLayoutNow);
    }
    std::printf(
        "%d kills while upgrading a journal of layout %d (%lld us with the read), %d of them "
        "during the upgrade\n",
        kills, layout, static_cast<long long>(upgradeAndRead.count()), duringUpgrade);
    EXPECT_GE(duringUpgrade, kDuring);
}

TEST_F(KillTest, AKillDuringTheUpgradeOfLayoutTwoLosesNothing) {
    KillDuringTheUpgradeOfLayout(2);
}

TEST_F(KillTest, AKillDuringTheUpgradeOfLayoutThreeLosesNothing) {
    KillDuringTheUpgradeOfLayout(3);
}

TEST_F(KillTest, AKilledWriterLeavesTheLastCommittedState) {
    // Generation 0 committed, then a few more uninterrupted to learn how long each call takes here.
    const WriterRun calibration = RunWriter(0, 4);
    ASSERT_EQ(calibration.exitCode, 0) << calibration.output;
    const auto span = [&](const char* from, const char* to) {
        return std::chrono::duration_cast<std::chrono::microseconds>(calibration.seen.at(to) -
                                                                     calibration.seen.at(from));
    };
    const std::chrono::microseconds readTime = span("G 3", "C 3"), commitTime = span("C 3", "D 3");
    uint32_t committed = 3;
    int kills = 0, duringRead = 0, duringCommit = 0;
    std::mt19937 random(20261206);
    // At least kKills kills, a quarter of them inside each of the two calls: alternately aimed at
    // a random moment of the change read and of the commit.
    const int kKills = NX_JOURNAL_KILLS, kEach = kKills / 4;
    while ((kills < kKills || duringRead < kEach || duringCommit < kEach) && kills < 3 * kKills) {
        const bool aimAtCommit = kills % 2;
        const std::chrono::microseconds length = aimAtCommit ? commitTime : readTime;
        const auto delay = std::chrono::microseconds(
            std::uniform_int_distribution<int64_t>(0, length.count() + length.count() / 4)(random));
        const std::string aim = std::string(aimAtCommit ? "C " : "G ") + std::to_string(committed + 1);
        const WriterRun run = RunWriter(committed + 1, 0, aim, delay);
        ASSERT_TRUE(run.killed) << "the writer ended on its own: " << run.output;
        ++kills;
        // The writer's last announcement says where the kill fell.
        std::istringstream lines(run.output);
        char step = 0, last = 0;
        uint32_t g = 0, done = committed, inCommit = 0;
        bool commitOpen = false;
        while (lines >> step >> g) {
            last = step;
            if (step == 'C') {
                commitOpen = true;
                inCommit = g;
            }
            if (step == 'D') {
                commitOpen = false;
                done = g;
            }
        }
        duringRead += last == 'G';
        duringCommit += last == 'C';

        journal::JournalStore store(DbPath().string(), false);
        ASSERT_EQ(store.IntegrityCheck(), "ok") << "after kill " << kills;
        const auto items = store.CommittedItems(m_key);
        if (StateIs(items, done)) {
            committed = done;
        } else {
            ASSERT_TRUE(commitOpen && StateIs(items, inCommit))
                << "after kill " << kills << " (last step " << last << " " << g << ") the state is neither "
                << done << " nor a commit that was under way";
            committed = inCommit;
        }
    }
    EXPECT_GE(kills, kKills);
    EXPECT_GE(duringRead, kEach);
    EXPECT_GE(duringCommit, kEach);
    std::printf(
        "%d kills: %d during GetChangeLog (%lld us), %d during CommitChangeLog (%lld us); generation %u "
        "committed\n",
        kills, duringRead, static_cast<long long>(readTime.count()), duringCommit,
        static_cast<long long>(commitTime.count()), committed);
}

}  // namespace
}  // namespace nx::test
