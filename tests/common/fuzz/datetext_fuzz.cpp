// Date texts from the host: any bytes parse to a valid date or to one of the two failure values,
// and a valid date's text reads back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/DateTime.h"

using NAMESPACE_COMMON::CDateTime;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CDateTime value;
    if (!value.ParseDateTime(text)) {
        if (value.GetStatus() != CDateTime::invalid) std::abort();
        if (value.GetValue() != 0.0 && value.GetValue() != -1.0) std::abort();
        return 0;
    }
    if (!value.IsValid()) std::abort();
    const std::string written = value.Format(NAMESPACE_COMMON::kDateTimePattern);
    CDateTime back;
    if (!back.ParseDateTime(written) || !(back == value)) std::abort();
    return 0;
}
