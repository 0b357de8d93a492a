#include "calendar/AppointmentWrite.h"

#include <array>
#include <cmath>
#include <limits>
#include <string>

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

// The zone rule and name stored with the item: the table's zone the text names, else this
// machine's.
void WriteZone(CPropertyWriter& w, const std::string& zoneText, const CAppointmentWriteZone& zone) {
    const int32_t index = NAMESPACE_COMMON::FindTimeZoneIndex(zone.zones, zoneText);
    static const tagNxTimeZone kEmptyZone;
    const tagNxTimeZone& chosen = index == -1 ? zone.localZone
                                  : index >= 0 && static_cast<std::size_t>(index) < zone.zones.size()
                                      ? zone.zones[static_cast<std::size_t>(index)]
                                      : kEmptyZone;
    std::vector<uint8_t> bytes;
    if (SerializeTimeZoneStruct(chosen, &bytes)) w.Binary(w.Named(kZoneStruct), bytes);
    w.Text(w.Named(kZoneDescription), chosen.DisplayName);
}

void WriteRecurrence(CPropertyWriter& w, const CCalendarEx& record) {
    if (record.lRecurType == 0) {
        w.Remove(w.Named(kRecurrence));
        return;
    }
    tagRecurrencePattern pattern;
    BuildRecurrencePattern(pattern, record);
    std::vector<uint8_t> bytes;
    if (SerializeRecurrencePattern(pattern, &bytes)) w.Binary(w.Named(kRecurrence), bytes);
    w.Text(w.Named(kRecurrencePattern), std::string());
    // The clip end of a series is the end of the series (4500-12-31 23:59 for one without end).
    CDateTime seriesEnd;
    MinutesToDate(pattern.EndDate, seriesEnd);
    w.Date(w.Named(kClipEnd), seriesEnd);
}

std::string FieldText(const CCalendarEx& record, int32_t fieldId) {
    const std::string* text = record.FindField(fieldId);
    return text ? *text : std::string();
}

}  // namespace

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

void WriteAppointmentProperties(IMessage* message, CCalendarEx& record, const CAppointmentWriteZone& zone) {
    if (message == nullptr) return;
    CPropertyWriter w(message, zone.source);
    const bool recurring = record.lRecurType != 0;

    if (record.lFlag & NX_LOG_NEW) {
        w.Text(PR_MESSAGE_CLASS_W, "IPM.Appointment");
        w.Long(PR_MESSAGE_FLAGS, 1);
        w.Long(PR_IMPORTANCE, 1);
        w.Long(PR_PRIORITY, 0);
        w.Long(PR_SENSITIVITY, 0);
        w.Long(w.Named(kBusyStatus), 0);
    }
    w.Long(PR_ICON_INDEX, recurring ? kIconRecurring : kIconSingle);

    if (record.bAlldayEvent) {
        // Local midnight to local midnight; a day-long item when both fall on the same day.
        record.dtStartTime = MidnightOf(record.dtStartTime);
        record.dtEndTime = MidnightOf(record.dtEndTime);
        if (record.dtEndTime == record.dtStartTime) record.dtEndTime = record.dtStartTime.AddDays(1.0);
    }
    for (WriteSlot slot : {kStartWhole, kClipStart, kCommonStart}) w.Date(w.Named(slot), record.dtStartTime);
    for (WriteSlot slot : {kEndWhole, kClipEnd, kCommonEnd}) w.Date(w.Named(slot), record.dtEndTime);
    if (record.dtStartTime.IsValid() && record.dtEndTime.IsValid())
        w.Long(w.Named(kDuration), AppointmentDurationMinutes(record.dtStartTime, record.dtEndTime));
    else
        w.Remove(w.Named(kDuration));

    w.Text(PR_SUBJECT_W, FieldText(record, kFieldDescription));
    w.Text(PR_BODY_W, FieldText(record, kFieldBody));
    w.Text(w.Named(kLocation), FieldText(record, kFieldLocation));
    w.Bool(w.Named(kSubType), record.bAlldayEvent != 0);

    WriteReminder(w, message, record);
    w.Long(w.Named(kSideEffectsSlot), kSideEffects);
    WriteZone(w, FieldText(record, kFieldTimeZone), zone);

    w.Bool(w.Named(kRecurring), recurring);
    w.Long(w.Named(kRecurrenceType), record.lRecurType);
    WriteRecurrence(w, record);
}

}  // namespace NAMESPACE_MAPI
