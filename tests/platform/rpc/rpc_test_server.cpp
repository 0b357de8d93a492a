// The test interface served on an endpoint until its Stop procedure is called: the server
// that the interoperability test drives with an independent DCE RPC client.
//   rpc_test_server <endpoint>      e.g. rpc_test_server '\pipe\NxRpcInterop'
// Prints "listening" once the endpoint accepts calls; exits with the RPC status of the first
// failing step, 0 after a clean stop.
#include <cstdio>

#include "tests/platform/rpc/TestInterface.h"

int main(int argc, char** argv) {
    using namespace nx::rpc;
    if (argc != 2) {
        std::fprintf(stderr, "usage: rpc_test_server <endpoint>\n");
        return 2;
    }
    Server server;
    RpcStatus st = server.UseProtseqEp("ncacn_np", 1234, argv[1]);
    if (st == RPC_S_OK) st = server.RegisterIf(test::TestInterface(), test::TestHandlers(&server));
    if (st != RPC_S_OK) {
        std::fprintf(stderr, "rpc_test_server: registration failed with %u\n", st);
        return static_cast<int>(st);
    }
    std::printf("listening\n");
    std::fflush(stdout);
    st = server.Listen(1, 1234);
    if (st == RPC_S_OK) st = server.UnregisterIf(nullptr, true);
    return static_cast<int>(st);
}
