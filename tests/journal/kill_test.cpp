// Crash safety: a writer doing change reads and commits on a 10,000-item state is killed with
// SIGKILL at random moments, over and over. After every kill the journal passes SQLite's
// integrity check and its committed state is exactly the last generation whose commit went
// through (the one being committed at the kill, if its transaction had finished).
#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "journal/JournalStore.h"
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

    const journal::JournalKey m_key{"contact", "pim", "kill-test"};
};

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
