// The contact field table: every field of a contact with its numeric id, the element the host
// sends it in, the element the agent reports it in and where it lives on the MAPI message. The
// read (documents from messages) and the write (messages from documents) both work from this one
// table, so a field is added or renamed in one place.
//
// The inbound and outbound names differ for several fields ("BusinessNumber1" in,
// "BusinessNumber" out; "Mobile"/"Mobile1"; "Pager"/"Pager1"; the SP- names), and
// "SP_YOMILASTNAME" has an underscore where its sibling has a hyphen: the host expects exactly
// these spellings.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/NamedProps.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

enum class ContactFieldKind : uint8_t {
    Text,       // a PT_UNICODE property (tag)
    Date,       // a PT_SYSTIME property (tag), sent as "%Y-%m-%d" of the local date
    NamedText,  // a PT_UNICODE named property of PSETID_Address (lid)
    Email,      // PSETID_Address lids lid-1 (address type), lid (address), lid+1 (original display name)
    InstantMessaging,  // PSETID_Address 0x8062, the service given by a prefix of the text
    Categories,        // "Keywords" of PS_PUBLIC_STRINGS, PT_MV_UNICODE, sent joined with ";"
    Body,              // PR_BODY_W, read through a stream
    FullName,          // reported from the file-as name (lid 0x8005); written as the composed display name
};

struct ContactField {
    int32_t id;
    const char* received;  // the inbound element below "/Contact/"; null when the host never sends it
    const char* sent;      // the outbound element
    ContactFieldKind kind;
    ULONG tag;             // Text, Date, Body: the property; 0 otherwise
    LONG lid;              // named kinds: the PSETID_Address id (Email: the address's own id)
    const char* imPrefix;  // InstantMessaging: the service prefix stored before the address, "" for
                           // the plain address (id 4022)
    bool written;          // false: a write never stores it (FullName: the display name is composed
                           // from the name fields instead; the yomi names: the host cannot send them)
};

// Every field, in the order the inbound document is read (the order of the host's document).
std::span<const ContactField> ContactFields();
const ContactField* FindContactField(int32_t id);

// Field ids the read and write code name directly.
inline constexpr int32_t kFieldFullName = 5;
inline constexpr int32_t kFieldIMAddress = 4022;

// PSETID_Address ids of the message-level elements (common/NamedProps.h is their home).
inline constexpr LONG kLidFileUnder = NAMESPACE_COMMON::AddressLid("PidLidFileUnder");
inline constexpr LONG kLidHasPicture = NAMESPACE_COMMON::AddressLid("PidLidHasPicture");
inline constexpr LONG kLidInstantMessaging = NAMESPACE_COMMON::AddressLid("PidLidInstantMessagingAddress");
inline constexpr LONG kLidEmail1 = NAMESPACE_COMMON::AddressLid("PidLidEmail1EmailAddress");
inline constexpr LONG kLidEmail2 = NAMESPACE_COMMON::AddressLid("PidLidEmail2EmailAddress");
inline constexpr LONG kLidEmail3 = NAMESPACE_COMMON::AddressLid("PidLidEmail3EmailAddress");

// An e-mail's other properties sit at fixed distances from its address's id, which the contact
// code counts on: display name -3, address type -1, original display name +1.
static_assert(NAMESPACE_COMMON::AddressLid("PidLidEmail1DisplayName") == kLidEmail1 - 3 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail1AddressType") == kLidEmail1 - 1 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail1OriginalDisplayName") == kLidEmail1 + 1);
static_assert(NAMESPACE_COMMON::AddressLid("PidLidEmail2DisplayName") == kLidEmail2 - 3 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail2AddressType") == kLidEmail2 - 1 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail2OriginalDisplayName") == kLidEmail2 + 1);
static_assert(NAMESPACE_COMMON::AddressLid("PidLidEmail3DisplayName") == kLidEmail3 - 3 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail3AddressType") == kLidEmail3 - 1 &&
              NAMESPACE_COMMON::AddressLid("PidLidEmail3OriginalDisplayName") == kLidEmail3 + 1);

// The instant-messaging service of a stored address: the first ':' ends a prefix that, compared
// without ASCII case with "AIM:", "WINDOWSLIVE:", "YAHOO:", "SKYPE:", "QQ:", "GTALK:", "ICQ:",
// "JABBER:" in that order, names the service; the prefix is removed from `text` and the field id
// (4023 ... 4030) returned. No ':' or another prefix: 4022 and the text unchanged.
int32_t SplitIMAddress(std::string& text);

}  // namespace NAMESPACE_MAPI
