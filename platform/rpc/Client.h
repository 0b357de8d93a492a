// Internals of the client that the runtime's tests and benchmarks reach.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/rpc/Rpc.h"
#include "platform/rpc/Transport.h"

namespace nx::rpc {

using Connector = std::function<RpcStatus(std::unique_ptr<ByteStream>&)>;

// A binding whose connections come from connector (an in-memory pipe in tests) instead of the
// endpoint's socket.
std::shared_ptr<Binding> MakeBinding(std::string endpoint, Connector connector);

}  // namespace nx::rpc
