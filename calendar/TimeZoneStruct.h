// The zone rule stored with each appointment (48 bytes, little-endian): lBias, lStandardBias,
// lDaylightBias (4 bytes each), wStandardYear, stStandardDate (8 x 2 bytes), wDaylightYear,
// stDaylightDate. The years before each date repeat that date's own wYear.
#pragma once

#include <cstdint>
#include <vector>

#include "common/TimeZone.h"

namespace NAMESPACE_MAPI {

inline constexpr std::size_t kTimeZoneStructSize = 48;

// The 48 bytes of a zone's rule (its texts are not stored). 0 when `out` is null or memory runs
// out, else 1.
int SerializeTimeZoneStruct(const NAMESPACE_COMMON::tagNxTimeZone& zone, std::vector<uint8_t>* out);

// The zone rule of a stored value; each field is read only when it fits, the rest stays 0, and
// the zone's texts stay empty. A null pointer gives the empty zone.
NAMESPACE_COMMON::tagNxTimeZone ParseTimeZoneStruct(const uint8_t* bytes, std::size_t size);

}  // namespace NAMESPACE_MAPI
