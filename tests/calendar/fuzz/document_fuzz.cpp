// Calendar documents from the host: the inbound parse, then the record's texts written into an
// outbound document and parsed again. Texts the document cannot carry as they are (bytes that are
// not UTF-8) come out replaced on the first pass; from then on a pass changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "calendar/CalendarEx.h"
#include "tests/support/StrictXml.h"

using namespace NAMESPACE_MAPI;
using NAMESPACE_COMMON::CXMLParser;

namespace {

// The record's texts and some values through an outbound document and the inbound parse.
void PassThroughDocument(const CCalendarEx& record, CCalendarEx& out) {
    CXMLParser doc;
    if (!CreateCalendarDocument(doc)) std::abort();
    AddCalendarElement(doc, "PIMID", record.PIMID);
    AddCalendarElement(doc, "CsFolder", record.CsFolder);
    AddCalendarElement(doc, "dtStartTime", FormatDocumentDate(record.dtStartTime));
    AddCalendarElement(doc, "lRecurInterval", FormatDocumentInteger(record.lRecurInterval));
    const std::string* description = record.FindField(kFieldDescription);
    if (description) AddCalendarElement(doc, "Description", *description);
    const std::string xml = doc.GetXML();
    if (!nx::test::StrictXmlError(xml).empty()) std::abort();  // every document sent is XML 1.0
    ParseCalendarXML(xml, out);
}

bool SameTexts(const CCalendarEx& a, const CCalendarEx& b) {
    const std::string* da = a.FindField(kFieldDescription);
    const std::string* db = b.FindField(kFieldDescription);
    return a.PIMID == b.PIMID && a.CsFolder == b.CsFolder && a.lRecurInterval == b.lRecurInterval &&
           (da == nullptr) == (db == nullptr) && (da == nullptr || *da == *db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CCalendarEx record;
    if (ParseCalendarXML(std::string_view(reinterpret_cast<const char*>(data), size), record) != 1)
        std::abort();
    for (const auto& item : record.GetItems())
        if (item->m_strValue.empty() || item->m_lType != kFieldItemType) std::abort();

    CCalendarEx once, twice;
    PassThroughDocument(record, once);
    if (once.lRecurInterval != record.lRecurInterval) std::abort();
    PassThroughDocument(once, twice);
    if (!SameTexts(once, twice)) std::abort();
    return 0;
}
