// The one rule for who may be at the other end of a pipe (platform/rpc/PeerPolicy.h), fed
// identities of both systems' forms; on POSIX also the identity the system gives for a real peer.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/rpc/PeerPolicy.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>

#include "platform/rpc/Transport.h"
#endif

namespace {

using nx::rpc::PeerRefusal;
using nx::rpc::PeerRole;
using nx::rpc::UserId;

// S-1-5-21-1-2-3-1001 and -1002: two accounts of one machine, as SIDs.
const UserId kSidA{{1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0}};
const UserId kSidB{{1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xEA, 3, 0, 0}};
// The domain's SID alone (S-1-5-21-1-2-3): kSidA without its last sub-authority.
const UserId kDomain{{1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}};
// uids 1000 and 0 in the POSIX form.
const UserId kUid1000{{0xE8, 3, 0, 0}};
const UserId kRoot{{0, 0, 0, 0}};

TEST(PeerPolicy, AdmitsThePeerOfTheSameUserOnly) {
    struct Case {
        const char* name;
        PeerRole role;
        std::optional<UserId> peer;
        UserId self;
        const char* refusal;  // null: admitted
    };
    const char* const callerLine = "rpc: connection refused: the peer runs as another user";
    const char* const listenerLine =
        "rpc: \\pipe\\OutlookServer32 refused: the listener runs as another user";
    const Case cases[] = {
        {"a caller of the same account", PeerRole::Caller, kSidA, kSidA, nullptr},
        {"a listener of the same uid", PeerRole::Listener, kUid1000, kUid1000, nullptr},
        {"a caller of another account", PeerRole::Caller, kSidB, kSidA, callerLine},
        {"a listener of another account", PeerRole::Listener, kSidB, kSidA, listenerLine},
        {"root listening for a user", PeerRole::Listener, kRoot, kUid1000, listenerLine},
        {"a user calling root", PeerRole::Caller, kUid1000, kRoot, callerLine},
        {"a SID that is the start of ours", PeerRole::Caller, kDomain, kSidA, callerLine},
        {"a peer the system does not name", PeerRole::Listener, std::nullopt, kSidA, listenerLine},
        {"unknown to ourselves, an unnamed peer alike", PeerRole::Caller, UserId{}, UserId{}, callerLine},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> refusal =
            PeerRefusal(c.role, "\\pipe\\OutlookServer32", c.peer, c.self);
        EXPECT_EQ(refusal.value_or("admitted"), c.refusal ? c.refusal : "admitted") << c.name;
        EXPECT_EQ(nx::rpc::IsSameUser(c.peer, c.self), c.refusal == nullptr) << c.name;
    }
}

#ifndef _WIN32
TEST(PeerPolicy, APeerOfThisProcessIsThisUser) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const std::optional<UserId> peer = nx::rpc::PeerUser(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(peer, nx::rpc::ProcessUser());
    EXPECT_FALSE(PeerRefusal(PeerRole::Caller, "", peer, nx::rpc::ProcessUser()));
}
#endif

}  // namespace
