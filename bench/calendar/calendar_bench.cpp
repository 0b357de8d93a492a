// Reading a stored series with 100 modified occurrences (each with its own subject and location)
// and writing its exceptions text, against a raw walk of the same bytes that copies every field
// out with memcpy and nothing else: the floor any reader of the layout has to pay. The pair is
// "ExceptionsText/agent" and "ExceptionsText/baseline"; the run ends with their CPU-time ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "calendar/RecurrencePattern.h"

using namespace NAMESPACE_MAPI;

namespace {

constexpr int kModified = 100;
constexpr uint32_t kStart = 214673760;  // 2009-03-02
constexpr uint16_t kFlags = kOverrideSubject | kOverrideLocation | kOverrideReminderDelta | kOverrideSubType;

struct Writer {
    std::vector<uint8_t> b;
    void u16(uint32_t v) { b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8)); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    }
    void wide(const std::u16string& s) {
        u16(uint32_t(s.size()));
        for (char16_t c : s) u16(c);
    }
};

std::u16string Text(const char* stem, int i) {
    std::u16string s;
    for (const char* p = stem; *p; ++p) s.push_back(char16_t(*p));
    for (char c : std::to_string(i)) s.push_back(char16_t(c));
    return s;
}

// A daily series with every other day of 200 days moved to 10:00 with its own texts.
std::vector<uint8_t> SeriesWithExceptions() {
    Writer w;
    for (uint32_t v : {0x3004u, 0x3004u, 0x200Au, 0u, 0u}) w.u16(v);
    for (uint32_t v : {0u, 1440u, 0u, 0x2023u, 10u, 0u}) w.u32(v);
    w.u32(kModified);
    for (int i = 0; i < kModified; ++i) w.u32(kStart + 2880u * uint32_t(i));
    w.u32(kModified);
    for (int i = 0; i < kModified; ++i) w.u32(kStart + 2880u * uint32_t(i));
    for (uint32_t v : {kStart, 0x5AE980DFu, 0x3006u, 0x3009u, 570u, 600u}) w.u32(v);
    w.u16(kModified);
    for (int i = 0; i < kModified; ++i) {
        const uint32_t day = kStart + 2880u * uint32_t(i);
        w.u32(day + 600), w.u32(day + 630), w.u32(day + 570), w.u16(kFlags);
        const std::string subject = "Review " + std::to_string(i), location = "Room " + std::to_string(i);
        w.u16(uint32_t(subject.size() + 1)), w.u16(uint32_t(subject.size()));
        w.b.insert(w.b.end(), subject.begin(), subject.end());
        w.u32(10);
        w.u16(uint32_t(location.size() + 1)), w.u16(uint32_t(location.size()));
        w.b.insert(w.b.end(), location.begin(), location.end());
        w.u32(1);
    }
    w.u32(0);
    for (int i = 0; i < kModified; ++i) {
        const uint32_t day = kStart + 2880u * uint32_t(i);
        w.u32(4), w.u32(0), w.u32(0);  // ChangeHighlight
        w.u32(day + 600), w.u32(day + 630), w.u32(day + 570);
        w.wide(Text("Review ", i));
        w.wide(Text("Room ", i));
        w.u32(0);
    }
    w.u32(0);
    return w.b;
}

void BM_Agent(benchmark::State& state) {
    const std::vector<uint8_t> bytes = SeriesWithExceptions();
    tagExceptionDefaults defaults;
    defaults.Subject = "Daily review";
    defaults.ReminderMinutes = 15;
    for (auto _ : state) {
        tagRecurrencePattern pattern;
        ParseRecurrencePattern(bytes.data(), bytes.size(), pattern);
        std::string text = BuildExceptionsText(pattern, defaults);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// The same walk without checks, lists or text: each field copied out of the bytes.
void BM_Baseline(benchmark::State& state) {
    const std::vector<uint8_t> bytes = SeriesWithExceptions();
    for (auto _ : state) {
        const uint8_t* p = bytes.data();
        uint64_t sum = 0;
        auto take = [&](std::size_t n) {
            uint32_t v = 0;
            std::memcpy(&v, p, n);
            p += n;
            sum += v;
            return v;
        };
        for (int i = 0; i < 5; ++i) take(2);
        for (int i = 0; i < 6; ++i) take(4);
        for (uint32_t i = 0, n = take(4); i < n; ++i) take(4);
        for (uint32_t i = 0, n = take(4); i < n; ++i) take(4);
        for (int i = 0; i < 6; ++i) take(4);
        take(2);
        for (int i = 0; i < kModified; ++i) {
            take(4), take(4), take(4), take(2);
            take(2), p += take(2);
            take(4);
            take(2), p += take(2);
            take(4);
        }
        p += take(4);
        for (int i = 0; i < kModified; ++i) {
            p += take(4);
            p += take(4);
            take(4), take(4), take(4);
            p += 2 * take(2);
            p += 2 * take(2);
            p += take(4);
        }
        p += take(4);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(p);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

BENCHMARK(BM_Agent)->Name("ExceptionsText/agent");
BENCHMARK(BM_Baseline)->Name("ExceptionsText/baseline");

}  // namespace

int main(int argc, char** argv) {
    return nx::bench::RunWithRatios(argc, argv);
}
