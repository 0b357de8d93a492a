// The agent's own costs, each against a baseline measured alternately in the same run:
//
//   BM_TraceLine     one CLogFile::Trace line to the log file (format, UTF-16 conversion, lock,
//                    open, append, close) against writing the same finished UTF-16LE bytes with
//                    a bare open/append/close.                   counter: ratio = trace / raw
//   BM_FolderBuffer  GetContactFolder (3000 units in and out: two fragments each way) against
//                    NoOperation, both through the agent's handler table on a real socket.
//                                                                counter: ratio = folder / noop
// Ratios are of medians, so one slow outlier does not move them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "agent/Interfaces.h"
#include "agent/ServiceHandlers.h"
#include "common/LogFile.h"
#include "platform/system/Utf.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::string MakeRoot() {
    char tmpl[] = "/tmp/nx-agent-bench-XXXXXX";
    const char* root = ::mkdtemp(tmpl);
    return root ? root : "/tmp";
}

void BM_TraceLine(benchmark::State& state) {
    const std::string root = MakeRoot();
    const std::string module = root + "/NxAgentOutlook64";
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    std::filesystem::create_directories(root + "/config/nx-registry");
    std::ofstream(root + "/config/nx-registry/HKEY_CURRENT_USER.reg")
        << "Windows Registry Editor Version "
           "5.00\r\n\r\n[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n\""
        << module << "\"=dword:00000002\r\n";
    const uint32_t def = LOG_TO_DEBUGGER;
    CLogFile::InitWithModulePath(module, def);

    const std::u16string line =
        nx::sys::Utf8ToUtf16("[NxAgentForOutlook64] CMAPIObject::AddContact - Finish(Succeeded)\r\n");
    const std::string rawPath = root + "/raw.log";
    std::vector<double> raw;
    std::vector<double> trace;
    for (auto _ : state) {
        auto t0 = Clock::now();
        const int fd = ::open(rawPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ::lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size() * 2));
        ::close(fd);
        auto t1 = Clock::now();
        CLogFile::Trace("CMAPIObject::%s - Finish(%s)\r\n", "AddContact", "Succeeded");
        auto t2 = Clock::now();
        raw.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        trace.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
    }
    const double r = Median(raw);
    const double t = Median(trace);
    state.counters["raw_ns"] = r;
    state.counters["trace_ns"] = t;
    state.counters["ratio"] = r > 0 ? t / r : 0;
    const uint32_t off = 0;
    CLogFile::InitWithModulePath("", off);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_TraceLine);

void BM_FolderBuffer(benchmark::State& state) {
    const std::string root = MakeRoot();
    ::setenv("NX_PIPE_DIR", (root + "/pipes").c_str(), 1);
    const auto& iface = nx::agent::AgentInterface();
    nx::rpc::Server server;
    if (server.UseProtseqEp(nx::agent::kProtseq, nx::agent::kMaxCalls, nx::agent::kAgentEndpoint) !=
            nx::rpc::RPC_S_OK ||
        server.RegisterIf(iface, nx::agent::BuildAgentHandlers()) != nx::rpc::RPC_S_OK) {
        state.SkipWithError("cannot serve the agent interface");
        return;
    }
    auto listening = std::async(std::launch::async, [&] { return server.Listen(1, nx::agent::kMaxCalls); });
    std::shared_ptr<nx::rpc::Binding> binding;
    nx::rpc::BindingFromStringBinding("ncacn_np:[\\pipe\\MapiServer64]", binding);

    nx::rpc::Args noop(iface.procedures[nx::agent::kNoOperation]);
    nx::rpc::Args folder(iface.procedures[nx::agent::kGetContactFolder]);
    for (std::size_t i = 0; i < folder.Array(0).size(); ++i)
        folder.Array(0)[i] = static_cast<char16_t>(0x41 + i % 26);
    std::vector<double> base;
    std::vector<double> big;
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(binding->Call(iface, nx::agent::kNoOperation, noop));
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(binding->Call(iface, nx::agent::kGetContactFolder, folder));
        auto t2 = Clock::now();
        base.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        big.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    const double b = Median(base);
    const double f = Median(big);
    state.counters["noop_us"] = b;
    state.counters["folder_us"] = f;
    state.counters["ratio"] = b > 0 ? f / b : 0;
    binding.reset();
    server.StopListening();
    listening.wait();
    server.UnregisterIf(nullptr, false);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_FolderBuffer);

}  // namespace

BENCHMARK_MAIN();
