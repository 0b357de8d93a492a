// Fuzz target over mapiadmin's JSON item reader: any input either fails with InputError or gives
// items (one, or an array) each of whose dump reads back to the same dump (the writer and the reader agree on
// every value, unpaired surrogates, odd booleans and non-text PT_STRING8 bytes included).
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/mapiadmin/ItemJson.h"

using namespace nx::mapiadmin;

namespace {
void DropFileValues(std::vector<Prop>& props) {
    std::erase_if(props, [](const Prop& p) { return p.file.has_value(); });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<Item> items;
    try {
        items = ItemsFromJson(text);
    } catch (const InputError&) {
        return 0;
    }
    for (Item& item : items) {
        DropFileValues(item.props);
        for (auto& a : item.attachments) DropFileValues(a.props);
        const std::string first = ItemToJson(item);
        const std::string second = ItemToJson(ItemFromJson(first));
        if (first != second) std::abort();
    }
    return 0;
}
