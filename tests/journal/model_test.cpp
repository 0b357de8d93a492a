// The model check of the change-read protocol: a few thousand random steps of store edits (add,
// change, delete) and change reads by two hosts under two anchors, each read complete, failing
// after n deliveries, or killed with SIGKILL (at a chosen step of the read, or at a random moment,
// inside the journal's calls too). A model of what each host knows takes every delivery the reader
// announced; after every complete read the host's copy must equal the store, and a read that
// follows a complete one must send nothing the host already has (no new item it holds, no change
// it holds at that time).
//   NX_JOURNAL_MODEL_SEED   the seed (printed by every run; a failure is repeated with it)
//   NX_JOURNAL_MODEL_STEPS  the number of steps (the short CI run by default)
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "tests/journal/JournalWorld.h"
#include "tests/support/Process.h"

namespace nx::test {
namespace {

struct Host {
    std::string anchor;
    std::map<std::string, double> copy;  // what the host holds: id -> time
    bool current = true;                 // its last read was complete (nothing pending)
};

struct Tally {
    int reads = 0, complete = 0, failed = 0, killedAtStep = 0, killedAtRandom = 0;
};

uint64_t FromEnv(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

class JournalModelTest : public JournalWorld {
protected:
    std::mt19937_64 m_random;
    std::map<std::string, double> m_store;  // id -> time
    int m_nextId = 0;
    Tally m_tally;

    uint64_t Pick(uint64_t n) { return n == 0 ? 0 : m_random() % n; }

    std::string AnyItem() {
        auto it = m_store.begin();
        std::advance(it, static_cast<long>(Pick(m_store.size())));
        return it->first;
    }

    // An edit of the store: an item added, one whose time moves (also back to an earlier time, a
    // time the host may hold from a read that did not complete), one deleted.
    void Edit() {
        const uint64_t what = m_store.size() < 4 ? 0 : m_store.size() > 40 ? 2 : Pick(3);
        if (what == 0) {
            m_store["I" + std::to_string(m_nextId++)] = static_cast<double>(1 + Pick(4));
        } else if (what == 1) {
            double& time = m_store[AnyItem()];
            const double was = time;
            while (time == was) time = static_cast<double>(1 + Pick(4));
        } else {
            m_store.erase(AnyItem());
        }
    }

    // The store file the reader takes its snapshot from; now and then an item comes twice (a
    // folder and a sub-folder view of it).
    std::string WriteStore() {
        const fs::path path = m_world.Root() / "store.txt";
        std::ostringstream text;
        for (const auto& [id, time] : m_store) text << id << " " << time << "\n";
        if (!m_store.empty() && Pick(4) == 0) {
            const std::string again = AnyItem();
            text << again << " " << m_store[again] << "\n";
        }
        std::ofstream(path) << text.str();
        return path.string();
    }

    // One delivery as the host takes it.
    void Take(Host& host, const std::string& line, bool wasCurrent, uint64_t seed) {
        std::istringstream in(line);
        std::string kind, id;
        double time = 0;
        in >> kind >> id >> time;
        if (kind == "N" || kind == "C") {
            if (wasCurrent) {
                const auto held = host.copy.find(id);
                // After a complete read nothing the host holds comes again.
                EXPECT_TRUE(kind == "N" ? held == host.copy.end()
                                        : held != host.copy.end() && held->second != time)
                    << "seed " << seed << ": " << host.anchor << " was sent again: " << line;
            }
            host.copy[id] = time;
        } else if (kind == "D") {
            host.copy.erase(id);
        }
    }

    // A change read by `host`: complete, failing after n deliveries or killed, as the dice say
    // (`mayBreak`), else complete.
    void ReadBy(Host& host, uint64_t seed, bool mayBreak = true) {
        ++m_tally.reads;
        const std::string store = WriteStore();
        // A change list is short between reads a few edits apart; a first read or one after many
        // edits is longer (at most every item of the store and of the host's copy).
        const uint64_t most = std::min<uint64_t>(m_store.size() + host.copy.size(), Pick(3) == 0 ? 40 : 5);
        long failAfter = -1, stopAt = -1;
        bool killAtRandom = false;
        switch (mayBreak ? Pick(4) : 3) {
            case 0:
                failAfter = static_cast<long>(Pick(most + 1));
                break;
            case 1:
                stopAt = static_cast<long>(1 + Pick(most + 3));  // "G", the deliveries, "K", "E"
                break;
            case 2:
                killAtRandom = true;
                break;
            default:
                break;
        }
        Process reader({NX_BIN_DIR "/journal_model_reader", store, host.anchor, std::to_string(failAfter),
                        std::to_string(stopAt)});
        std::vector<std::string> lines;
        const auto take = [&](const std::string& line) {
            lines.push_back(line);
            return stopAt < 0 || static_cast<long>(lines.size()) < stopAt;
        };
        if (killAtRandom) {
            // Somewhere in the read: a few milliseconds span a read of this size.
            std::this_thread::sleep_for(std::chrono::microseconds(Pick(4000)));
            if (!reader.Ended()) ++m_tally.killedAtRandom;
            reader.Kill();
        } else {
            ASSERT_TRUE(reader.FollowOutput(120, take)) << "the reader neither ended nor reached its stop";
            if (stopAt > 0 && static_cast<long>(lines.size()) == stopAt && !reader.Ended()) {
                ++m_tally.killedAtStep;
                reader.Kill();
            }
        }
        reader.FollowOutput(0, [&](const std::string& line) {  // what it said before it ended
            lines.push_back(line);
            return true;
        });
        const int exitCode = reader.Wait(120);
        const bool wasCurrent = host.current;
        for (const std::string& line : lines) Take(host, line, wasCurrent, seed);
        const bool complete = exitCode == 0 && !lines.empty() && lines.back() == "E";
        ASSERT_TRUE(complete || exitCode == 1 || exitCode == nx::sys::kEndedBySignal)
            << "seed " << seed << ": the reader failed (" << exitCode << "): " << reader.Err();
        host.current = complete;
        if (!complete) {
            m_tally.failed += exitCode == 1;
            return;
        }
        ++m_tally.complete;
        ASSERT_EQ(host.copy, m_store)
            << "seed " << seed << ": " << host.anchor << " differs from the store after a complete read";
    }
};

TEST_F(JournalModelTest, HostsKnowTheStoreAfterEveryCompleteRead) {
    const uint64_t seed = FromEnv("NX_JOURNAL_MODEL_SEED", std::random_device{}());
    const uint64_t steps = FromEnv("NX_JOURNAL_MODEL_STEPS", NX_JOURNAL_MODEL_STEPS_DEFAULT);
    std::cout << "NX_JOURNAL_MODEL_SEED=" << seed << " NX_JOURNAL_MODEL_STEPS=" << steps << std::endl;
    RecordProperty("seed", std::to_string(seed));
    m_random.seed(seed);
    Host hosts[] = {{"host-1", {}, true}, {"host-2", {}, true}};
    for (uint64_t step = 0; step < steps && !HasFatalFailure(); ++step) {
        if (Pick(5) < 2) {
            for (uint64_t n = 1 + Pick(3); n > 0; --n) Edit();
        } else {
            ReadBy(hosts[Pick(2)], seed);
        }
    }
    // A last complete read of each host settles what the random ones left.
    for (Host& host : hosts) {
        if (!HasFatalFailure()) ReadBy(host, seed, false);
    }
    std::cout << steps << " steps: " << m_tally.reads << " reads, " << m_tally.complete << " complete, "
              << m_tally.failed << " failed deliveries, " << m_tally.killedAtStep << " kills at a step, "
              << m_tally.killedAtRandom << " kills at a random moment" << std::endl;
    EXPECT_GT(m_tally.complete, 0);
}

}  // namespace
}  // namespace nx::test
