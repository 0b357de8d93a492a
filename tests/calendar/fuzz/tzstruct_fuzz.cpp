// A stored zone struct of any length: a value shorter than the struct is no zone and changes
// nothing; a whole one is read from its first 48 bytes, and written again gives back those bytes
// except the two separate years, which repeat their dates' years.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "calendar/TimeZoneStruct.h"

using namespace NAMESPACE_MAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NAMESPACE_COMMON::tagNxTimeZone zone;
    zone.DisplayName = "before";
    zone.Bias = 1;
    const NAMESPACE_COMMON::tagNxTimeZone before = zone;
    const bool read = ParseTimeZoneStruct(data, size, zone);
    if (read != (size >= kTimeZoneStructSize)) std::abort();
    if (!read) {
        if (!(zone == before)) std::abort();
        return 0;
    }
    if (!zone.DisplayName.empty() || !zone.StandardName.empty() || !zone.DaylightName.empty()) std::abort();
    std::vector<uint8_t> bytes;
    if (SerializeTimeZoneStruct(zone, &bytes) != 1 || bytes.size() != kTimeZoneStructSize) std::abort();
    std::vector<uint8_t> expected(data, data + kTimeZoneStructSize);
    std::memcpy(&expected[12], &expected[14], 2);
    std::memcpy(&expected[30], &expected[32], 2);
    if (bytes != expected) std::abort();
    return 0;
}
