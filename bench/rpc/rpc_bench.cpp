// Round trips through the runtime (client stub, PDUs, server dispatch, reply) against a raw
// Unix-socket ping-pong of the same byte counts, measured alternately in the same run.
//
// Every iteration makes one raw round trip and one RPC call and times each; the counters
// report the medians and 99th percentiles of both and their ratios (rpc / raw):
//   median_ratio, p99_ratio
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/rpc/Transport.h"
#include "tests/platform/rpc/TestInterface.h"

namespace {

using namespace nx::rpc;
using Clock = std::chrono::steady_clock;

// The runtime's server on a private endpoint, and a raw echo server that reads a request of a
// known size and answers with a reply of a known size.
class World {
public:
    World() {
        // Every thread of both round trips on one CPU: otherwise whether a wake-up crosses
        // cores (the scheduler's choice, not ours) dominates the comparison on a busy machine.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
        sched_setaffinity(0, sizeof one, &one);
        char tmpl[] = "/tmp/nx-rpc-bench-XXXXXX";
        m_root = ::mkdtemp(tmpl);
        ::setenv("NX_PIPE_DIR", (m_root + "/pipes").c_str(), 1);
        server.UseProtseqEp("ncacn_np", 1234, "\\pipe\\NxRpcBench");
        server.RegisterIf(test::TestInterface(), test::TestHandlers(&server));
        m_listen = std::async(std::launch::async, [this] { return server.Listen(1, 1234); });
        BindingFromStringBinding("ncacn_np:[\\pipe\\NxRpcBench]", binding);

        m_rawPath = m_root + "/raw";
        int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, m_rawPath.c_str());
        ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(lfd, 1);
        raw = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::connect(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        int peer = ::accept(lfd, nullptr, nullptr);
        ::close(lfd);
        m_echo = std::thread([peer] {
            std::vector<uint8_t> buf(1 << 16);
            for (;;) {
                uint32_t sizes[2];  // request bytes, reply bytes, as a prefix of each request
                if (!ReadAll(peer, sizes, sizeof sizes) || !ReadAll(peer, buf.data(), sizes[0])) break;
                if (::send(peer, buf.data(), sizes[1], MSG_NOSIGNAL) != static_cast<ssize_t>(sizes[1])) break;
            }
            ::close(peer);
        });
    }
    ~World() {
        ::shutdown(raw, SHUT_RDWR);
        ::close(raw);
        m_echo.join();
        binding.reset();
        server.StopListening();
        m_listen.wait();
        std::filesystem::remove_all(m_root);
    }

    static bool ReadAll(int fd, void* p, std::size_t n) {
        auto* b = static_cast<uint8_t*>(p);
        while (n) {
            ssize_t got = ::recv(fd, b, n, 0);
            if (got <= 0) return false;
            b += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    // One raw round trip: a request of reqBytes (the 8-byte size prefix included), a reply of replyBytes.
    void RawRoundTrip(std::vector<uint8_t>& req, std::size_t replyBytes, std::vector<uint8_t>& reply) {
        uint32_t sizes[2] = {static_cast<uint32_t>(req.size() - 8), static_cast<uint32_t>(replyBytes)};
        std::memcpy(req.data(), sizes, 8);
        ::send(raw, req.data(), req.size(), MSG_NOSIGNAL);
        ReadAll(raw, reply.data(), replyBytes);
    }

    Server server;
    std::shared_ptr<Binding> binding;
    int raw = -1;

private:
    std::string m_root, m_rawPath;
    std::future<RpcStatus> m_listen;
    std::thread m_echo;
};

World& TheWorld() {
    static World w;
    return w;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::size_t k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// requestPdu / replyPdu: the byte counts one call puts on the wire each way (one fragment).
void RoundTrip(benchmark::State& state, uint16_t opnum, std::u16string text, std::size_t requestPdu,
               std::size_t replyPdu) {
    World& w = TheWorld();
    const Interface& iface = test::TestInterface();
    Args args(iface.procedures[opnum]);
    std::vector<uint8_t> rawReq(requestPdu + 8, 0x41), rawReply(replyPdu);
    std::vector<double> rpcNs, rawNs;
    for (auto _ : state) {
        auto t0 = Clock::now();
        w.RawRoundTrip(rawReq, replyPdu, rawReply);
        auto t1 = Clock::now();
        if (opnum == test::kText) args.Text(0) = text;
        RpcStatus st = w.binding->Call(iface, opnum, args);
        auto t2 = Clock::now();
        if (st != RPC_S_OK) {
            state.SkipWithError("call failed");
            break;
        }
        rawNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        rpcNs.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
    }
    double rpcMedian = Percentile(rpcNs, 0.5), rawMedian = Percentile(rawNs, 0.5);
    double rpcP99 = Percentile(rpcNs, 0.99), rawP99 = Percentile(rawNs, 0.99);
    state.counters["rpc_median_us"] = rpcMedian / 1000;
    state.counters["raw_median_us"] = rawMedian / 1000;
    state.counters["rpc_p99_us"] = rpcP99 / 1000;
    state.counters["raw_p99_us"] = rawP99 / 1000;
    state.counters["median_ratio"] = rawMedian > 0 ? rpcMedian / rawMedian : 0;
    state.counters["p99_ratio"] = rawP99 > 0 ? rpcP99 / rawP99 : 0;
}

// Ping: a 24-byte request and a 24-byte response.
void BM_EmptyCall(benchmark::State& state) {
    RoundTrip(state, test::kPing, u"", 24, 24);
}
// Text with 2047 units and the terminator (4096 bytes of string): a 4132-byte request, a
// 28-byte response.
void BM_String4KCall(benchmark::State& state) {
    RoundTrip(state, test::kText, std::u16string(2047, u'x'), 24 + 12 + 4096, 28);
}

BENCHMARK(BM_EmptyCall)->UseRealTime();
BENCHMARK(BM_String4KCall)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
