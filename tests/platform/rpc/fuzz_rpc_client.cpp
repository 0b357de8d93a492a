// Fuzz target: the client side of a call against whatever a server might send back. The first
// byte picks the procedure; the rest is the byte stream "from the server" (bind_ack, then the
// response fragments), replayed as the connection's input, so the whole of Binding::Call runs:
// bind_ack parsing, call id matching, reassembly, fault handling, reply unmarshalling.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/rpc/Client.h"
#include "tests/platform/rpc/TestInterface.h"

namespace {

// A server that has said everything it will ever say: reads replay the canned bytes, then end
// of stream; whatever the client writes is accepted and dropped.
class CannedStream final : public nx::rpc::ByteStream {
public:
    CannedStream(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    long Read(void* buf, std::size_t n, int) override {
        std::size_t k = std::min(n, m_size - m_pos);
        std::memcpy(buf, m_data + m_pos, k);
        m_pos += k;
        return static_cast<long>(k);
    }
    nx::rpc::WriteResult WriteAll(const void*, std::size_t, int) override { return nx::rpc::WriteResult::Ok; }
    bool HasBufferedBytes() const override { return false; }
    bool PeerClosedOrReadable() override { return true; }  // always either bytes or the end
    void Shutdown() override {}

private:
    const uint8_t* m_data;
    std::size_t m_size, m_pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nx::rpc;
    if (size < 1) return 0;
    const Interface& iface = test::TestInterface();
    const uint16_t opnum = static_cast<uint16_t>(data[0] % iface.procedures.size());

    bool connected = false;
    auto binding = MakeBinding("\\pipe\\Fuzz", [&](std::unique_ptr<ByteStream>& out) {
        if (connected) return RPC_S_SERVER_UNAVAILABLE;  // one connection only
        connected = true;
        out = std::make_unique<CannedStream>(data + 1, size - 1);
        return RPC_S_OK;
    });
    Args args(iface.procedures[opnum]);
    if (opnum == test::kText || opnum == test::kWrite || opnum == test::kEcho) args.Text(0) = u"fuzz";
    binding->Call(iface, opnum, args);
    return 0;
}
