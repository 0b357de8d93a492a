// The zone rule stored with each appointment (48 bytes, little-endian): lBias, lStandardBias,
// lDaylightBias (4 bytes each), wStandardYear, stStandardDate (8 x 2 bytes), wDaylightYear,
// stDaylightDate. That is the registry's "TZI" layout (platform/system/Tzi.h) with a year before
// each date; the years repeat their dates' own wYear.
#pragma once

#include <cstdint>
#include <vector>

#include "common/TimeZone.h"

namespace NAMESPACE_MAPI {

inline constexpr std::size_t kTimeZoneStructSize = 48;

// The 48 bytes of a zone's rule (its texts are not stored). 0 when `out` is null or memory runs
// out, else 1.
int SerializeTimeZoneStruct(const NAMESPACE_COMMON::tagNxTimeZone& zone, std::vector<uint8_t>* out);

// The zone rule of a stored value, from its first 48 bytes, with empty texts. A value cut short
// (or no value) is no zone: false, and `zone` is left as it was.
bool ParseTimeZoneStruct(const uint8_t* bytes, std::size_t size, NAMESPACE_COMMON::tagNxTimeZone& zone);

}  // namespace NAMESPACE_MAPI
