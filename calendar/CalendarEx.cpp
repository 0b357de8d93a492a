#include "calendar/CalendarEx.h"

#include <cstdio>
#include <limits>
#include <new>

#include "common/StringEx.h"

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

namespace NAMESPACE_MAPI {

void CCalendarEx::Clear() {
    m_items.clear();
    lCalType = -1;
    lFlag = 0;
    PIMID.clear();
    dtStartTime = CDateTime();
    dtEndTime = CDateTime();
    dtModifiedTime = CDateTime();
    nRingTone = 0;
    CsFolder.clear();
    lRecurType = 0;
    lRecurDay = 0;
    lRecurMonth = 0;
    lRecurInstance = 0;
    lRecurWeekDay = 0;
    lRecurWeekMask = 0;
    lRecurInterval = 1;
    lRecurRepeat = 0;
    dtRecurEndDate = CDateTime();
    bRecurHasEndDate = 0;
    lReminderMinutes = 0;
    Priority = 1;
    bPriorityGiven = false;
    bAlldayEvent = 0;
}

void CCalendarEx::AddItem(std::unique_ptr<CCalendarInfoEx> item) {
    if (item) m_items.push_back(std::move(item));
}

const std::string* CCalendarEx::FindField(int32_t fieldId) const {
    const std::string* found = nullptr;
    for (const auto& item : m_items)
        if (item->m_lFieldId == fieldId) found = &item->m_strValue;  // the last one wins
    return found;
}

bool ParseDocumentBoolean(std::string_view text) {
    return text == "TRUE";
}

CDateTime ParseDocumentDate(std::string_view text) {
    CDateTime value;
    value.ParseDateTime(text);  // a failure leaves the value and status the host's parser gives
    return value;
}

std::string FormatDocumentInteger(int32_t value) {
    return std::to_string(value);
}

const char* FormatDocumentBoolean(bool value) {
    return value ? "TRUE" : "FALSE";
}

std::string FormatDocumentDate(const CDateTime& value) {
    return value.Format(NAMESPACE_COMMON::kDateTimePattern);
}

namespace {

// Where one element of the inbound document goes.
struct InboundElement {
    const char* path;
    enum Kind { Integer, Text, Boolean, Date, Field } kind;
    int32_t CCalendarEx::*integer = nullptr;
    std::string CCalendarEx::*text = nullptr;
    CDateTime CCalendarEx::*date = nullptr;
    int32_t fieldId = 0;
};

// The elements WriteCalendars reads, in the order the host's document is read.
const InboundElement kInbound[] = {
    {"/Calendar/lFlag", InboundElement::Integer, &CCalendarEx::lFlag},
    {"/Calendar/PIMID", InboundElement::Text, nullptr, &CCalendarEx::PIMID},
    {"/Calendar/CsFolder", InboundElement::Text, nullptr, &CCalendarEx::CsFolder},
    {"/Calendar/Priority", InboundElement::Integer, &CCalendarEx::Priority},
    {"/Calendar/Description", InboundElement::Field, nullptr, nullptr, nullptr, kFieldDescription},
    {"/Calendar/Location", InboundElement::Field, nullptr, nullptr, nullptr, kFieldLocation},
    {"/Calendar/Body", InboundElement::Field, nullptr, nullptr, nullptr, kFieldBody},
    {"/Calendar/bAlldayEvent", InboundElement::Boolean, &CCalendarEx::bAlldayEvent},
    {"/Calendar/dtStartTime", InboundElement::Date, nullptr, nullptr, &CCalendarEx::dtStartTime},
    {"/Calendar/dtEndTime", InboundElement::Date, nullptr, nullptr, &CCalendarEx::dtEndTime},
    {"/Calendar/nRingTone", InboundElement::Integer, &CCalendarEx::nRingTone},
    {"/Calendar/lReminderMinutes", InboundElement::Integer, &CCalendarEx::lReminderMinutes},
    {"/Calendar/lRecurType", InboundElement::Integer, &CCalendarEx::lRecurType},
    {"/Calendar/TimeZone", InboundElement::Field, nullptr, nullptr, nullptr, kFieldTimeZone},
    {"/Calendar/lCalType", InboundElement::Integer, &CCalendarEx::lCalType},
    {"/Calendar/lRecurInterval", InboundElement::Integer, &CCalendarEx::lRecurInterval},
    {"/Calendar/lRecurMonth", InboundElement::Integer, &CCalendarEx::lRecurMonth},
    {"/Calendar/lRecurInstance", InboundElement::Integer, &CCalendarEx::lRecurInstance},
    {"/Calendar/lRecurWeekMask", InboundElement::Integer, &CCalendarEx::lRecurWeekMask},
    {"/Calendar/lRecurWeekDay", InboundElement::Integer, &CCalendarEx::lRecurWeekDay},
    {"/Calendar/lRecurDay", InboundElement::Integer, &CCalendarEx::lRecurDay},
    {"/Calendar/lRecurRepeat", InboundElement::Integer, &CCalendarEx::lRecurRepeat},
    {"/Calendar/bRecurHasEndDate", InboundElement::Boolean, &CCalendarEx::bRecurHasEndDate},
    {"/Calendar/dtRecurEndDate", InboundElement::Date, nullptr, nullptr, &CCalendarEx::dtRecurEndDate},
    {"/Calendar/ExceptionRule", InboundElement::Field, nullptr, nullptr, nullptr, kFieldExceptionRule},
};

}  // namespace

int ParseCalendarXML(std::string_view text, CCalendarEx& record) {
    try {
        CXMLParser document;
        if (!document.Init()) return 1;
        document.LoadXML(text);  // malformed text leaves the document empty: nothing below matches
        for (const InboundElement& element : kInbound) {
            const CXMLNode node = document.SelectNode(element.path);
            if (!node) continue;
            std::string value = CXMLParser::GetNodeText(node);
            switch (element.kind) {
                case InboundElement::Integer:
                    record.*element.integer = NAMESPACE_COMMON::ParseDecimalLong(value);
                    break;
                case InboundElement::Text:
                    record.*element.text = std::move(value);
                    break;
                case InboundElement::Boolean:
                    record.*element.integer = ParseDocumentBoolean(value) ? 1 : 0;
                    break;
                case InboundElement::Date:
                    record.*element.date = ParseDocumentDate(value);
                    break;
                case InboundElement::Field:
                    if (!value.empty())
                        record.AddItem(std::make_unique<CCalendarInfoEx>(element.fieldId, std::move(value)));
                    break;
            }
        }
        record.bPriorityGiven = static_cast<bool>(document.SelectNode("/Calendar/Priority"));
    } catch (const std::bad_alloc&) {
        // The members filled so far stay; the write dispatch decides on what the record holds.
    }
    return 1;
}

bool CreateCalendarDocument(CXMLParser& document) {
    return document.Init() && document.CreateHeader() && document.CreateRoot("Calendar");
}

CXMLNode AddCalendarElement(CXMLParser& document, const char* name, const std::string& text) {
    return document.CreateChildNode(name, text.c_str(), CXMLNode(), 1, 1);
}

bool BuildCalendarDeletionDocument(CXMLParser& document, int32_t flags, const std::string& pimid,
                                   const CDateTime& changeTime) {
    if (!CreateCalendarDocument(document)) return false;
    return AddCalendarElement(document, "lFlag", FormatDocumentInteger(flags)) &&
           AddCalendarElement(document, "PIMID", pimid) &&
           AddCalendarElement(document, "lCalType", FormatDocumentInteger(kWritableCalType)) &&
           AddCalendarElement(document, "LastModifiedTime", FormatDocumentDate(changeTime));
}

}  // namespace NAMESPACE_MAPI
