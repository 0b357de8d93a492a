// Deterministic snapshots of a folder for the kill test and its writer: generation `g` of a state
// of `items` items less one in 101, each generation a few percent of changes away from the one
// before (a residue class of items missing, times that move, items whose time status is null).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "journal/LogItemArray.h"

namespace nx::test {

// An entry-id-like text for item `k`: a long prefix shared by every item (the store's part), then
// the item's own part, as a store's ids look.
inline std::u16string JournalItemId(uint32_t k) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "%08X%08X", k * 2654435761u, k);
    const std::string text =
        "0000000038A1BB1005E5101AA1BB08002B2A56C20000006D737073742E646C6C00000000" + std::string(tail);
    return std::u16string(text.begin(), text.end());
}

inline bool KillItemPresent(uint32_t k, uint32_t g) {
    return (k + g * 7) % 101 != 0;
}
inline double KillItemTime(uint32_t k, uint32_t g) {
    return 45000.0 + k + ((g + k) / 150) / 1000.0;
}
inline int32_t KillItemStatus(uint32_t k) {
    return k % 50 == 0 ? NX_LOG_TIME_NULL : NX_LOG_TIME_VALID;
}

inline void FillKillSnapshot(CLogItemArray& a, uint32_t items, uint32_t g) {
    for (uint32_t k = 0; k < items; ++k)
        if (KillItemPresent(k, g)) a.Add(JournalItemId(k), KillItemTime(k, g), KillItemStatus(k));
}

}  // namespace nx::test
