// The named properties the agent and its tools know: one table, each property by its
// [MS-OXPROPS] canonical name with its property set, its id (or string name) and the type of its
// value. The contact code (PSETID_Address), the appointment read and write (PSETID_Appointment,
// PSETID_Common) and mapiadmin's "named" entries all take their names from here, so a property's
// set, id and type are written once.
//
//   constexpr NamedProperty kLocation = NamedProp("PidLidLocation");   // a typo does not compile
//
// Named-property ids belong to each store; only the names are fixed, so a tag is always resolved
// on the object before it is used: ResolveNamedProps and GetNamedPropTag (common/MapiHelpers.h).
// The table is data only (no MAPI call), so the tools include it without the agent's runtime.
#pragma once

#include <cstddef>
#include <iterator>
#include <string_view>

#include "platform/mapi/Mapi.h"

namespace NAMESPACE_COMMON {

struct NamedProperty {
    std::string_view name;   // the canonical name: "PidLidLocation", "PidNameKeywords"
    const GUID* set;         // the property set
    LONG lid;                // MNID_ID: the numeric id; 0 for a string name
    const char16_t* string;  // MNID_STRING: the name within the set; null for a numeric id
    ULONG type;              // the type of the value (PT_UNICODE, PT_MV_LONG, ...)
};

inline constexpr NamedProperty kNamedProperties[] = {
    // Contacts and distribution lists (PSETID_Address).
    {"PidLidFileUnder", &PSETID_Address, 0x8005, nullptr, PT_UNICODE},
    {"PidLidFileUnderId", &PSETID_Address, 0x8006, nullptr, PT_LONG},
    {"PidLidContactItemData", &PSETID_Address, 0x8007, nullptr, PT_MV_LONG},
    {"PidLidHasPicture", &PSETID_Address, 0x8015, nullptr, PT_BOOLEAN},
    {"PidLidHomeAddress", &PSETID_Address, 0x801A, nullptr, PT_UNICODE},
    {"PidLidWorkAddress", &PSETID_Address, 0x801B, nullptr, PT_UNICODE},
    {"PidLidOtherAddress", &PSETID_Address, 0x801C, nullptr, PT_UNICODE},
    {"PidLidPostalAddressId", &PSETID_Address, 0x8022, nullptr, PT_LONG},
    {"PidLidAddressBookProviderEmailList", &PSETID_Address, 0x8028, nullptr, PT_MV_LONG},
    {"PidLidAddressBookProviderArrayType", &PSETID_Address, 0x8029, nullptr, PT_LONG},
    {"PidLidHtml", &PSETID_Address, 0x802B, nullptr, PT_UNICODE},
    {"PidLidYomiFirstName", &PSETID_Address, 0x802C, nullptr, PT_UNICODE},
    {"PidLidYomiLastName", &PSETID_Address, 0x802D, nullptr, PT_UNICODE},
    {"PidLidYomiCompanyName", &PSETID_Address, 0x802E, nullptr, PT_UNICODE},
    {"PidLidWorkAddressStreet", &PSETID_Address, 0x8045, nullptr, PT_UNICODE},
    {"PidLidWorkAddressCity", &PSETID_Address, 0x8046, nullptr, PT_UNICODE},
    {"PidLidWorkAddressState", &PSETID_Address, 0x8047, nullptr, PT_UNICODE},
    {"PidLidWorkAddressPostalCode", &PSETID_Address, 0x8048, nullptr, PT_UNICODE},
    {"PidLidWorkAddressCountry", &PSETID_Address, 0x8049, nullptr, PT_UNICODE},
    {"PidLidWorkAddressPostOfficeBox", &PSETID_Address, 0x804A, nullptr, PT_UNICODE},
    {"PidLidDistributionListChecksum", &PSETID_Address, 0x804C, nullptr, PT_LONG},
    {"PidLidDistributionListName", &PSETID_Address, 0x8053, nullptr, PT_UNICODE},
    {"PidLidDistributionListOneOffMembers", &PSETID_Address, 0x8054, nullptr, PT_MV_BINARY},
    {"PidLidDistributionListMembers", &PSETID_Address, 0x8055, nullptr, PT_MV_BINARY},
    {"PidLidInstantMessagingAddress", &PSETID_Address, 0x8062, nullptr, PT_UNICODE},
    {"PidLidDistributionListStream", &PSETID_Address, 0x8064, nullptr, PT_BINARY},
    {"PidLidEmail1DisplayName", &PSETID_Address, 0x8080, nullptr, PT_UNICODE},
    {"PidLidEmail1AddressType", &PSETID_Address, 0x8082, nullptr, PT_UNICODE},
    {"PidLidEmail1EmailAddress", &PSETID_Address, 0x8083, nullptr, PT_UNICODE},
    {"PidLidEmail1OriginalDisplayName", &PSETID_Address, 0x8084, nullptr, PT_UNICODE},
    {"PidLidEmail1OriginalEntryId", &PSETID_Address, 0x8085, nullptr, PT_BINARY},
    {"PidLidEmail2DisplayName", &PSETID_Address, 0x8090, nullptr, PT_UNICODE},
    {"PidLidEmail2AddressType", &PSETID_Address, 0x8092, nullptr, PT_UNICODE},
    {"PidLidEmail2EmailAddress", &PSETID_Address, 0x8093, nullptr, PT_UNICODE},
    {"PidLidEmail2OriginalDisplayName", &PSETID_Address, 0x8094, nullptr, PT_UNICODE},
    {"PidLidEmail2OriginalEntryId", &PSETID_Address, 0x8095, nullptr, PT_BINARY},
    {"PidLidEmail3DisplayName", &PSETID_Address, 0x80A0, nullptr, PT_UNICODE},
    {"PidLidEmail3AddressType", &PSETID_Address, 0x80A2, nullptr, PT_UNICODE},
    {"PidLidEmail3EmailAddress", &PSETID_Address, 0x80A3, nullptr, PT_UNICODE},
    {"PidLidEmail3OriginalDisplayName", &PSETID_Address, 0x80A4, nullptr, PT_UNICODE},
    {"PidLidEmail3OriginalEntryId", &PSETID_Address, 0x80A5, nullptr, PT_BINARY},
    // Appointments (PSETID_Appointment).
    {"PidLidAppointmentSequence", &PSETID_Appointment, 0x8201, nullptr, PT_LONG},
    {"PidLidBusyStatus", &PSETID_Appointment, 0x8205, nullptr, PT_LONG},
    {"PidLidFExceptionalBody", &PSETID_Appointment, 0x8206, nullptr, PT_BOOLEAN},
    {"PidLidLocation", &PSETID_Appointment, 0x8208, nullptr, PT_UNICODE},
    {"PidLidAppointmentStartWhole", &PSETID_Appointment, 0x820D, nullptr, PT_SYSTIME},
    {"PidLidAppointmentEndWhole", &PSETID_Appointment, 0x820E, nullptr, PT_SYSTIME},
    {"PidLidAppointmentDuration", &PSETID_Appointment, 0x8213, nullptr, PT_LONG},
    {"PidLidAppointmentColor", &PSETID_Appointment, 0x8214, nullptr, PT_LONG},
    {"PidLidAppointmentSubType", &PSETID_Appointment, 0x8215, nullptr, PT_BOOLEAN},
    {"PidLidAppointmentRecur", &PSETID_Appointment, 0x8216, nullptr, PT_BINARY},
    {"PidLidAppointmentStateFlags", &PSETID_Appointment, 0x8217, nullptr, PT_LONG},
    {"PidLidResponseStatus", &PSETID_Appointment, 0x8218, nullptr, PT_LONG},
    {"PidLidRecurring", &PSETID_Appointment, 0x8223, nullptr, PT_BOOLEAN},
    {"PidLidIntendedBusyStatus", &PSETID_Appointment, 0x8224, nullptr, PT_LONG},
    {"PidLidExceptionReplaceTime", &PSETID_Appointment, 0x8228, nullptr, PT_SYSTIME},
    {"PidLidRecurrenceType", &PSETID_Appointment, 0x8231, nullptr, PT_LONG},
    {"PidLidRecurrencePattern", &PSETID_Appointment, 0x8232, nullptr, PT_UNICODE},
    {"PidLidTimeZoneStruct", &PSETID_Appointment, 0x8233, nullptr, PT_BINARY},
    {"PidLidTimeZoneDescription", &PSETID_Appointment, 0x8234, nullptr, PT_UNICODE},
    {"PidLidClipStart", &PSETID_Appointment, 0x8235, nullptr, PT_SYSTIME},
    {"PidLidClipEnd", &PSETID_Appointment, 0x8236, nullptr, PT_SYSTIME},
    {"PidLidAppointmentTimeZoneDefinitionStartDisplay", &PSETID_Appointment, 0x825E, nullptr, PT_BINARY},
    {"PidLidAppointmentTimeZoneDefinitionEndDisplay", &PSETID_Appointment, 0x825F, nullptr, PT_BINARY},
    {"PidLidAppointmentTimeZoneDefinitionRecur", &PSETID_Appointment, 0x8260, nullptr, PT_BINARY},
    // Reminders and what every item kind shares (PSETID_Common).
    {"PidLidReminderDelta", &PSETID_Common, 0x8501, nullptr, PT_LONG},
    {"PidLidReminderTime", &PSETID_Common, 0x8502, nullptr, PT_SYSTIME},
    {"PidLidReminderSet", &PSETID_Common, 0x8503, nullptr, PT_BOOLEAN},
    {"PidLidPrivate", &PSETID_Common, 0x8506, nullptr, PT_BOOLEAN},
    {"PidLidSideEffects", &PSETID_Common, 0x8510, nullptr, PT_LONG},
    {"PidLidCommonStart", &PSETID_Common, 0x8516, nullptr, PT_SYSTIME},
    {"PidLidCommonEnd", &PSETID_Common, 0x8517, nullptr, PT_SYSTIME},
    {"PidLidReminderOverride", &PSETID_Common, 0x851C, nullptr, PT_BOOLEAN},
    {"PidLidReminderPlaySound", &PSETID_Common, 0x851E, nullptr, PT_BOOLEAN},
    {"PidLidReminderFileParameter", &PSETID_Common, 0x851F, nullptr, PT_UNICODE},
    {"PidLidCompanies", &PSETID_Common, 0x8539, nullptr, PT_MV_UNICODE},
    {"PidLidContacts", &PSETID_Common, 0x853A, nullptr, PT_MV_UNICODE},
    {"PidLidReminderSignalTime", &PSETID_Common, 0x8560, nullptr, PT_SYSTIME},
    // The categories (PS_PUBLIC_STRINGS, a string name).
    {"PidNameKeywords", &PS_PUBLIC_STRINGS, 0, u"Keywords", PT_MV_UNICODE},
};

// Each name, and each property (set and id or string name), once: a second entry would make
// mapiadmin write a property under the other name, or resolve a name as another property.
consteval bool SameString(const char16_t* a, const char16_t* b) {
    if (a == nullptr || b == nullptr) return a == b;
    for (; *a != u'\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}
consteval bool EveryEntryOnce() {
    for (std::size_t i = 0; i < std::size(kNamedProperties); ++i)
        for (std::size_t j = i + 1; j < std::size(kNamedProperties); ++j) {
            const NamedProperty& a = kNamedProperties[i];
            const NamedProperty& b = kNamedProperties[j];
            if (a.name == b.name) return false;
            if (a.set == b.set && a.lid == b.lid && SameString(a.string, b.string)) return false;
        }
    return true;
}
static_assert(EveryEntryOnce());

// The table's entry of a canonical name, found while compiling: a name the table lacks is a
// compile error, never a property resolved as something else at run time.
consteval const NamedProperty& NamedProp(std::string_view name) {
    for (const NamedProperty& p : kNamedProperties)
        if (p.name == name) return p;
    throw "no named property of that name in kNamedProperties";
}

// The id of a PSETID_Address property (the contact code computes the e-mail ids from them).
consteval LONG AddressLid(std::string_view name) {
    const NamedProperty& p = NamedProp(name);
    if (p.set != &PSETID_Address || p.string != nullptr) throw "not a numeric PSETID_Address property";
    return p.lid;
}

}  // namespace NAMESPACE_COMMON
