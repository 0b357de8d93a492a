// GetChangeLog alone, for callgrind: commits a state of ITEMS items under a fresh journal, then
// makes CALLS change reads the way bench_journal does (nothing changed: the same snapshot again;
// --changed: 1% of the times moved, a new snapshot each call, nothing committed). Under callgrind
// with --collect-atstart=no only the calls after the first are counted, so the figures are per
// warm call:
//   valgrind --tool=callgrind --collect-atstart=no --cache-sim=yes --D1=49152,12,64
//       --LL=1048576,16,64 build/bin/journal_calls 50000 [--changed] [CALLS]    (one line)
// Prints the thread CPU time per counted call.
#include <stdlib.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "journal/LogItemArray.h"
#include "tests/journal/Snapshots.h"

namespace {

// As bench_journal's: one item in a hundred moves when `changed`.
double ItemTime(uint32_t k, bool changed) {
    return 45000.0 + k / 10.0 + (changed && k % 100 == 0 ? 0.5 : 0.0);
}

std::unique_ptr<CLogItemArray> Snapshot(uint32_t items, bool changed) {
    auto a = std::make_unique<CLogItemArray>();
    for (uint32_t k = 0; k < items; ++k) a->Add(nx::test::JournalItemId(k), ItemTime(k, changed), 0);
    return a;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: journal_calls ITEMS [--changed] [CALLS]\n");
        return 2;
    }
    const auto items = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const bool changed = argc > 2 && std::strcmp(argv[2], "--changed") == 0;
    const int calls = argc > 2 + changed ? std::atoi(argv[2 + changed]) : 4;
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("nxjournal-calls-" + std::to_string(getpid()));
    fs::create_directories(root);
    setenv("XDG_DATA_HOME", root.c_str(), 1);

    const tagChangeRequest request{u"contact", u"pim", u"calls"};
    int status = 0;
    auto snapshot = Snapshot(items, false);
    if (GetChangeLog(snapshot->get(), &request) != static_cast<int32_t>(items) ||
        CommitChangeLog(&request) != 1) {
        std::fprintf(stderr, "journal_calls: setting up %u items failed\n", items);
        status = 1;
    }
    const int32_t expected = changed ? static_cast<int32_t>(items / 100) : 0;
    double counted = 0;
    for (int i = 0; status == 0 && i < calls; ++i) {
        if (changed || i == 0) snapshot = Snapshot(items, changed);
        if (i) CALLGRIND_TOGGLE_COLLECT;
        const double start = ThreadCpuSeconds();
        const int32_t result = GetChangeLog(snapshot->get(), &request);
        const double end = ThreadCpuSeconds();
        if (i) CALLGRIND_TOGGLE_COLLECT;
        if (i) counted += end - start;
        if (result != expected) {
            std::fprintf(stderr, "journal_calls: %d changes, expected %d\n", result, expected);
            status = 1;
        }
    }
    if (status == 0 && calls > 1)
        std::printf("%u items, %s: %.3f ms per call\n", items, changed ? "1% changed" : "nothing changed",
                    counted * 1000 / (calls - 1));
    CloseChangeLog();
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
