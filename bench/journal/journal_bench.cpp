// GetChangeLog on a folder of 10,000 and 50,000 items, with nothing changed and with 1% of the
// items changed, against a raw SQLite scan of the same identifiers and times in the same run.
//
// agent:    one GetChangeLog call (open the journal, compare the snapshot with the committed
//           state, stage the difference) on a snapshot array built beforehand
// baseline: open a database holding the same identifiers and times (same row layout, the same
//           blobs: each identifier in the journal's stored form, the hex form for these),
//           read every row's identifier, time and status, close
// The 1% case stages its difference every call and commits nothing, so each call does the same
// work. Printed: the agent/baseline ratio per case, and the 50k/10k scaling of the agent.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "bench/support/RatioReporter.h"
#include "journal/ChangeList.h"
#include "journal/LogItemArray.h"
#include "tests/journal/Snapshots.h"

namespace {

namespace fs = std::filesystem;

const fs::path& Root() {
    static const fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("nxjournal-bench-" + std::to_string(getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        setenv("XDG_DATA_HOME", p.c_str(), 1);
        return p;
    }();
    return root;
}

double ItemTime(uint32_t k, bool changed) {
    return 45000.0 + k / 10.0 + (changed && k % 100 == 0 ? 0.5 : 0.0);
}

void FillSnapshot(CLogItemArray& a, uint32_t items, bool onePercentChanged) {
    for (uint32_t k = 0; k < items; ++k) a.Add(nx::test::JournalItemId(k), ItemTime(k, onePercentChanged), 0);
}

std::u16string AnchorFor(uint32_t items) {
    return u"bench-" + std::u16string(1, u'0' + items / 10000);
}

// The committed state of `items` items under its own anchor, and the baseline's table.
void Prepare(uint32_t items) {
    static std::map<uint32_t, bool> done;
    if (done[items]) return;
    done[items] = true;
    Root();
    const std::u16string anchor = AnchorFor(items);
    const tagChangeRequest request{u"contact", u"pim", anchor.c_str()};
    CLogItemArray snapshot;
    FillSnapshot(snapshot, items, false);
    if (GetChangeLog(snapshot.get(), &request) != static_cast<int32_t>(items) ||
        CommitChangeLog(&request) != 1)
        std::fprintf(stderr, "journal_bench: setting up %u items failed\n", items);

    sqlite3* db = nullptr;
    sqlite3_open((Root() / ("raw" + std::to_string(items) + ".db")).c_str(), &db);
    sqlite3_exec(
        db,
        "PRAGMA journal_mode=WAL; CREATE TABLE item(key INTEGER NOT NULL, id BLOB NOT NULL, modified REAL,"
        " status INTEGER NOT NULL, PRIMARY KEY(key, id)) WITHOUT ROWID; BEGIN",
        nullptr, nullptr, nullptr);
    sqlite3_stmt* add = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO item VALUES(1, ?1, ?2, 0)", -1, &add, nullptr);
    for (uint32_t k = 0; k < items; ++k) {
        const std::string id = nx::journal::StoredId(nx::test::JournalItemId(k));
        sqlite3_bind_blob(add, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(add, 2, ItemTime(k, false));
        sqlite3_step(add);
        sqlite3_reset(add);
    }
    sqlite3_finalize(add);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void Agent(benchmark::State& state, bool onePercentChanged) {
    const auto items = static_cast<uint32_t>(state.range(0));
    Prepare(items);
    const std::u16string anchor = AnchorFor(items);
    const tagChangeRequest request{u"contact", u"pim", anchor.c_str()};
    auto snapshot = std::make_unique<CLogItemArray>();
    FillSnapshot(*snapshot, items, onePercentChanged);
    for (auto _ : state) {
        const int32_t result = GetChangeLog(snapshot->get(), &request);
        if (result != (onePercentChanged ? static_cast<int32_t>(items / 100) : 0)) {
            state.SkipWithError("unexpected change count");
            break;
        }
        if (onePercentChanged) {
            // The array is now the change list; the next call needs the snapshot again.
            state.PauseTiming();
            snapshot = std::make_unique<CLogItemArray>();
            FillSnapshot(*snapshot, items, true);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * items);
}

void Baseline(benchmark::State& state) {
    const auto items = static_cast<uint32_t>(state.range(0));
    Prepare(items);
    const std::string path = (Root() / ("raw" + std::to_string(items) + ".db")).string();
    for (auto _ : state) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_stmt* scan = nullptr;
        sqlite3_prepare_v2(db, "SELECT id, modified, status FROM item WHERE key=1", -1, &scan, nullptr);
        std::size_t bytes = 0;
        double sum = 0;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_blob(scan, 0));
            bytes += static_cast<std::size_t>(sqlite3_column_bytes(scan, 0));
            sum += sqlite3_column_double(scan, 1) + static_cast<double>(sqlite3_column_int(scan, 2));
        }
        sqlite3_finalize(scan);
        sqlite3_close(db);
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * items);
}

void BM_Unchanged_Agent(benchmark::State& s) {
    Agent(s, false);
}
void BM_OnePercent_Agent(benchmark::State& s) {
    Agent(s, true);
}

BENCHMARK(BM_Unchanged_Agent)->Name("unchanged/agent")->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(Baseline)->Name("unchanged/baseline")->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OnePercent_Agent)
    ->Name("changed1pct/agent")
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Baseline)->Name("changed1pct/baseline")->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

// Adds the 50k/10k scaling of each agent case to the ratio table.
class ScalingReporter : public nx::bench::RatioReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        RatioReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions, the median stands for the case (as in the ratio table).
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (!median && (run.run_type != Run::RT_Iteration || run.repetitions > 1)))
                continue;
            std::string name = run.benchmark_name();
            if (median) name = name.substr(0, name.rfind("_median"));
            if (name.find("/agent/") != std::string::npos) m_agent[name] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        RatioReporter::Finalize();
        for (const char* c : {"unchanged", "changed1pct"}) {
            const std::string base = std::string(c) + "/agent/";
            const auto small = m_agent.find(base + "10000"), large = m_agent.find(base + "50000");
            if (small != m_agent.end() && large != m_agent.end() && small->second > 0)
                std::printf("%-28s %11.2fx\n", (std::string(c) + " 50k/10k").c_str(),
                            large->second / small->second);
        }
    }

private:
    std::map<std::string, double> m_agent;
};

}  // namespace

int main(int argc, char** argv) {
    ScalingReporter reporter;
    const int result = nx::bench::RunWithReporter(argc, argv, reporter);
    std::error_code ignored;
    fs::remove_all(Root(), ignored);
    return result;
}
