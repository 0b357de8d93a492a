// Benchmarks come in pairs named "<case>/agent" and "<case>/baseline", run in the same process.
// This reporter prints the usual console table, then the agent/baseline ratio of each pair's CPU
// time: the figure the project reports, since absolute times depend on the machine and its load.
// An agent case that calls the agent over its pipe from the benchmark's own thread (the host's
// side of each call) reports that thread's CPU time in the counter kHostCpuCounter; the ratio of
// the agent's side alone (the process's CPU time less the host's thread) is printed next to it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/system/ProcessHeap.h"

namespace nx::bench {

// Milliseconds of CPU per iteration spent by the host's side of the calls (the benchmark thread).
inline constexpr const char* kHostCpuCounter = "host_cpu_ms";

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
                if (const auto host = run.counters.find(kHostCpuCounter);
                    role[1] == 'a' && host != run.counters.end() && run.time_unit == benchmark::kMillisecond)
                    m_agentSide[key] = run.GetAdjustedCPUTime() - host->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-28s %12s%s\n", "case", "agent/base",
                    m_agentSide.empty() ? "" : "  agent's side/base");
        for (const auto& [key, agent] : m_agent) {
            const auto base = m_baseline.find(key);
            if (base == m_baseline.end() || base->second <= 0) continue;
            std::printf("%-28s %11.2fx", key.c_str(), agent / base->second);
            if (const auto side = m_agentSide.find(key); side != m_agentSide.end())
                std::printf(" %17.2fx", side->second / base->second);
            std::printf("\n");
        }
    }

private:
    std::map<std::string, double> m_agent;
    std::map<std::string, double> m_baseline;
    std::map<std::string, double> m_agentSide;  // the agent's CPU less the host thread's
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
