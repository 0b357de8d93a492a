// Fuzz target: any registry value read as a "TZI" rule; a value that is read packs back to
// exactly its bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/system/Tzi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nx::sys::TziRule rule;
    if (!nx::sys::ParseTzi(data, size, rule)) return 0;
    const auto packed = nx::sys::PackTzi(rule);
    if (std::memcmp(packed.data(), data, packed.size()) != 0) __builtin_trap();
    return 0;
}
