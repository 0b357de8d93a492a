// The outbound contact document: the builders that turn a contact message into the elements the
// host reads. AppendContactRowXml writes what a contents-table row (or GetProps with the same
// columns) holds; AppendContactMessageXml writes what needs the open message: the named
// properties, the body, the e-mail addresses, instant messaging, categories and the picture.
//
// Document shape (the host's reader expects exactly this):
//   <Contact>
//     CsFolder, [lFlag (change reads)], the row elements in column order (each only when the
//     property has a value), PIMID, [PICPath], FULLNAME, SP-BUSINESSCOUNTRY, SP-BUSINESSCITY,
//     SP-BUSINESSSTATE, SP-BUSINESSSTREET1, SP-BUSINESSZIP, SP-BUSINESSPOBOX, SP-YOMIFIRSTNAME,
//     SP_YOMILASTNAME, SP-BODY, SP-EMAIL1..3, SP-IMADRESS IMType="...", SP-CATEGORIES
//   </Contact>
// each child after a line feed and one tab. Times are the local time of this machine as
// "%Y/%m/%d %H:%M:%S", birthday and anniversary as "%Y-%m-%d".
//
// Text from the store is UTF-16 and may hold what XML 1.0 cannot carry (unpaired surrogates,
// control characters); the document writer (CXMLParser) replaces each with U+FFFD, so every
// document is well-formed XML 1.0 in UTF-8.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/MapiHelpers.h"
#include "common/TimeZone.h"
#include "common/XMLParser.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// The 47 columns of the contents table and of GetProps on one contact, in the document's order.
std::span<const ULONG> ContactColumns();
inline constexpr std::size_t kContactColumnCount = 47;

// Where the builders take the machine's zone from for UTC -> local conversions. A read takes the
// zone once (LocalZone) and converts every time of every contact with it, which is what the
// system would give for each (the rule in force does not change during a read).
NAMESPACE_COMMON::TimeZoneSource LocalZone();

// Adds one element per mapped value under the root, in the order of the values; values whose tag
// is not a contact column (PT_ERROR columns included) add nothing. `pimid` receives the upper-case
// hex of PR_ENTRYID or PR_LONGTERM_ENTRYID_FROM_TABLE, whichever comes later in the values.
void AppendContactRowXml(NAMESPACE_COMMON::CXMLParser& parser, std::string& pimid, const SPropValue* values,
                         ULONG count, const NAMESPACE_COMMON::TimeZoneSource& zone);

// What the builders keep for the length of one read.
struct CContactReadState {
    std::string workFolder;                 // pictures are written here; "" = none are written
    NAMESPACE_COMMON::TimeZoneSource zone;  // the machine's zone, taken once (LocalZone)
    std::vector<ULONG> namedTags;           // the message-level names' tags, resolved with the first
                                            // message (names are the store's, the same for all)
    // Called before a picture file is written; false: not written (ExportContactPicture).
    std::function<bool()> beforeFileWrite;
};

// The message-level values of one contact, read in one GetProps round trip (the body through a
// stream when the store keeps it out of line). The names are resolved (GetIDsFromNames with
// MAPI_CREATE) with the first message of a read and kept in the read's state.
class CContactMessageProps {
public:
    // Reads the values (those too large for GetProps whole, through their streams); any failure
    // leaves the affected values empty. A multi-valued value has no stream: categories too large
    // for GetProps read as none.
    CContactMessageProps(IMessage* message, std::vector<ULONG>& namedTags);

    // The text of a PSETID_Address string property; "" when missing.
    std::string GetNamedStringProp(LONG lid) const;
    // The address of an e-mail (lid 0x8083, 0x8093, 0x80A3): for the address type "EX" the
    // original display name (lid + 1), otherwise the address (lid).
    std::string GetContactEmail(LONG lid) const;
    // The categories joined with ";".
    std::string GetContactCategories() const;
    // The body; a body that is only a line break ("\r\n" or "\n") is empty.
    std::string GetBody() const { return m_body; }
    // False only when the message says it has no attachment at all (PR_HASATTACH false).
    bool MayHaveAttachments() const { return m_mayHaveAttachments; }

private:
    const SPropValue* Named(LONG lid) const;
    MapiBuffer<SPropValue> m_values;
    ULONG m_count = 0;
    std::vector<ULONG> m_tagArray;                          // what GetProps was asked for
    std::optional<NAMESPACE_COMMON::CWholeValues> m_whole;  // its answer, large values whole
    std::string m_body;
    bool m_mayHaveAttachments = true;
};

// Adds PICPath (when a picture file was written), FULLNAME, the SP- elements, SP-IMADRESS with
// its IMType and SP-CATEGORIES. Pictures are written to the state's work folder (ContactPicture.h).
void AppendContactMessageXml(NAMESPACE_COMMON::CXMLParser& parser, IMessage* message,
                             CContactReadState& state);

// What the read sends for one stored contact, field by field, as the host reads it from the
// document: the text of each field's sent element with what XML 1.0 cannot carry replaced, "" for
// an element the document leaves out or sends empty. The texts come from the document builders'
// own rules (the row's values, CContactMessageProps), so a host that writes back what it read is
// recognised field by field (contacts/ContactWrite.h, ContactFieldSentBack).
class CContactSentFields {
public:
    // Reads the message as a read does: the contact columns in one GetProps (values too large for
    // it read whole), the message-level values in another. Times are converted with `zone`.
    // `namedTags` (may be null) keeps the message-level names' tags between calls on messages of
    // one store, as a read's state does (CContactMessageProps).
    CContactSentFields(IMessage* message, const NAMESPACE_COMMON::TimeZoneSource& zone,
                       std::vector<ULONG>* namedTags = nullptr);
    // From values already read: the contact columns (whole) and the message-level values.
    CContactSentFields(const SPropValue* columns, ULONG count, const CContactMessageProps& props,
                       const NAMESPACE_COMMON::TimeZoneSource& zone);

    // The text of the field's sent element; for the instant-messaging fields the text of
    // SP-IMADRESS, whose IMType is ImService().
    const std::string& Text(int32_t fieldId) const;
    int32_t ImService() const { return m_imService; }
    // False only when the message says it has no attachment at all (no photo to compare with).
    bool MayHaveAttachments() const { return m_mayHaveAttachments; }

private:
    void Fill(const SPropValue* columns, ULONG count, const CContactMessageProps& props,
              const NAMESPACE_COMMON::TimeZoneSource& zone);
    std::vector<std::string> m_texts;  // per row of ContactFields() (an id's first row)
    int32_t m_imService = 0;
    bool m_mayHaveAttachments = true;
};

}  // namespace NAMESPACE_MAPI
