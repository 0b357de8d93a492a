#include "calendar/NamedProps.h"

#include "common/MapiFunctions.h"

namespace NAMESPACE_MAPI {

HRESULT ResolveNamedProps(IMAPIProp* object, std::span<const NamedProp> names, ULONG unresolved,
                          std::vector<ULONG>& tags) {
    tags.assign(names.size(), unresolved);
    if (object == nullptr || names.empty()) return MAPI_E_INVALID_PARAMETER;
    std::vector<MAPINAMEID> ids(names.size());
    std::vector<LPMAPINAMEID> pointers(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        ids[i].lpguid = const_cast<LPGUID>(names[i].set);
        ids[i].ulKind = MNID_ID;
        ids[i].Kind.lID = names[i].lid;
        pointers[i] = &ids[i];
    }
    MapiBuffer<SPropTagArray> answer(MapiTable().MAPIFreeBuffer);
    const HRESULT hr =
        object->GetIDsFromNames(static_cast<ULONG>(names.size()), pointers.data(), MAPI_CREATE, answer.put());
    if (FAILED(hr) || !answer || answer->cValues != names.size()) return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ULONG id = answer->aulPropTag[i];
        // A name that failed comes back as PT_ERROR (and the call as a warning).
        if (PROP_TYPE(id) == PT_ERROR || PROP_ID(id) == 0) continue;
        tags[i] = PROP_TAG(names[i].type, PROP_ID(id));
    }
    return hr;
}

}  // namespace NAMESPACE_MAPI
