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
    bool written;          // false: parsed into the record but not stored (FullName: the display
                           // name is composed from the name fields instead)
};

// Every field, in the order the inbound document is read (the order of the host's document).
std::span<const ContactField> ContactFields();
const ContactField* FindContactField(int32_t id);

// Field ids the read and write code name directly.
inline constexpr int32_t kFieldFullName = 5;
inline constexpr int32_t kFieldIMAddress = 4022;

// PSETID_Address ids of the message-level elements.
inline constexpr LONG kLidFileUnder = 0x8005;
inline constexpr LONG kLidHasPicture = 0x8015;
inline constexpr LONG kLidInstantMessaging = 0x8062;
inline constexpr LONG kLidEmail1 = 0x8083;
inline constexpr LONG kLidEmail2 = 0x8093;
inline constexpr LONG kLidEmail3 = 0x80A3;

// The instant-messaging service of a stored address: the first ':' ends a prefix that, compared
// without ASCII case with "AIM:", "WINDOWSLIVE:", "YAHOO:", "SKYPE:", "QQ:", "GTALK:", "ICQ:",
// "JABBER:" in that order, names the service; the prefix is removed from `text` and the field id
// (4023 ... 4030) returned. No ':' or another prefix: 4022 and the text unchanged.
int32_t SplitIMAddress(std::string& text);

}  // namespace NAMESPACE_MAPI
