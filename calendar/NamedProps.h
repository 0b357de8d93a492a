// The named properties of an appointment: tables of names (property set, numeric id, type),
// each resolved to the store's tags in one GetIDsFromNames call.
#pragma once

#include <span>
#include <vector>

#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

struct NamedProp {
    const GUID* set;
    LONG lid;  // MNID_ID
    ULONG type;
};

// GetIDsFromNames (MAPI_CREATE) for every name of the table in one call. `tags` receives one tag per
// name, with the table's type, or `unresolved` for a name the store did not resolve (every name when
// the call failed or answered with another count). Returns the call's status: S_OK when all resolved.
HRESULT ResolveNamedProps(IMAPIProp* object, std::span<const NamedProp> names, ULONG unresolved,
                          std::vector<ULONG>& tags);

}  // namespace NAMESPACE_MAPI
