// The outbound calendar document of a stored appointment. AppointmentRowToXml writes what a
// contents-table row (or GetProps with the same six columns) holds; AppointmentMessageToXml writes
// what needs the open message: body, location, all-day flag, start and end, the reminder with its
// sound rule, the recurrence elements with the exceptions text, and the zone text.
//
// Document shape (the host's reader expects exactly this):
//   <Calendar>
//     CsFolder, [lFlag (change reads)], CreateTime, lastModifiedTime, Description, Priority (each
//     only when the row has it), PIMID, Body, Location, bAlldayEvent, dtStartTime, dtEndTime,
//     nRingTone + lReminderMinutes (reminder on) or lReminderMinutes "-1" + nRingTone "0" (off),
//     lRecurType + the recurrence elements (series) or RecurType "0" (single), TimeZone,
//     lCalType "3" (added by the read; a non-Gregorian series carries "-1" and is not sent)
//   </Calendar>
// Times are the local time of this machine as "%Y/%m/%d %H:%M:%S", whatever the item's own zone.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/TimeZone.h"
#include "common/XMLParser.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// The six columns of the contents table and of GetProps on one appointment, in the document's order.
inline constexpr std::size_t kAppointmentColumnCount = 6;
std::span<const ULONG> AppointmentColumns();

// What the builders keep for the length of one read.
struct CAppointmentReadState {
    NAMESPACE_COMMON::TimeZoneSource zone;      // the machine's zone, taken once at the read's start
    NAMESPACE_COMMON::tagNxTimeZone localZone;  // its rule: the zone text of items without their own
    std::vector<ULONG> namedTags;               // resolved with the first message (names are the store's)
};

// Adds one element per row value under the root, in the order of the values; values of other tags
// (PT_ERROR columns included) add nothing. `pimid` receives the upper-case hex of PR_ENTRYID or
// PR_LONGTERM_ENTRYID_FROM_TABLE, whichever comes later in the values.
void AppointmentRowToXml(std::string& pimid, NAMESPACE_COMMON::CXMLParser& document, const SPropValue* values,
                         ULONG count, const NAMESPACE_COMMON::TimeZoneSource& zone);

// Adds the message-level elements (one GetIDsFromNames per read, one GetProps per message; values
// the store keeps out of line are read through a stream). Missing values take their defaults.
// `storedPattern`, when given, receives the series' stored pattern (cleared for a single item).
struct tagRecurrencePattern;
void AppointmentMessageToXml(NAMESPACE_COMMON::CXMLParser& document, IMessage* message,
                             CAppointmentReadState& state, tagRecurrencePattern* storedPattern = nullptr);

// What the read would send for a stored message, parsed back as an inbound document: the
// comparison an update writes only the differences of. False when the message cannot be read
// (`stored` then holds a cleared record).
struct CStoredAppointment;
bool ReadStoredAppointment(IMessage* message, CAppointmentReadState& state, CStoredAppointment& stored);

}  // namespace NAMESPACE_MAPI
