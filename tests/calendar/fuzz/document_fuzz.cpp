// Calendar documents from the host: the inbound parse, then the record's texts written into an
// outbound document that must load again with the same texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "calendar/CalendarEx.h"

using namespace NAMESPACE_MAPI;
using NAMESPACE_COMMON::CXMLParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CCalendarEx record;
    if (ParseCalendarXML(std::string_view(reinterpret_cast<const char*>(data), size), record) != 1)
        std::abort();
    for (const auto& item : record.GetItems())
        if (item->m_strValue.empty() || item->m_lType != kFieldItemType) std::abort();

    CXMLParser doc;
    if (!CreateCalendarDocument(doc)) return 0;
    AddCalendarElement(doc, "PIMID", record.PIMID);
    AddCalendarElement(doc, "CsFolder", record.CsFolder);
    AddCalendarElement(doc, "dtStartTime", FormatDocumentDate(record.dtStartTime));
    AddCalendarElement(doc, "lRecurInterval", FormatDocumentInteger(record.lRecurInterval));
    for (const auto& item : record.GetItems()) AddCalendarElement(doc, "Description", item->m_strValue);

    CCalendarEx again;
    ParseCalendarXML(doc.GetXML(), again);
    if (again.PIMID != record.PIMID || again.CsFolder != record.CsFolder ||
        again.lRecurInterval != record.lRecurInterval)
        std::abort();
    const std::string* first = again.FindField(kFieldDescription);
    if (!record.GetItems().empty() &&
        (first == nullptr || again.GetItems().size() != 1 || *first != record.GetItems().front()->m_strValue))
        std::abort();
    return 0;
}
