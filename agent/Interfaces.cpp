#include "agent/Interfaces.h"

#include <type_traits>
#include <vector>

namespace nx::agent {
namespace {

using nx::rpc::Direction;
using nx::rpc::Param;
using nx::rpc::Procedure;
using nx::rpc::Shape;

// The wire shape of each parameter type of agent/Procedures.h.
template <typename T>
struct WireParam;  // a type the interface cannot carry: no definition, so no table
template <>
struct WireParam<WireChar> {
    static constexpr Param param{Shape::WChar, Direction::In, 0};
};
template <>
struct WireParam<InText> {
    static constexpr Param param{Shape::String, Direction::In, 0};
};
template <>
struct WireParam<FolderBuffer> {
    static constexpr Param param{Shape::FixedArray, Direction::InOut, kFolderBufferUnits};
};
template <uint32_t N>
struct WireParam<OutText<N>> {
    static constexpr Param param{Shape::SizedOutString, Direction::Out, N};
};
template <>
struct WireParam<int32_t&> {
    static constexpr Param param{Shape::Long, Direction::Out, 0};
};

// A signature's parameters; a result (int32_t return) is the last [out] long.
template <typename R, typename... P>
std::vector<Param> ParamsOf(R (*)(P...)) {
    static_assert(std::is_void_v<R> || std::is_same_v<R, int32_t>, "a result is a long");
    std::vector<Param> params{WireParam<P>::param...};
    if constexpr (!std::is_void_v<R>) params.push_back(WireParam<int32_t&>::param);
    return params;
}

nx::rpc::Uuid MustParse(const char* text) {
    nx::rpc::Uuid uuid;
    nx::rpc::Uuid::Parse(text, uuid);
    return uuid;
}

nx::rpc::Interface MakeAgentInterface() {
    nx::rpc::Interface i;
    i.name = "agent";
    i.uuid = MustParse("ef5f4cf7-3a43-4410-ab61-cbf701f14135");
    i.versionMajor = 1;
    i.versionMinor = 0;
    // Only the signatures are used: nothing here calls (or links) the handlers.
#define NX_PROCEDURE(name) Procedure{#name, ParamsOf(static_cast<decltype(&name)>(nullptr))},
    i.procedures = {NX_AGENT_PROCEDURES(NX_PROCEDURE)};
#undef NX_PROCEDURE
    return i;
}

nx::rpc::Interface MakeCallbackInterface() {
    nx::rpc::Interface i;
    i.name = "host callback";
    i.uuid = MustParse("887e407b-88c9-4e15-9435-27481418cd5b");
    i.versionMajor = 1;
    i.versionMinor = 0;
#define NX_PROCEDURE(name) Procedure{#name, ParamsOf(static_cast<callback::name*>(nullptr))},
    i.procedures = {NX_CALLBACK_PROCEDURES(NX_PROCEDURE)};
#undef NX_PROCEDURE
    return i;
}

}  // namespace

const nx::rpc::Interface& AgentInterface() {
    static const nx::rpc::Interface iface = MakeAgentInterface();
    return iface;
}

const nx::rpc::Interface& CallbackInterface() {
    static const nx::rpc::Interface iface = MakeCallbackInterface();
    return iface;
}

}  // namespace nx::agent
