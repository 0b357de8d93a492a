#include "platform/system/ExportName.h"

namespace nx::sys {

ExportName ParseExportName(std::string_view name) {
    if (name.empty()) return {};
    if (name.front() != '#') return {ExportName::kName, 0};
    const std::string_view digits = name.substr(1);
    // At most five digits, so the value cannot overflow before it is checked; no leading zero.
    if (digits.empty() || digits.size() > 5 || digits.front() == '0') return {};
    uint32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return {};
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 0xFFFF) return {};
    return {ExportName::kOrdinal, static_cast<uint16_t>(value)};
}

}  // namespace nx::sys
