// Benchmarks come in pairs named "<case>/agent" and "<case>/baseline", run in the same process.
// This reporter prints the usual console table, then the agent/baseline ratio of each pair's CPU
// time: the figure the project reports, since absolute times depend on the machine and its load.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/system/ProcessHeap.h"

namespace nx::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions, the median stands for the pair; otherwise the single run.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && (run.run_type != Run::RT_Iteration || run.repetitions > 1)) continue;
            if (run.error_occurred) continue;
            std::string name = run.benchmark_name();
            if (median) name = name.substr(0, name.rfind("_median"));
            for (const char* role : {"/agent", "/baseline"}) {
                const std::size_t at = name.find(role);
                if (at == std::string::npos) continue;
                const std::string key =
                    name.substr(0, at) + name.substr(at + std::char_traits<char>::length(role));
                (role[1] == 'a' ? m_agent : m_baseline)[key] = run.GetAdjustedCPUTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-28s %12s\n", "case", "agent/base");
        for (const auto& [key, agent] : m_agent) {
            const auto base = m_baseline.find(key);
            if (base != m_baseline.end() && base->second > 0)
                std::printf("%-28s %11.2fx\n", key.c_str(), agent / base->second);
        }
    }

private:
    std::map<std::string, double> m_agent;
    std::map<std::string, double> m_baseline;
};

// The body of a benchmark program's main() with `reporter` (a RatioReporter or one derived from it).
// Both sides run with the agent's heap settings, as the agent process does.
inline int RunWithReporter(int argc, char** argv, benchmark::BenchmarkReporter& reporter) {
    nx::sys::KeepHeapBetweenCalls();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// The body of a benchmark program's main() with the ratio reporter.
inline int RunWithRatios(int argc, char** argv) {
    RatioReporter reporter;
    return RunWithReporter(argc, argv, reporter);
}

}  // namespace nx::bench
