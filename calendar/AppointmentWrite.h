// Writing an appointment record to an open MAPI message: every property the host's document
// decides, one SetProps (or DeleteProps) call per property, in a fixed order. Saving is the
// caller's (CMAPIObject::UpdateCalendarEventMessage), which is also where success is decided.
//
// Order of the writes: the new-item properties (class, flags, importance, sensitivity, busy
// status), priority, the icon, the all-day normalisation of the record's start and end, start (whole,
// clip, common), end (whole, clip, common), duration, subject, body, location, all-day flag,
// reminder, side effects, zone rule and name, recurring flag and type, recurrence pattern (whose
// series end replaces the clip end) and with it the exception attachments (ExceptionAttachments.h).
//
// Rules:
//  - texts: a non-empty text is set, an empty one removed, so a write fully replaces what the
//    host synchronises;
//  - dates: a valid 0.0 is removed; any other valid date is local time of this machine, set as
//    UTC; a date that is not valid (the host's text named no date) is removed as well, and so is
//    everything computed from it (duration, reminder time, signal time);
//  - named properties are resolved once per message (GetIDsFromNames with MAPI_CREATE); one that
//    does not resolve is skipped. Failed SetProps and DeleteProps calls are not looked at.
#pragma once

#include <cstdint>
#include <vector>

#include "calendar/CalendarEx.h"
#include "calendar/RecurrencePattern.h"
#include "common/TimeZone.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// The zones a write takes its conversions and its stored zone rule from.
struct CAppointmentWriteZone {
    const std::vector<NAMESPACE_COMMON::tagNxTimeZone>& zones;  // the machine's zone table
    const NAMESPACE_COMMON::tagNxTimeZone& localZone;  // stored when the record's zone text matches no entry
    const NAMESPACE_COMMON::TimeZoneSource& source;    // local <-> UTC for every time written
};

inline constexpr int32_t kIconSingle = 0x400;
inline constexpr int32_t kIconRecurring = 0x401;
inline constexpr int32_t kSideEffects = 0x171;
inline constexpr const char* kReminderSound = "Reminder.wav";

// Midnight of a date's calendar day; a date that is not valid gives an invalid date.
NAMESPACE_COMMON::CDateTime MidnightOf(const NAMESPACE_COMMON::CDateTime& date);

// The stored duration in minutes: (end - start) in days, half a second away from zero, times
// 1440, truncated toward zero and kept inside 32 bits. 0 when either date is not valid.
int32_t AppointmentDurationMinutes(const NAMESPACE_COMMON::CDateTime& start,
                                   const NAMESPACE_COMMON::CDateTime& end);

// What the agent's read sends for a stored appointment, parsed as an inbound document would be:
// what an update compares the host's document with.
struct CStoredAppointment {
    CCalendarEx record;
    tagRecurrencePattern pattern;  // the stored series (all 0 for a single item)
};

// Which groups of properties a document changes against the stored item; each group is the
// fields of the document behind one set of properties.
struct AppointmentChanges {
    bool priority = false;    // Priority: PR_PRIORITY
    bool subject = false;     // Description: PR_SUBJECT
    bool body = false;        // Body: PR_BODY
    bool location = false;    // Location
    bool times = false;       // dtStartTime, dtEndTime, bAlldayEvent: start, end, duration, all-day flag
    bool reminder = false;    // lReminderMinutes, nRingTone (ring tone only with a reminder on)
    bool zone = false;        // TimeZone: zone rule and name
    bool recurrence = false;  // lRecurType, the recurrence elements, ExceptionRule
    static AppointmentChanges All();
};
AppointmentChanges CompareAppointment(const CCalendarEx& record, const CCalendarEx& stored);

// Writes the record's properties to the message (not saved). Without `stored` (an add, or an
// update whose stored item could not be read) every property is written; with it only the
// groups that differ, where a move of the start also rewrites the reminder's times and the
// pattern, and a series whose end elements came back as read keeps its stored end rule. An
// all-day record has its start and end moved to local midnights first (the record keeps them).
// A null message writes nothing.
void WriteAppointmentProperties(IMessage* message, CCalendarEx& record, const CAppointmentWriteZone& zone,
                                const CStoredAppointment* stored = nullptr);

}  // namespace NAMESPACE_MAPI
