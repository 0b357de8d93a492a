// A private pipe directory for one test (NX_PIPE_DIR points into a temporary world), a server
// listening there on its own thread, and a stale socket file as a dead server leaves it.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "platform/rpc/Server.h"
#include "tests/platform/rpc/TestInterface.h"
#include "tests/support/TempWorld.h"

namespace nx::rpc::test {

// The world's short parent keeps a socket's path inside the 108 bytes of a socket address.
class PipeWorld : public nx::test::TempWorld {
public:
    PipeWorld() : TempWorld("rpc", "/tmp") {}
};

// A server with the test interface (its own handlers unless others are given), listening.
class Listening {
public:
    explicit Listening(const char* endpoint, std::vector<Handler> handlers = {}, unsigned maxCalls = 1234) {
        if (handlers.empty()) handlers = TestHandlers(&server);
        EXPECT_EQ(server.UseProtseqEp("ncacn_np", maxCalls, endpoint), RPC_S_OK);
        EXPECT_EQ(server.RegisterIf(TestInterface(), std::move(handlers)), RPC_S_OK);
        done = std::async(std::launch::async, [this, maxCalls] { return server.Listen(1, maxCalls); });
    }
    ~Listening() {
        // Listen may not have begun yet on its thread: stop until it has.
        while (server.StopListening() != RPC_S_OK &&
               done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
        EXPECT_EQ(done.get(), RPC_S_OK);
    }
    Server server;
    std::future<RpcStatus> done;
};

// A socket file at `path` that nobody listens on.
inline void MakeStaleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

}  // namespace nx::rpc::test
