#include "calendar/AppointmentWrite.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "calendar/ExceptionAttachments.h"
#include "calendar/RecurrencePattern.h"
#include "calendar/TimeZoneStruct.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/NamedProps.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::NamedProp;
using NAMESPACE_COMMON::NamedProperty;
using NAMESPACE_COMMON::ResolveNamedProps;
using NAMESPACE_COMMON::tagNxTimeZone;

namespace {

// The named properties an appointment write touches, in the order of one GetIDsFromNames.
enum WriteSlot : std::size_t {
    kBusyStatus,
    kStartWhole,
    kClipStart,
    kCommonStart,
    kEndWhole,
    kClipEnd,
    kCommonEnd,
    kDuration,
    kLocation,
    kSubType,
    kReminderSet,
    kReminderDelta,
    kReminderOverride,
    kReminderPlaySound,
    kReminderFileParameter,
    kReminderTime,
    kReminderSignalTime,
    kSideEffectsSlot,
    kZoneStruct,
    kZoneDescription,
    kRecurring,
    kRecurrenceType,
    kRecurrence,
    kRecurrencePattern,
    kSlotCount
};

constexpr std::array<NamedProperty, kSlotCount> kWriteNames = {
    NamedProp("PidLidBusyStatus"),
    NamedProp("PidLidAppointmentStartWhole"),
    NamedProp("PidLidClipStart"),
    NamedProp("PidLidCommonStart"),
    NamedProp("PidLidAppointmentEndWhole"),
    NamedProp("PidLidClipEnd"),
    NamedProp("PidLidCommonEnd"),
    NamedProp("PidLidAppointmentDuration"),
    NamedProp("PidLidLocation"),
    NamedProp("PidLidAppointmentSubType"),
    NamedProp("PidLidReminderSet"),
    NamedProp("PidLidReminderDelta"),
    NamedProp("PidLidReminderOverride"),
    NamedProp("PidLidReminderPlaySound"),
    NamedProp("PidLidReminderFileParameter"),
    NamedProp("PidLidReminderTime"),
    NamedProp("PidLidReminderSignalTime"),
    NamedProp("PidLidSideEffects"),
    NamedProp("PidLidTimeZoneStruct"),
    NamedProp("PidLidTimeZoneDescription"),
    NamedProp("PidLidRecurring"),
    NamedProp("PidLidRecurrenceType"),
    NamedProp("PidLidAppointmentRecur"),
    NamedProp("PidLidRecurrencePattern"),
};

// One property per SetProps / DeleteProps call. A tag of 0 is a name the store did not resolve:
// the property is skipped.
class CPropertyWriter {
public:
    CPropertyWriter(IMessage* message, const NAMESPACE_COMMON::TimeZoneSource& zone)
        : m_message(message), m_zone(zone) {
        ResolveNamedProps(message, kWriteNames, 0, m_named);
    }

    ULONG Named(WriteSlot slot) const { return m_named[slot]; }

    void Remove(ULONG tag) {
        if (tag != 0) NAMESPACE_COMMON::DeleteOneProp(m_message, tag);
    }
    void Long(ULONG tag, int32_t v) {
        SPropValue value{};
        value.ulPropTag = tag;
        value.Value.l = v;
        Set(value);
    }
    void Bool(ULONG tag, bool v) {
        SPropValue value{};
        value.ulPropTag = tag;
        value.Value.b = v ? 1 : 0;
        Set(value);
    }
    void Text(ULONG tag, const std::string& text) {
        if (tag != 0) NAMESPACE_COMMON::SetTextOrDelete(m_message, tag, text);
    }
    void Binary(ULONG tag, std::vector<uint8_t>& bytes) {
        SPropValue value{};
        value.ulPropTag = tag;
        value.Value.bin.cb = static_cast<ULONG>(bytes.size());
        value.Value.bin.lpb = bytes.data();
        Set(value);
    }
    // A local time of this machine, stored in UTC. A valid 0.0 (the host sent no time) is
    // removed, and so is a date that is not valid or has no UTC file time.
    void Date(ULONG tag, const CDateTime& local) {
        if (tag != 0) NAMESPACE_COMMON::SetLocalTimeOrDelete(m_message, tag, local, m_zone);
    }

private:
    void Set(const SPropValue& value) {
        if (value.ulPropTag != 0) NAMESPACE_COMMON::SetOneProp(m_message, value);
    }

