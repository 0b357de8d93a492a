// Fuzz target: the folder selection texts the host sends (SetContactFolder, SetCalendarFolder)
// through the event-id extraction, the trimming and the id-form checks, on a session object
// that is not logged on (so no MAPI call is made). Any byte sequence must be handled.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/MapiHelpers.h"
#include "mapi/MAPIObject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string out;
    if (NAMESPACE_COMMON::ExtractEventId(text, &out) && out.size() > text.size() + 9) __builtin_trap();
    NAMESPACE_COMMON::GetFolderTypeCode(text);
    static NAMESPACE_MAPI::CMAPIObject mapi;
    // Without a session every selection fails.
    if (mapi.SetContactFolder(text.c_str()) != 1) __builtin_trap();
    if (mapi.SetCalendarFolder(text.c_str()) != 1) __builtin_trap();
    return 0;
}
