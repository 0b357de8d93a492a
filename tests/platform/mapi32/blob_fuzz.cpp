// Fuzz target over the stored property encoding: a property blob read from a store file is
// parsed, decoded, turned into MAPI property values and encoded again; nothing may crash, leak
// or read out of bounds, and what decodes must re-encode to the same bytes. A blob of the first
// store format (what the upgrade of such a file reads) must decode to values that the current
// format keeps as they are.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/mapi32/Memory.h"
#include "platform/mapi32/Props.h"

using namespace nx::mapi32;

namespace {
bool HasNulUnit(std::string_view utf16) {
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2)
        if (utf16[i] == 0 && utf16[i + 1] == 0) return true;
    return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view blob(reinterpret_cast<const char*>(data), size);
    PropMap upgraded;
    if (SUCCEEDED(DecodeBlobV1(blob, upgraded))) {
        PropMap again;
        if (FAILED(DecodeBlob(EncodeBlob(upgraded), again)) || again.size() != upgraded.size()) std::abort();
        for (const auto& [id, v] : upgraded) {
            const StoredValue& w = again[id];
            if (w.type != v.type || w.payload != v.payload || w.outOfLine != v.outOfLine ||
                w.Size() != v.Size())
                std::abort();
        }
    }
    std::vector<PropRef> refs;
    if (FAILED(ParseBlob(blob, refs))) return 0;
    // The index finds every value it lists.
    RecordView view;
    if (!view.Open(blob) || view.Count() != refs.size()) std::abort();
    for (const auto& r : refs) {
        PropRef found{};
        if (!view.Find(PROP_ID(r.tag), found) || found.tag != r.tag || found.payload != r.payload)
            std::abort();
    }
    PropMap props;
    if (FAILED(DecodeBlob(blob, props))) std::abort();  // parse and decode must agree
    if (EncodeBlob(props) != blob) std::abort();        // a valid blob is canonical
    PropArrayBuilder builder;
    for (const auto& r : refs) {
        if (r.outOfLine) {
            builder.AddError(PROP_ID(r.tag), MAPI_E_NOT_ENOUGH_MEMORY);
            continue;
        }
        ULONG type = PROP_TYPE(r.tag);
        builder.AddValue(r.tag, type, r.payload);
        // Text is also answered in 8 bits.
        if (type == PT_UNICODE || type == PT_MV_UNICODE)
            builder.AddValue(r.tag, type == PT_UNICODE ? PT_STRING8 : PT_MV_STRING8, r.payload);
    }
    LPSPropValue values = builder.Build();
    // Every value handed out converts back to the payload it came from; text only when it has
    // no NUL code unit, where a C string would end.
    std::size_t k = 0;
    for (const auto& r : refs) {
        LPSPropValue v = &values[k++];
        ULONG type = PROP_TYPE(r.tag);
        if (!r.outOfLine && (type == PT_UNICODE || type == PT_MV_UNICODE)) ++k;  // skip the 8-bit view
        if (r.outOfLine || type == PT_MV_UNICODE) continue;
        if (type == PT_UNICODE && HasNulUnit(r.payload)) continue;
        if (FromSPropValue(*v).payload != r.payload) std::abort();
    }
    FreeBuffer(values);
    return 0;
}
