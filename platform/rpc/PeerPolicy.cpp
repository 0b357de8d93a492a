#include "platform/rpc/PeerPolicy.h"

#include "platform/system/Ascii.h"

namespace nx::rpc {

bool IsSameUser(const std::optional<UserId>& peer, const UserId& self) {
    return !self.bytes.empty() && peer.has_value() && *peer == self;
}

std::optional<std::string> PeerRefusal(PeerRole role, std::string_view endpoint,
                                       const std::optional<UserId>& peer, const UserId& self) {
    if (IsSameUser(peer, self)) return std::nullopt;
    if (role == PeerRole::Caller)
        return std::string("rpc: connection refused: the peer runs as another user");
    return "rpc: " + std::string(endpoint) + " refused: the listener runs as another user";
}

bool IsLocalAddress(std::string_view address) {
    std::string a = nx::sys::AsciiLower(address);
    while (!a.empty() && a[0] == '\\') a.erase(0, 1);  // "\\." and "\\localhost" as UNC names
    return a.empty() || a == "." || a == "localhost" || a == "127.0.0.1" || a == "::1";
}

}  // namespace nx::rpc
