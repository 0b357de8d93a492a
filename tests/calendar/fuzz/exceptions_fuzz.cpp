// The host's exceptions text (the inbound "ExceptionRule"): parsed, put into a series, written and
// read back. Nothing may read past the text, and a pattern built from any accepted text must be
// read back whole with as many exceptions as were written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "calendar/RecurrencePattern.h"

using namespace NAMESPACE_MAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tagExceptionsText text;
    if (!ParseExceptionsText(std::string_view(reinterpret_cast<const char*>(data), size), text)) return 0;
    CCalendarEx r;
    r.lRecurType = 1;
    r.dtStartTime = NAMESPACE_COMMON::CDateTime(2009, 3, 2, 9, 30, 0);
    r.dtEndTime = NAMESPACE_COMMON::CDateTime(2009, 3, 2, 10, 0, 0);
    tagRecurrencePattern pattern;
    BuildRecurrencePattern(pattern, r);
    ApplyExceptions(pattern, text, {"Stand-up", "", 0, 15}, nullptr);
    std::vector<uint8_t> bytes;
    if (SerializeRecurrencePattern(pattern, &bytes) != 1) return 0;
    tagRecurrencePattern back;
    if (ParseRecurrencePattern(bytes.data(), bytes.size(), back) != bytes.size()) std::abort();
    if (text.Modifications.size() < 0x10000 && back.Exceptions.size() != text.Modifications.size()) std::abort();
    BuildExceptionsText(back, {"Stand-up", "", 0, 15});
    return 0;
}
