// The one bridge from the Linux RPC runtime's call values (nx::rpc::Args, laid out by the
// interface table) to the typed procedures of agent/Procedures.h. Argument i of a call is
// parameter i of the signature; a returned result goes to the last [out] long. The interface
// table derives its shapes from the same signatures, so the two cannot disagree.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "agent/Procedures.h"
#include "platform/rpc/Rpc.h"

namespace nx::agent {
namespace args_adapter {

template <typename T>
struct Arg;

template <>
struct Arg<WireChar> {
    static WireChar Get(nx::rpc::Args& args, std::size_t i) { return args.WChar(i); }
    static void Done(nx::rpc::Args&, std::size_t) {}
};

template <>
struct Arg<InText> {
    // The wire's zero-terminated string ends at its first zero unit.
    static InText Get(nx::rpc::Args& args, std::size_t i) { return InText(args.Text(i).c_str()); }
    static void Done(nx::rpc::Args&, std::size_t) {}
};

template <>
struct Arg<FolderBuffer> {
    static FolderBuffer Get(nx::rpc::Args& args, std::size_t i) {
        std::vector<char16_t>& units = args.Array(i);
        assert(units.size() == kFolderBufferUnits);  // the runtime refuses any other count
        return FolderBuffer(units.data(), kFolderBufferUnits);
    }
    static void Done(nx::rpc::Args&, std::size_t) {}
};

template <uint32_t N>
struct Arg<OutText<N>> {
    // The procedure writes into an N-unit buffer, as a stub's would be...
    static OutText<N> Get(nx::rpc::Args& args, std::size_t i) {
        std::u16string& text = args.Text(i);
        text.assign(N, u'\0');
        return OutText<N>(text.data());
    }
    // ... and the runtime sends the text up to its terminator.
    static void Done(nx::rpc::Args& args, std::size_t i) {
        std::u16string& text = args.Text(i);
        text.resize(std::char_traits<char16_t>::length(text.c_str()));
    }
};

template <>
struct Arg<int32_t&> {
    static int32_t& Get(nx::rpc::Args& args, std::size_t i) { return args.Long(i); }
    static void Done(nx::rpc::Args&, std::size_t) {}
};

template <typename R, typename... P, std::size_t... I>
void Call(R (*procedure)(P...), nx::rpc::Args& args, std::index_sequence<I...>) {
    assert(args.size() == sizeof...(P) + (std::is_void_v<R> ? 0 : 1));
    if constexpr (std::is_void_v<R>) {
        procedure(Arg<P>::Get(args, I)...);
    } else {
        const int32_t result = procedure(Arg<P>::Get(args, I)...);
        args.Long(sizeof...(P)) = result;
    }
    (Arg<P>::Done(args, I), ...);
}

template <typename R, typename... P>
void Call(R (*procedure)(P...), nx::rpc::Args& args) {
    Call(procedure, args, std::index_sequence_for<P...>());
}

}  // namespace args_adapter

// The runtime's handler for a typed procedure.
template <auto Procedure>
nx::rpc::Handler HandlerFor() {
    return [](nx::rpc::Args& args) { args_adapter::Call(Procedure, args); };
}

}  // namespace nx::agent