    IMessage* m_message;
    const NAMESPACE_COMMON::TimeZoneSource& m_zone;
    std::vector<ULONG> m_named;  // by WriteSlot
};

// PidLidReminderOverride as the message holds it now (a new message has none).
bool ReminderOverridden(IMessage* message, ULONG tag) {
    if (tag == 0) return false;
    SizedSPropTagArray<1> tags = {1, {tag}};
    ULONG count = 0;
    MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
    const HRESULT hr = message->GetProps(tags.get(), MAPI_UNICODE, &count, values.put());
    return hr == S_OK && values && count == 1 && values[0].ulPropTag == tag && values[0].Value.b != 0;
}

void WriteReminder(CPropertyWriter& w, IMessage* message, const CCalendarEx& record) {
    if (record.lReminderMinutes == -1) {
        // Only the switch: an older reminder time on the message stays.
        w.Bool(w.Named(kReminderSet), false);
        return;
    }
    w.Bool(w.Named(kReminderSet), true);
    w.Long(w.Named(kReminderDelta), record.lReminderMinutes);
    if (record.nRingTone == 0) {
        w.Bool(w.Named(kReminderOverride), true);
        w.Bool(w.Named(kReminderPlaySound), false);
        w.Text(w.Named(kReminderFileParameter), kReminderSound);
    } else if (ReminderOverridden(message, w.Named(kReminderOverride))) {
        // The sound is switched on only for an item whose reminder was already overridden.
        w.Bool(w.Named(kReminderPlaySound), true);
        w.Text(w.Named(kReminderFileParameter), kReminderSound);
    }
    w.Date(w.Named(kReminderTime), record.dtStartTime);
    // The signal time follows the start: no valid start, no signal time.
    CDateTime signal = record.dtStartTime.AddMinutes(-static_cast<double>(record.lReminderMinutes));
    w.Date(w.Named(kReminderSignalTime), signal);
}

std::string FieldText(const CCalendarEx& record, int32_t fieldId) {
    const std::string* text = record.FindField(fieldId);
    return text ? *text : std::string();
}

// A text the message holds now ("" when it has none).
std::string StoredText(IMessage* message, ULONG tag) {
    if (tag == 0) return std::string();
    MapiBuffer<SPropValue> value = NAMESPACE_COMMON::GetOneProp(message, tag);
    if (value && value->ulPropTag == tag && value->Value.lpszW)
        return nx::sys::Utf16ToUtf8(value->Value.lpszW);
    return std::string();
}

// The zone rule and name stored with the item. A long zone text selects the table's zone with the
// same whole rule, else the rule it spells under the item's own zone name (the text carries no
// name); a short one ("GMT:..;DST:..") the first zone with that key, else this machine's.
void WriteZone(CPropertyWriter& w, IMessage* message, const std::string& zoneText,
               const CAppointmentWriteZone& zone) {
    tagNxTimeZone chosen = zone.localZone;
    if (std::optional<tagNxTimeZone> rule = NAMESPACE_COMMON::ParseTimeZoneText(zoneText)) {
        const auto same = std::find_if(zone.zones.begin(), zone.zones.end(), [&](const tagNxTimeZone& z) {
            return NAMESPACE_COMMON::FormatTimeZone(z) == zoneText;
        });
        if (same != zone.zones.end()) {
            chosen = *same;
        } else {
            chosen = *rule;
            chosen.DisplayName = StoredText(message, w.Named(kZoneDescription));
        }
    } else if (const int32_t index = NAMESPACE_COMMON::FindTimeZoneIndex(zone.zones, zoneText); index >= 0) {
        assert(static_cast<std::size_t>(index) < zone.zones.size());
        chosen = zone.zones[static_cast<std::size_t>(index)];
    }
    std::vector<uint8_t> bytes;
    if (SerializeTimeZoneStruct(chosen, &bytes)) w.Binary(w.Named(kZoneStruct), bytes);
    w.Text(w.Named(kZoneDescription), chosen.DisplayName);
}

// The series with the exceptions the host's text gives (none for a text that is not of the
// exceptions text's form); `stored` lends the original days of modifications it already had.
// The exception attachments follow the pattern's exceptions: other clients show a modified
// occurrence from its attachment.
void WriteRecurrence(CPropertyWriter& w, IMessage* message, const CCalendarEx& record, uint32_t endRule,
                     const tagRecurrencePattern* stored, const NAMESPACE_COMMON::TimeZoneSource& zone) {
    if (record.lRecurType == 0) {
        w.Remove(w.Named(kRecurrence));
        w.Date(w.Named(kClipEnd), record.dtEndTime);  // a single item's clip end is its own end
        WriteExceptionAttachments(message, nullptr, zone);
        return;
    }
    tagRecurrencePattern pattern;
    BuildRecurrencePattern(pattern, record, endRule);
    tagExceptionsText exceptions;
    if (const std::string* text = record.FindField(kFieldExceptionRule);
        text && ParseExceptionsText(*text, exceptions)) {
        const tagExceptionDefaults defaults{FieldText(record, kFieldDescription),
                                            FieldText(record, kFieldLocation),
                                            record.bAlldayEvent != 0 ? 1 : 0, record.lReminderMinutes};
        ApplyExceptions(pattern, exceptions, defaults, stored);
    }
    std::vector<uint8_t> bytes;
    if (SerializeRecurrencePattern(pattern, &bytes)) w.Binary(w.Named(kRecurrence), bytes);
    WriteExceptionAttachments(message, &pattern, zone);
    w.Text(w.Named(kRecurrencePattern), std::string());
    // The clip end of a series is the end of the series (4500-12-31 23:59 for one without end).
    CDateTime seriesEnd;
    MinutesToDate(pattern.EndDate, seriesEnd);
    w.Date(w.Named(kClipEnd), seriesEnd);
}

bool SameDate(const CDateTime& a, const CDateTime& b) {
    return a.IsValid() == b.IsValid() && FormatDocumentDate(a) == FormatDocumentDate(b);
}

bool SameField(const CCalendarEx& a, const CCalendarEx& b, int32_t fieldId) {
    return FieldText(a, fieldId) == FieldText(b, fieldId);
}

// The end elements of two series: what decides their end rule.
bool SameSeriesEnd(const CCalendarEx& a, const CCalendarEx& b) {
    return a.bRecurHasEndDate == b.bRecurHasEndDate && a.lRecurRepeat == b.lRecurRepeat &&
           SameDate(a.dtRecurEndDate, b.dtRecurEndDate);
}

}  // namespace

