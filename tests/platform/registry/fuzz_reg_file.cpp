// Fuzz target: the .reg reader must survive any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/registry/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const nx::reg::RegFile reg = nx::reg::RegFile::Parse(bytes);
    (void)reg.Find("HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles", "/opt/agent/NxAgentOutlook64");
    (void)reg.KeyExists("HKCU\\SoftWare");
    return 0;
}
