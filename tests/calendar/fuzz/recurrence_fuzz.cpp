// Stored recurrence bytes from any item: the read, then the host's elements and the exceptions
// text. Nothing may read past the bytes, no list may outgrow what the bytes carry, every line of
// the exceptions text stays within its buffer, and the document is well-formed XML 1.0 that loads
// again with the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "calendar/RecurrencePattern.h"
#include "tests/support/StrictXml.h"

using namespace NAMESPACE_MAPI;
using NAMESPACE_COMMON::CXMLParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tagRecurrencePattern pattern;
    const std::size_t used = ParseRecurrencePattern(data, size, pattern);
    if (used > size) std::abort();
    if (pattern.DeletedInstanceDates.size() > size / 4 || pattern.Exceptions.size() > size / 4) std::abort();

    CXMLParser doc;
    if (!CreateCalendarDocument(doc)) return 0;
    AddCalendarElement(doc, "Description", "Stand-up");
    AddCalendarElement(doc, "bAlldayEvent", "TRUE");
    AddCalendarElement(doc, "lReminderMinutes", "15");
    AddCalendarElement(doc, "lRecurType", "1");
    RecurrencePatternToXml(pattern, doc);

    const std::string rule = CXMLParser::GetNodeText(doc.SelectNode("/Calendar/ExceptionRule"));
    for (std::size_t at = 0, next; at < rule.size(); at = next + 2) {
        next = rule.find("\r\n", at);
        if (next == std::string::npos) next = rule.size();
        if (next - at + 2 > 1023) std::abort();  // a line and its CR LF fit the 1024-unit buffer
    }
    const std::string xml = doc.GetXML();
    if (!nx::test::StrictXmlError(xml).empty()) std::abort();  // what the host receives is XML 1.0
    CXMLParser received;
    received.Init();
    received.LoadXML(xml);
    if (CXMLParser::GetNodeText(received.SelectNode("/Calendar/ExceptionRule")) != rule) std::abort();
    return 0;
}
