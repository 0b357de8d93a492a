// The NDR 2.0 engine: one marshaller and one unmarshaller for every parameter shape of an
// interface table, used by the server (request in, reply out) and by the client (request out,
// reply in).
//
// Shapes on the wire (top-level reference pointers carry no referent id):
//   WChar           align 2; one UTF-16 code unit
//   String          align 4; max count, offset 0, actual count (terminator included), the units
//   FixedArray      align 4; count (must equal the table's size), then that many units
//   SizedOutString  align 4; max count (must equal the table's size), offset 0, actual count,
//                   the units; actual <= max
//   Long            align 4; 32-bit two's complement
//
// The unmarshaller makes the correlation checks a robust Windows stub makes and answers
// RPC_X_BAD_STUB_DATA on any of them: offset not 0, actual count 0 or above the max count,
// missing terminator, array count different from the table, max count of a sized string
// different from its buffer, a max count above the per-call cap, or fewer bytes than the
// counts announce. Bytes after the last parameter (padding a sender may add) are ignored.
//
// Text that reaches a handler stops at its first NUL, as the wchar_t* a C handler gets would;
// text marshalled out likewise ends at its first NUL, and a sized string is cut to fit its
// buffer (N - 1 units and the terminator) without splitting a surrogate pair.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace nx::rpc::ndr {

enum class Pass { Request, Reply };

// True when the parameter crosses the wire in that pass: [in] and [in, out] in the request,
// [out] and [in, out] in the reply.
bool Travels(const Param& p, Pass pass);

// Appends the NDR form of the parameters that travel in pass. Alignment is counted from the
// start of out's current end (the start of the stub).
void Marshal(const Procedure& proc, Pass pass, Args& args, std::vector<uint8_t>& out);

// Reads the parameters that travel in pass from a whole stub into args (the others keep
// their values). bigEndian follows the integer representation of the sender's drep.
RpcStatus Unmarshal(const Procedure& proc, Pass pass, std::span<const uint8_t> stub, bool bigEndian,
                    Args& args);

// Checks that an interface table describes only what the engine can carry: FixedArray and
// SizedOutString with a size of at least 1 and within the per-call cap, WChar and Long.
RpcStatus CheckInterface(const Interface& iface);

}  // namespace nx::rpc::ndr