AppointmentChanges AppointmentChanges::All() {
    return {true, true, true, true, true, true, true, true};
}

AppointmentChanges CompareAppointment(const CCalendarEx& record, const CCalendarEx& stored) {
    AppointmentChanges c;
    c.priority = record.bPriorityGiven != stored.bPriorityGiven ||
                 (record.bPriorityGiven && record.Priority != stored.Priority);
    c.subject = !SameField(record, stored, kFieldDescription);
    c.body = !SameField(record, stored, kFieldBody);
    c.location = !SameField(record, stored, kFieldLocation);
    c.times = record.bAlldayEvent != stored.bAlldayEvent ||
              !SameDate(record.dtStartTime, stored.dtStartTime) ||
              !SameDate(record.dtEndTime, stored.dtEndTime);
    // Off is off whatever the ring tone says.
    c.reminder = record.lReminderMinutes != stored.lReminderMinutes ||
                 (record.lReminderMinutes != -1 && record.nRingTone != stored.nRingTone);
    c.zone = !SameField(record, stored, kFieldTimeZone);
    c.recurrence = record.lRecurType != stored.lRecurType;
    if (record.lRecurType != 0 && !c.recurrence)
        c.recurrence = record.lRecurInterval != stored.lRecurInterval ||
                       record.lRecurMonth != stored.lRecurMonth ||
                       record.lRecurInstance != stored.lRecurInstance ||
                       record.lRecurWeekMask != stored.lRecurWeekMask ||
                       record.lRecurWeekDay != stored.lRecurWeekDay || record.lRecurDay != stored.lRecurDay ||
                       !SameSeriesEnd(record, stored) || !SameField(record, stored, kFieldExceptionRule);
    return c;
}

