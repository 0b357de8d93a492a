// Conversion between mapiadmin's item model (ItemModel.h) and the SPropValue of the MAPI ABI.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/mapi/Mapi.h"
#include "tools/mapiadmin/ItemModel.h"

namespace nx::mapiadmin {

// The model's GUID and the ABI's.
constexpr GUID ToGuid(const Guid& g) {
    GUID out{g.data1, g.data2, g.data3, {}};
    std::copy(g.data4, g.data4 + 8, out.Data4);
    return out;
}
constexpr Guid FromGuid(const GUID& g) {
    Guid out{g.Data1, g.Data2, g.Data3, {}};
    std::copy(g.Data4, g.Data4 + 8, out.data4);
    return out;
}

// Owns the memory that SPropValue arrays built by ToSPropValue point into; SetProps copies what
// it keeps, so the arena lives only as long as the call.
class PropArena {
public:
    void* Alloc(std::size_t bytes);
    template <class T>
    T* New(std::size_t n) {
        return static_cast<T*>(Alloc(sizeof(T) * (n == 0 ? 1 : n)));
    }

private:
    std::vector<std::unique_ptr<std::max_align_t[]>> m_blocks;
};

// The SPropValue of prop under `tag` (the prop's own tag, or the tag a named property resolved
// to). Text values carry a terminating NUL; InputError when a text value holds U+0000, which MAPI
// text cannot carry.
SPropValue ToSPropValue(const Prop& prop, ULONG tag, PropArena& arena);

// The model value of v. Returns false (prop untouched) for a type mapiadmin does not carry
// (PT_ERROR, PT_OBJECT, PT_NULL, ...).
bool FromSPropValue(const SPropValue& v, Prop& prop);

}  // namespace nx::mapiadmin
