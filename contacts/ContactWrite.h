// The inbound contact document and what a contact write stores from it.
//
// XmlToContactEx reads the host's document into a record (table-driven from the field table:
// each field's received element, looked up once under "/Contact/" in the order the host's
// document lists them). ContactExToFields flattens the record into one text per field for the
// write, and the Set... functions add one group of properties to the write's edits by the
// setting rule of common/MapiHelpers.h (a non-empty value is set, an empty one removed), so a
// write fully replaces what it covers. A write makes all its edits with one DeleteProps and one
// SetProps and ignores their results: the message's SaveChanges decides whether the write took
// (mapi/ContactWrite.cpp).
//
// An update writes only what changed: a field whose inbound text is what the read sends for the
// stored contact (ContactFieldSentBack against CContactSentFields, contacts/ContactXml.h) keeps the
// properties behind it exactly as stored, so a host that writes back what it read changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/DateTime.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactXml.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// Fills a reset record from the document text. Header elements: lFlag (a decimal integer; no
// digits gives 0), PIMID and CsFolder (when not empty). Every field element present with a
// non-empty text adds one item; an element given twice counts once (the first); elements of the
// outbound vocabulary ("Mobile1", "SP-EMAIL1") are not read. Each of the eighteen telephone
// elements other than OtherFax traces its marker followed by its text when present, empty or
// not. PICPath (when present, even empty) goes to the first name item of id 1, else 2, 3, 5; with
// none of them a new id-5 item with an empty value carries it. A text that is not a document
// leaves the record as it was. Returns 1; throws std::runtime_error when no document object can
// be made (the record is then untouched).
int XmlToContactEx(std::string_view xml, CContactEx& record);

// One write's flat view of a record: the text of every field id (a later item of an id wins), the
// instant-messaging address in its stored form (the service prefix before the text; of several
// services the last in document order wins), the picture path of the first name item (id 1, 2,
// 3, then 5) and the record's header. The field texts are views of the record's: the record
// outlives the view.
struct tagContactFields {
    // The text of a field id; "" when the record has none.
    std::string_view Text(int32_t fieldId) const;

    std::unordered_map<int32_t, std::string_view> values;
    std::string strIMAddress;
    std::string strPicturePath;
    int32_t lFlag = 0;
    std::string strPIMID;
    std::string strCsFolder;
    NAMESPACE_COMMON::CDateTime dtModified;
    NAMESPACE_COMMON::CDateTime dtStamp;
};
void ContactExToFields(tagContactFields& fields, const CContactEx& record);

// A birthday or anniversary text: year-month-day separated by "-", then hour:minute:second
// separated by ":", each part a decimal integer (an absent part 0). An empty text, or parts that
// name no real date and time, give the zero date (0.0, valid), which removes the property.
NAMESPACE_COMMON::CDateTime ParseContactDate(std::string_view text);

// The named properties one contact write sets or removes, resolved together in one
// GetIDsFromNames (MAPI_CREATE): only the names of the groups the write stores, so a write creates
// no name it does not use. Named ids of a store never change once mapped, so the tags resolved
// can be kept (`Kept`) for the next writes to the same store: only names not kept are asked for.
class CContactWriteNames {
public:
    // Tags resolved before, for writes to one store; only usable tags are kept.
    struct Kept {
        std::unordered_map<LONG, ULONG> address;  // PSETID_Address lid -> PT_UNICODE tag
        ULONG keywords = 0;                       // "Keywords" as PT_MV_UNICODE
    };
    explicit CContactWriteNames(Kept* kept = nullptr) : m_kept(kept ? kept : &m_own) {}

    // The names behind a field: NamedText and InstantMessaging its lid, Email its four lids,
    // Categories "Keywords"; none for the other kinds.
    void Want(const ContactField& field);
    // One PSETID_Address text property.
    void WantLid(LONG lid);
    // Resolves every wanted name that is not kept on `message`, in one call.
    void Resolve(IMessage* message);
    // The PT_UNICODE tag of a PSETID_Address lid, or "Keywords" as PT_MV_UNICODE; 0 when it was
    // not wanted or the store did not resolve it (the property is then skipped).
    ULONG Tag(LONG lid) const;
    ULONG KeywordsTag() const { return m_keywordsTag; }

private:
    Kept m_own;
    Kept* m_kept;
    std::vector<LONG> m_lids;  // wanted, in the order asked
    bool m_keywords = false;
    std::unordered_map<LONG, ULONG> m_tags;  // after Resolve: this write's
    ULONG m_keywordsTag = 0;
};

// One e-mail address (lid 0x8083, 0x8093 or 0x80A3) as its four PSETID_Address properties: the
// address type (lid - 1, "SMTP"), the address (lid), the original display name (lid + 1) and the
// display name (lid - 3), all removed when the address is empty.
void SetContactEmail(NAMESPACE_COMMON::CPropEdits& edits, const CContactWriteNames& names, LONG lid,
                     std::string_view address);

// The categories ("Keywords" of PS_PUBLIC_STRINGS, multi-valued, `tag`) from a ";"-separated
// text: removed for an empty text; otherwise each part before a ";" is one value (empty parts
// too), and a last part without ";" one more. "A;B;" stores A and B; ";A" stores "" and A.
void SetContactCategories(NAMESPACE_COMMON::CPropEdits& edits, ULONG tag, std::string_view text);

// The display name composed from first, middle and last name (separated by one space) and the
// initials (the first character of each, and of every word of the middle name, each followed by
// "."), stored as PR_INITIALS_W, and PR_DISPLAY_NAME_W, PR_SUBJECT_W, PR_NORMALIZED_SUBJECT_W and
// the file-as name; all removed when there is no name.
void ComposeContactName(const tagContactFields& fields, std::string& name, std::string& initials);

// True when the host sent back, for `field`, exactly what the read sends for the stored contact
// (`sent`): the properties behind the field then stay as stored. The instant-messaging address is
// compared as SP-IMADRESS shows it (service and text), whichever of its elements the host used.
bool ContactFieldSentBack(const ContactField& field, const tagContactFields& fields,
                          const CContactSentFields& sent);
// True when first, middle and last name were all sent back: the names composed of them (display
// name, subject, normalized subject, initials, file-as) then stay as stored.
bool ContactNamesSentBack(const tagContactFields& fields, const CContactSentFields& sent);

}  // namespace NAMESPACE_MAPI
