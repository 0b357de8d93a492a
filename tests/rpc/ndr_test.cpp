// The NDR engine on its own: what a client marshals the server reads back unchanged (and the
// reverse for replies), in both integer representations, with the cuts and defaults the engine
// applies at the edges.
#include "platform/rpc/Ndr.h"

#include <gtest/gtest.h>

#include "tests/rpc/TestInterface.h"

namespace nx::rpc::test {
namespace {

// Big-endian form of a little-endian stub whose layout is known: every 2- and 4-byte field
// swapped in place. layout lists the field widths in order (padding as width-1 bytes).
std::vector<uint8_t> Swap(const std::vector<uint8_t>& le, const std::vector<int>& layout) {
    std::vector<uint8_t> be = le;
    std::size_t pos = 0;
    for (int w : layout) {
        if (w > 1)
            std::reverse(be.begin() + static_cast<std::ptrdiff_t>(pos),
                         be.begin() + static_cast<std::ptrdiff_t>(pos + w));
        pos += static_cast<std::size_t>(w);
    }
    return be;
}

TEST(RpcNdr, RequestAndReplyRoundTrip) {
    const Interface& i = TestInterface();
    const std::u16string kSurrogates{u'a', 0xD83D, 0xDE00, u'b', 0xD800, u'x'};
    struct Case {
        const char* name;
        std::u16string doc;
        std::u16string expectId;  // what the client gets back in the 400-unit identifier
    } cases[] = {
        {"empty", u"", u""},
        {"ascii", u"<contact/>", u"<contact/>"},
        {"pair and unpaired surrogate", kSurrogates, kSurrogates},
        {"embedded NUL ends the text", std::u16string(u"ab\0cd", 5), u"ab"},
        {"399 units fit", std::u16string(399, u'k'), std::u16string(399, u'k')},
        {"cut to 399 units", std::u16string(2000, u'k'), std::u16string(399, u'k')},
        {"pair not split at the cut", std::u16string(398, u'k') + u"\U0001F600", std::u16string(398, u'k')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Procedure& proc = i.procedures[kWrite];
        Args client(proc);
        client.Text(0) = c.doc;
        std::vector<uint8_t> request;
        ndr::Marshal(proc, ndr::Pass::Request, client, request);

        Args server(proc);
        ASSERT_EQ(ndr::Unmarshal(proc, ndr::Pass::Request, request, false, server), RPC_S_OK);
        EXPECT_EQ(server.Text(0), c.doc.substr(0, c.doc.find(u'\0')));
        server.Text(1) = server.Text(0);
        server.Text(2) = u"2026/01/02 03:04:05";
        server.Long(3) = -7;
        std::vector<uint8_t> reply;
        ndr::Marshal(proc, ndr::Pass::Reply, server, reply);

        ASSERT_EQ(ndr::Unmarshal(proc, ndr::Pass::Reply, reply, false, client), RPC_S_OK);
        EXPECT_EQ(client.Text(1), c.expectId);
        EXPECT_EQ(client.Text(2), u"2026/01/02 03:04:05");
        EXPECT_EQ(client.Long(3), -7);
    }
}

TEST(RpcNdr, FixedArrayIsAlwaysItsFullSize) {
    const Procedure& proc = TestInterface().procedures[kArray];
    for (std::size_t given : {0u, 10u, 3000u, 5000u}) {
        SCOPED_TRACE(given);
        Args a(proc);
        a.Array(0).assign(given, u'z');
        std::vector<uint8_t> stub;
        ndr::Marshal(proc, ndr::Pass::Request, a, stub);
        ASSERT_EQ(stub.size(), 4u + 6000u);
        Args b(proc);
        ASSERT_EQ(ndr::Unmarshal(proc, ndr::Pass::Request, stub, false, b), RPC_S_OK);
        ASSERT_EQ(b.Array(0).size(), 3000u);
        std::size_t kept = std::min<std::size_t>(given, 3000);
        EXPECT_EQ(std::count(b.Array(0).begin(), b.Array(0).end(), u'z'), static_cast<std::ptrdiff_t>(kept));
    }
}

TEST(RpcNdr, BigEndianStubsReadTheSame) {
    const Procedure& proc = TestInterface().procedures[kTwoTexts];
    Args a(proc);
    a.Text(0) = u"a";
    a.Text(1) = u"\x263a\x00e9";
    std::vector<uint8_t> le;
    ndr::Marshal(proc, ndr::Pass::Request, a, le);
    // max, offset, actual, 'a', NUL, then (aligned) max, offset, actual, two units, NUL.
    std::vector<uint8_t> be = Swap(le, {4, 4, 4, 2, 2, 4, 4, 4, 2, 2, 2});
    Args b(proc);
    ASSERT_EQ(ndr::Unmarshal(proc, ndr::Pass::Request, be, true, b), RPC_S_OK);
    EXPECT_EQ(b.Text(0), u"a");
    EXPECT_EQ(b.Text(1), u"\x263a\x00e9");
    // Read as little-endian, the same bytes fail the checks instead of being misread.
    Args c(proc);
    EXPECT_EQ(ndr::Unmarshal(proc, ndr::Pass::Request, be, false, c), RPC_X_BAD_STUB_DATA);
}

TEST(RpcNdr, InterfaceTablesTheEngineCannotCarryAreRefused) {
    Interface ok = TestInterface();
    EXPECT_EQ(ndr::CheckInterface(ok), RPC_S_OK);
    struct Case {
        const char* name;
        Param param;
    } cases[] = {
        {"array of 0", {Shape::FixedArray, Direction::InOut, 0}},
        {"sized string of 0", {Shape::SizedOutString, Direction::Out, 0}},
        {"array beyond the call cap", {Shape::FixedArray, Direction::In, 1u << 30}},
        {"unknown shape", {static_cast<Shape>(42), Direction::In, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interface bad = ok;
        bad.procedures[0].params = {c.param};
        EXPECT_EQ(ndr::CheckInterface(bad), RPC_S_INVALID_ARG);
    }
}

}  // namespace
}  // namespace nx::rpc::test
