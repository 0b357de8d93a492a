#include "calendar/AppointmentXml.h"

#include <array>

#include "calendar/AppointmentWrite.h"
#include "calendar/CalendarEx.h"
#include "calendar/RecurrencePattern.h"
#include "calendar/TimeZoneStruct.h"
#include "common/DateTime.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/NamedProps.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::NamedProp;
using NAMESPACE_COMMON::NamedProperty;
using NAMESPACE_COMMON::ResolveNamedProps;
using NAMESPACE_COMMON::TimeZoneSource;

namespace {

constexpr std::array<ULONG, kAppointmentColumnCount> kColumns = {
    PR_ENTRYID,  PR_LONGTERM_ENTRYID_FROM_TABLE, PR_CREATION_TIME, PR_LAST_MODIFICATION_TIME, PR_SUBJECT_W,
    PR_PRIORITY,
};

// The named values of an appointment, in the order of one GetIDsFromNames / GetProps.
enum NamedSlot : std::size_t {
    kLocation,
    kAllDay,
    kStart,
    kEnd,
    kReminderSet,
    kReminderOverride,
    kReminderPlaySound,
    kReminderDelta,
    kRecurring,
    kRecurrenceType,
    kRecurrence,
    kZoneStruct,
    kNamedCount
};

constexpr std::array<NamedProperty, kNamedCount> kNamed = {
    NamedProp("PidLidLocation"),
    NamedProp("PidLidAppointmentSubType"),
    NamedProp("PidLidAppointmentStartWhole"),
    NamedProp("PidLidAppointmentEndWhole"),
    NamedProp("PidLidReminderSet"),
    NamedProp("PidLidReminderOverride"),
    NamedProp("PidLidReminderPlaySound"),
    NamedProp("PidLidReminderDelta"),
    NamedProp("PidLidRecurring"),
    NamedProp("PidLidRecurrenceType"),
    NamedProp("PidLidAppointmentRecur"),
    NamedProp("PidLidTimeZoneStruct"),
};

std::string Utf8(const WCHAR* text) {
    return text ? nx::sys::Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

// A stored UTC time as this machine's local time; `fallback` when the value names no time.
CDateTime LocalTime(const FILETIME& ft, const TimeZoneSource& zone, CDateTime fallback) {
    SYSTEMTIME utc{};
    if (!NAMESPACE_COMMON::FileTimeToSystemTime(ft, utc)) return fallback;
    NAMESPACE_COMMON::UtcToLocal(utc, fallback, zone);
    return fallback;
}

// The message-level values of one appointment, read in one round trip.
class CAppointmentValues {
public:
    CAppointmentValues(IMessage* message, std::vector<ULONG>& namedTags)
        : m_message(message), m_values(MapiTable().MAPIFreeBuffer) {
        if (message == nullptr || !MapiTable().MAPIFreeBuffer) return;
        std::vector<ULONG> tags;  // this message's answer when it is not one to keep
        if (namedTags.size() != kNamedCount) {
            // An unresolved name asks for PR_NULL, which no store holds. Only a complete answer is kept.
            if (ResolveNamedProps(message, kNamed, PR_NULL, tags) == S_OK) namedTags.swap(tags);
        }
        const std::vector<ULONG>& named = namedTags.size() == kNamedCount ? namedTags : tags;
        // The named tags, then the body, as an SPropTagArray (the count first).
        std::array<ULONG, 2 + kNamedCount> tagArray{};
        tagArray[0] = kNamedCount + 1;
        std::copy(named.begin(), named.end(), tagArray.begin() + 1);
        tagArray[1 + kNamedCount] = PR_BODY_W;
        const HRESULT hr = message->GetProps(reinterpret_cast<LPSPropTagArray>(tagArray.data()), MAPI_UNICODE,
                                             &m_count, m_values.put());
        if (FAILED(hr) || !m_values || m_count != tagArray[0]) {
            m_values.reset();
            m_count = 0;
        }
    }

    // The value of a slot when the store gave it with the expected type, else null.
    const SPropValue* Get(std::size_t slot) const {
        if (!m_values) return nullptr;
        const SPropValue& v = m_values[slot];
        return PROP_TYPE(v.ulPropTag) == kNamed[slot].type ? &v : nullptr;
    }
    bool Bool(std::size_t slot) const {
        const SPropValue* v = Get(slot);
        return v != nullptr && v->Value.b != 0;
    }
    int32_t Long(std::size_t slot) const {
        const SPropValue* v = Get(slot);
        return v ? v->Value.l : 0;
    }
    // A slot's text or bytes; what the store keeps out of line comes through a stream.
    std::string Text(std::size_t slot) const {
        if (const SPropValue* v = Get(slot)) return Utf8(v->Value.lpszW);
        return OutOfLine(slot) ? NAMESPACE_COMMON::GetStreamText(m_message, StoredTag(slot)) : "";
    }
    // False when the store has no such value.
    bool Bytes(std::size_t slot, std::vector<uint8_t>& out) const {
        if (const SPropValue* v = Get(slot)) {
            out.assign(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
            return true;
        }
        if (!OutOfLine(slot)) return false;
        out = NAMESPACE_COMMON::GetStreamBytes(m_message, StoredTag(slot));
        return true;
    }
    std::string Body() const {
        std::string body;
        if (m_values && m_values[kNamedCount].ulPropTag == PR_BODY_W)
            body = Utf8(m_values[kNamedCount].Value.lpszW);
        else if (!m_values || OutOfLine(kNamedCount))
            body = NAMESPACE_COMMON::GetStreamText(m_message, PR_BODY_W);
        if (body == "\r\n" || body == "\n") body.clear();
        return body;
    }

private:
    // The tag of a slot's value as stored (its GetProps answer carries PT_ERROR instead of the type).
    ULONG StoredTag(std::size_t slot) const {
        return PROP_TAG(kNamed[slot].type, PROP_ID(m_values[slot].ulPropTag));
    }
    bool OutOfLine(std::size_t slot) const {
        if (!m_values) return false;
        const SPropValue& v = m_values[slot];
        return PROP_TYPE(v.ulPropTag) == PT_ERROR && PROP_ID(v.ulPropTag) != 0 &&
               v.Value.err == MAPI_E_NOT_ENOUGH_MEMORY;
    }

    IMessage* m_message;
    MapiBuffer<SPropValue> m_values;
    ULONG m_count = 0;
};

}  // namespace

std::span<const ULONG> AppointmentColumns() {
    return kColumns;
}

void AppointmentRowToXml(std::string& pimid, CXMLParser& document, const SPropValue* values, ULONG count,
                         const TimeZoneSource& zone) {
    if (values == nullptr) return;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& v = values[i];
        switch (v.ulPropTag) {
            case PR_ENTRYID:
            case PR_LONGTERM_ENTRYID_FROM_TABLE:
                pimid = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
                break;
            case PR_CREATION_TIME:
            case PR_LAST_MODIFICATION_TIME:
                AddCalendarElement(document,
                                   v.ulPropTag == PR_CREATION_TIME ? "CreateTime" : "lastModifiedTime",
                                   FormatDocumentDate(LocalTime(v.Value.ft, zone, CDateTime())));
                break;
            case PR_SUBJECT_W:
                AddCalendarElement(document, "Description", Utf8(v.Value.lpszW));
                break;
            case PR_PRIORITY:
                AddCalendarElement(document, "Priority", FormatDocumentInteger(v.Value.l));
                break;
            default:
                break;  // another tag, or a column the item lacks (PT_ERROR)
        }
    }
}

bool ReadStoredAppointment(IMessage* message, CAppointmentReadState& state, CStoredAppointment& stored) {
    stored.record.Clear();
    stored.pattern.Clear();
    if (message == nullptr || !MapiTable().MAPIFreeBuffer) return false;
    // The row's six columns as GetProps gives them, then the message's own elements.
    ULONG count = 0;
    MapiBuffer<SPropValue> row(MapiTable().MAPIFreeBuffer);
    std::array<ULONG, 1 + kAppointmentColumnCount> tagArray{kAppointmentColumnCount};
    std::copy(kColumns.begin(), kColumns.end(), tagArray.begin() + 1);
    const HRESULT hr = message->GetProps(reinterpret_cast<LPSPropTagArray>(tagArray.data()), MAPI_UNICODE,
                                         &count, row.put());
    CXMLParser document;
    if (FAILED(hr) || !row || !CreateCalendarDocument(document)) return false;
    std::string pimid;
    AppointmentRowToXml(pimid, document, row.get(), count, state.zone);
    AppointmentMessageToXml(document, message, state, &stored.pattern);
    ParseCalendarXML(document.GetXML(), stored.record);
    return true;
}

void AppointmentMessageToXml(CXMLParser& document, IMessage* message, CAppointmentReadState& state,
                             tagRecurrencePattern* storedPattern) {
    const CAppointmentValues values(message, state.namedTags);
    AddCalendarElement(document, "Body", values.Body());
    AddCalendarElement(document, "Location", values.Text(kLocation));
    AddCalendarElement(document, "bAlldayEvent", FormatDocumentBoolean(values.Bool(kAllDay)));
    for (const std::size_t slot : {kStart, kEnd}) {
        // A missing time is the date value 0.0: the host sees 1899/12/30 00:00:00.
        const SPropValue* v = values.Get(slot);
        const CDateTime time = v ? LocalTime(v->Value.ft, state.zone, CDateTime()) : CDateTime();
        AddCalendarElement(document, slot == kStart ? "dtStartTime" : "dtEndTime", FormatDocumentDate(time));
    }

    if (values.Bool(kReminderSet)) {
        // Without an override the reminder rings; with one, only when it plays a sound.
        const bool rings = !values.Bool(kReminderOverride) || values.Bool(kReminderPlaySound);
        AddCalendarElement(document, "nRingTone", rings ? "1" : "0");
        AddCalendarElement(document, "lReminderMinutes", FormatDocumentInteger(values.Long(kReminderDelta)));
    } else {
        AddCalendarElement(document, "lReminderMinutes", "-1");
        AddCalendarElement(document, "nRingTone", "0");
    }

    if (values.Bool(kRecurring)) {
        const int32_t type = values.Long(kRecurrenceType);
        AddCalendarElement(document, "lRecurType", FormatDocumentInteger(type));
        std::vector<uint8_t> blob;
        if (type != 0 && values.Bytes(kRecurrence, blob)) {
            tagRecurrencePattern pattern;
            if (ParseRecurrencePattern(blob.data(), blob.size(), pattern) > 0) {
                RecurrencePatternToXml(pattern, document);
                if (storedPattern) *storedPattern = pattern;
            }
        }
    } else {
        AddCalendarElement(document, "RecurType", "0");
    }

    // The item's own zone rule when it has a whole one, else this machine's (a cut value is no zone).
    std::vector<uint8_t> stored;
    NAMESPACE_COMMON::tagNxTimeZone own;
    const bool hasOwn =
        values.Bytes(kZoneStruct, stored) && ParseTimeZoneStruct(stored.data(), stored.size(), own);
    AddCalendarElement(document, "TimeZone",
                       NAMESPACE_COMMON::FormatTimeZone(hasOwn ? own : state.localZone));
}

}  // namespace NAMESPACE_MAPI
