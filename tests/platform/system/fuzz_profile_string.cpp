// Fuzz target: the profile-file reader must survive any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/system/ProfileString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)nx::sys::GetProfileStringFromBytes(bytes, "Outlook", "subfolder", "false", 260);
    (void)nx::sys::GetProfileStringFromBytes(bytes, "Outlook", "XMLPath", "", 260);
    return 0;
}
