// Entry-id text from the host: HexStringToBinary must take any bytes, and clean hex must
// round-trip through BinaryToHexString.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<uint8_t> bytes = NAMESPACE_COMMON::HexStringToBinary(text);
    const std::string hex =
        NAMESPACE_COMMON::BinaryToHexString(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (hex.size() != bytes.size() * 2) std::abort();
    if (NAMESPACE_COMMON::HexStringToBinary(hex) != bytes) std::abort();
    return 0;
}