CDateTime MidnightOf(const CDateTime& date) {
    SYSTEMTIME st{};
    CDateTime midnight(0.0, CDateTime::invalid);
    if (date.GetAsSystemTime(st)) midnight.SetDate(st.wYear, st.wMonth, st.wDay);
    return midnight;
}

int32_t AppointmentDurationMinutes(const CDateTime& start, const CDateTime& end) {
    if (!start.IsValid() || !end.IsValid()) return 0;
    constexpr double kHalfSecond = 0.5 / 86400.0;
    double days = CDateTime::OleToLinear(end.GetValue()) - CDateTime::OleToLinear(start.GetValue());
    days += days >= 0 ? kHalfSecond : -kHalfSecond;
    const double minutes = std::trunc(days * 1440.0);
    // Valid dates are at most ten thousand years apart, which 32 bits of minutes do not hold.
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(minutes > kMax ? kMax : minutes < kMin ? kMin : minutes);
}

void WriteAppointmentProperties(IMessage* message, CCalendarEx& record, const CAppointmentWriteZone& zone,
                                const CStoredAppointment* stored) {
    if (message == nullptr) return;
    CPropertyWriter w(message, zone.source);
    const bool recurring = record.lRecurType != 0;
    const AppointmentChanges changed =
        stored ? CompareAppointment(record, stored->record) : AppointmentChanges::All();

    if (record.lFlag & NX_LOG_NEW) {
        w.Text(PR_MESSAGE_CLASS_W, "IPM.Appointment");
        w.Long(PR_MESSAGE_FLAGS, 1);
        w.Long(PR_IMPORTANCE, 1);
        w.Long(PR_SENSITIVITY, 0);
        w.Long(w.Named(kBusyStatus), 0);
    }
    if (changed.priority) {
        // A new item without a Priority element is of normal priority; an update without one clears it.
        if (record.bPriorityGiven || (record.lFlag & NX_LOG_NEW))
            w.Long(PR_PRIORITY, record.bPriorityGiven ? record.Priority : 0);
        else
            w.Remove(PR_PRIORITY);
    }
    if (changed.recurrence) w.Long(PR_ICON_INDEX, recurring ? kIconRecurring : kIconSingle);

    if (changed.times) {
        if (record.bAlldayEvent) {
            // Local midnight to local midnight; a day-long item when both fall on the same day.
            record.dtStartTime = MidnightOf(record.dtStartTime);
            record.dtEndTime = MidnightOf(record.dtEndTime);
            if (record.dtEndTime == record.dtStartTime) record.dtEndTime = record.dtStartTime.AddDays(1.0);
        }
        for (WriteSlot slot : {kStartWhole, kClipStart, kCommonStart})
            w.Date(w.Named(slot), record.dtStartTime);
        for (WriteSlot slot : {kEndWhole, kClipEnd, kCommonEnd}) w.Date(w.Named(slot), record.dtEndTime);
        if (record.dtStartTime.IsValid() && record.dtEndTime.IsValid())
            w.Long(w.Named(kDuration), AppointmentDurationMinutes(record.dtStartTime, record.dtEndTime));
        else
            w.Remove(w.Named(kDuration));
    }

    if (changed.subject) w.Text(PR_SUBJECT_W, FieldText(record, kFieldDescription));
    if (changed.body) w.Text(PR_BODY_W, FieldText(record, kFieldBody));
    if (changed.location) w.Text(w.Named(kLocation), FieldText(record, kFieldLocation));
    if (changed.times) w.Bool(w.Named(kSubType), record.bAlldayEvent != 0);

    // The reminder's times follow the start.
    if (changed.reminder || changed.times) WriteReminder(w, message, record);
    if (!stored) w.Long(w.Named(kSideEffectsSlot), kSideEffects);
    if (changed.zone) WriteZone(w, message, FieldText(record, kFieldTimeZone), zone);

    // The pattern holds the start day and times, so a move of the start rewrites it.
    if (changed.recurrence || (changed.times && recurring)) {
        w.Bool(w.Named(kRecurring), recurring);
        w.Long(w.Named(kRecurrenceType), record.lRecurType);
        const uint32_t endRule =
            stored && SameSeriesEnd(record, stored->record) ? stored->pattern.EndType : 0;
        WriteRecurrence(w, message, record, endRule, stored ? &stored->pattern : nullptr, zone.source);
    }
}

}  // namespace NAMESPACE_MAPI
