// A stored zone struct of any length: the read fills only what fits, and a full struct written
// again gives back its bytes except the two separate years, which repeat their dates' years.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "calendar/TimeZoneStruct.h"

using namespace NAMESPACE_MAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const NAMESPACE_COMMON::tagNxTimeZone zone = ParseTimeZoneStruct(data, size);
    if (!zone.DisplayName.empty() || !zone.StandardName.empty() || !zone.DaylightName.empty()) std::abort();
    std::vector<uint8_t> bytes;
    if (SerializeTimeZoneStruct(zone, &bytes) != 1 || bytes.size() != kTimeZoneStructSize) std::abort();
    if (size >= kTimeZoneStructSize) {
        std::vector<uint8_t> expected(data, data + kTimeZoneStructSize);
        std::memcpy(&expected[12], &expected[14], 2);
        std::memcpy(&expected[30], &expected[32], 2);
        if (bytes != expected) std::abort();
    } else if (size > 0 && std::memcmp(bytes.data(), data, size < 12 ? size - size % 4 : 12) != 0) {
        std::abort();  // the biases that fit come through unchanged
    }
    return 0;
}
