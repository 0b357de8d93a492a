// What the store benchmarks share: a temporary world (the tests' one, the MAPI runtime loaded and
// mapiadmin's default store made), the agent's interface served on a real socket in this process,
// and the small MAPI chores of filling a folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "agent/Interfaces.h"
#include "agent/ServiceHandlers.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "tests/support/Process.h"
#include "tests/support/TempWorld.h"

namespace nx::bench {

inline int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// A fresh temporary world (tests/support/TempWorld.h) tagged `name`, with a work folder (contact
// pictures), the runtime loaded and the default store made; it lasts as long as the benchmark
// process. Its root; empty when a step failed.
inline std::filesystem::path MakeStoreWorld(const std::string& name) {
    static std::list<nx::test::TempWorld> worlds;
    // A short parent: the world's pipes are sockets, whose path has 108 bytes.
    const nx::test::TempWorld& world = worlds.emplace_back(name, "/tmp");
    std::filesystem::create_directories(world.Root() / "work");
    if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) return {};
    const nx::test::ProcessResult admin = nx::test::RunProcess({NX_BIN_DIR "/mapiadmin", "init"});
    return admin.exitCode == 0 ? world.Root() : std::filesystem::path();
}

// The agent's interface served in this process, as the agent serves it, and a binding to it.
struct AgentServer {
    nx::rpc::Server server;
    std::future<nx::rpc::RpcStatus> listening;
    std::shared_ptr<nx::rpc::Binding> binding;

    bool Start() {
        if (server.UseProtseqEp(nx::agent::kProtseq, nx::agent::kMaxCalls, nx::agent::kAgentEndpoint) !=
                nx::rpc::RPC_S_OK ||
            server.RegisterIf(nx::agent::AgentInterface(), nx::agent::BuildAgentHandlers()) !=
                nx::rpc::RPC_S_OK)
            return false;
        listening = std::async(std::launch::async, [this] { return server.Listen(1, nx::agent::kMaxCalls); });
        return nx::rpc::BindingFromStringBinding("ncacn_np:[\\pipe\\MapiServer64]", binding) ==
                   nx::rpc::RPC_S_OK &&
               binding;
    }
    // Calls procedure `procedure` with `args`; true when the call went through.
    bool Call(uint32_t procedure, nx::rpc::Args& args) {
        return binding && binding->Call(nx::agent::AgentInterface(), procedure, args) == nx::rpc::RPC_S_OK;
    }
    static nx::rpc::Args ArgsOf(uint32_t procedure) {
        return nx::rpc::Args(nx::agent::AgentInterface().procedures[procedure]);
    }
    // Drops the binding and stops serving once the calls in flight returned; again is harmless.
    void Stop() {
        binding.reset();
        if (!listening.valid()) return;
        server.StopListening();
        listening.wait();
        listening = {};
        server.UnregisterIf(nullptr, false);
    }
    ~AgentServer() { Stop(); }
};

// A named property of a set: the tags GetIDsFromNames gives for a list of them.
struct NamedProp {
    const GUID* set;
    LONG lid;
    ULONG type;
};

// The tags (of each one's type) of `props` on `message`, made when missing; empty on failure.
inline std::vector<ULONG> NamedTags(IMessage* message, const std::vector<NamedProp>& props) {
    std::vector<MAPINAMEID> names(props.size());
    std::vector<LPMAPINAMEID> pointers;
    for (std::size_t k = 0; k < names.size(); ++k) {
        names[k] = {const_cast<LPGUID>(props[k].set), MNID_ID, {}};
        names[k].Kind.lID = props[k].lid;
        pointers.push_back(&names[k]);
    }
    MapiBuffer<SPropTagArray> tags(MapiTable().MAPIFreeBuffer);
    if (FAILED(message->GetIDsFromNames(static_cast<ULONG>(pointers.size()), pointers.data(), MAPI_CREATE,
                                        tags.put())))
        return {};
    std::vector<ULONG> out;
    for (ULONG k = 0; k < tags->cValues; ++k)
        out.push_back(PROP_TAG(props[k].type, PROP_ID(tags->aulPropTag[k])));
    return out;
}

// The folder's entry id as the host writes it (hex); empty when it cannot be read.
inline std::string FolderIdHex(IMAPIFolder* folder) {
    MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(folder, PR_ENTRYID);
    return id ? NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb) : std::string();
}

}  // namespace nx::bench
