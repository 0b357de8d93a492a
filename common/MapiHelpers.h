// Small Extended MAPI helpers shared by the session, folder and item code: opening an entry by
// its binary or hex entry id, opening a store's default folder named by a store or inbox
// property, opening the parent folder of an item, mapping a container class to the agent's
// folder type code, and taking the folder id out of the "<event>" wrapper the host uses when it
// names a calendar folder.
//
// Every MAPI call goes through the process-wide entry-point table (common/MapiFunctions.h); a
// helper that needs a table entry gives its failure value when the table is incomplete. No
// helper traces or throws: a failure is a null result (or an empty output) that the caller
// reports in its own words. Every object and buffer obtained on the way is released or freed
// before returning, on failure too. Results are owned (ComPtr): the caller holds the one
// reference.
//
// Object types: every open asks for the interface it hands out (OpenEntryAs for entries,
// OpenPropertyStream for property streams), so an entry id that names an object of another kind
// (a store, a message where a folder is wanted) gives null instead of an interface of the wrong
// shape, and no caller casts what comes back. mapiadmin opens through the same helpers.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "common/NamedProps.h"
#include "common/TimeZone.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_COMMON {

// Folder type codes: the index of the container class in the table below, 6 for any other.
inline constexpr uint32_t kFolderTypeNote = 0;         // "IPF.Note"
inline constexpr uint32_t kFolderTypeAppointment = 1;  // "IPF.Appointment"
inline constexpr uint32_t kFolderTypeContact = 2;      // "IPF.Contact"
inline constexpr uint32_t kFolderTypeTask = 3;         // "IPF.Task"
inline constexpr uint32_t kFolderTypeJournal = 4;      // "IPF.Journal"
inline constexpr uint32_t kFolderTypeStickyNote = 5;   // "IPF.StickyNote"
inline constexpr uint32_t kFolderTypeOther = 6;        // anything else, "IPF.Post" included

// The longest text ExtractEventId writes, in UTF-16 units: the host's 1024-unit buffer less
// its terminating zero.
inline constexpr std::size_t kEventIdMaxUnits = 1023;

// The interface id the typed open asks for, by interface type.
template <class T>
struct MapiIid;
template <>
struct MapiIid<IMAPIProp> {
    static constexpr const IID& value = IID_IMAPIProp;
};
template <>
struct MapiIid<IMAPIFolder> {
    static constexpr const IID& value = IID_IMAPIFolder;
};
template <>
struct MapiIid<IMessage> {
    static constexpr const IID& value = IID_IMessage;
};
template <>
struct MapiIid<IMsgStore> {
    static constexpr const IID& value = IID_IMsgStore;
};
template <>
struct MapiIid<IStream> {
    static constexpr const IID& value = IID_IStream;
};

// The typed open: OpenEntry on `source` (a session, store or folder) asking for T's interface,
// so the object comes back as a T or not at all (an entry of another kind fails with the
// runtime's status, MAPI_E_INTERFACE_NOT_SUPPORTED or MAPI_E_NOT_FOUND). Returns OpenEntry's
// status for the caller's trace; `out` holds the object only on success. A success without an
// object gives MAPI_E_NOT_FOUND. objType, when given, receives the opened object's type.
template <class T, class Source>
HRESULT OpenEntryAs(Source* source, ULONG cbEntryId, const BYTE* entryId, ULONG flags, ComPtr<T>& out,
                    ULONG* objType = nullptr) {
    out = nullptr;
    if (objType) *objType = 0;
    if (source == nullptr) return MAPI_E_INVALID_PARAMETER;
    ULONG type = 0;
    const HRESULT hr =
        source->OpenEntry(cbEntryId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId)),
                          &MapiIid<T>::value, flags, &type, reinterpret_cast<IUnknown**>(out.put()));
    if (FAILED(hr)) {
        out = nullptr;  // release whatever came back with a failure
        return hr;
    }
    if (!out) return MAPI_E_NOT_FOUND;
    if (objType) *objType = type;
    return hr;
}

// Row helpers. A row's value is found by its whole tag (type included), so a column that came
// back as PT_ERROR (the property is missing) matches nothing.
const SPropValue* FindProp(const SPropValue* values, ULONG count, ULONG propTag);
inline const SPropValue* FindProp(const SRow& row, ULONG propTag) {
    return FindProp(row.lpProps, row.cValues, propTag);
}
// The binary value of the tag, or null.
const SBinary* FindBinary(const SRow& row, ULONG propTag);
// The text of a PT_UNICODE or PT_STRING8 tag as UTF-8 (8-bit text is taken as UTF-8; bytes that
// are not become U+FFFD); empty when the row lacks it.
std::string FindText(const SRow& row, ULONG propTag);
// A PT_BOOLEAN value; false when the row lacks it.
bool FindBool(const SRow& row, ULONG propTag);
// True when the row holds at least one value.
inline bool HasProps(const SRow& row) {
    return row.lpProps != nullptr && row.cValues > 0;
}

// A property restriction "tag equals value", owning the value it points at (for contents and
// hierarchy tables: PR_MESSAGE_CLASS_W == "IPM.Contact", PR_DEFAULT_STORE == TRUE).
class EqualsRestriction {
public:
    EqualsRestriction(ULONG tag, std::u16string text) : m_text(std::move(text)) {
        m_value.ulPropTag = tag;
        m_value.Value.lpszW = m_text.data();
        Wire();
    }
    EqualsRestriction(ULONG tag, bool b) {
        m_value.ulPropTag = tag;
        m_value.Value.b = b ? 1 : 0;
        Wire();
    }
    EqualsRestriction(const EqualsRestriction&) = delete;
    EqualsRestriction& operator=(const EqualsRestriction&) = delete;
    LPSRestriction get() { return &m_restriction; }

private:
    void Wire() {
        m_restriction.rt = RES_PROPERTY;
        m_restriction.res.resProperty.relop = RELOP_EQ;
        m_restriction.res.resProperty.ulPropTag = m_value.ulPropTag;
        m_restriction.res.resProperty.lpProp = &m_value;
    }
    std::u16string m_text;
    SPropValue m_value{};
    SRestriction m_restriction{};
};

// The store's inbox: the receive folder of "IPM.Note" (asked with MAPI_UNICODE), opened with
// MAPI_BEST_ACCESS; null when the store names none or it does not open as a folder.
ComPtr<IMAPIFolder> OpenInboxFolder(IMsgStore* store);

// OpenEntryAs a folder on the store with MAPI_BEST_ACCESS; null when it does not open as one.
ComPtr<IMAPIFolder> OpenFolderEntry(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId);

// The store's default folder named by `propTag` (PR_IPM_CONTACT_ENTRYID, ...): the property is
// read from the inbox (the receive folder of "IPM.Note") and, when the inbox is missing or lacks
// it, from the root folder; a binary value of non-zero length is opened as a folder. Null when
// neither has a binary value, or when it does not open as a folder.
ComPtr<IMAPIFolder> OpenDefaultFolder(IMsgStore* store, ULONG propTag);

// Reads one property with HrGetOneProp; the value (owned) or null. Also null when the table is
// incomplete or the object is null.
MapiBuffer<SPropValue> GetOneProp(IMAPIProp* object, ULONG propTag);

// The folder holding the item named by the entry id, opened through `container` (the item with
// MAPI_MODIFY | MAPI_BEST_ACCESS, its PR_PARENT_ENTRYID with MAPI_BEST_ACCESS). Null for a null
// container or id, or when either open fails.
ComPtr<IMAPIFolder> OpenParentFolder(IMAPIContainer* container, ULONG cbEntryId, const BYTE* entryId);

// OpenParentFolder with the entry id given as hex text (HexStringToBinary rules: optional "x" or
// "0x" prefix, two digits per byte). An empty text, or one that decodes to no byte (a single
// character), gives null without calling MAPI.
ComPtr<IMAPIFolder> OpenParentFolderByHexId(IMAPIContainer* container, std::string_view hexId);

// The item named by the hex entry id, opened through `container` with MAPI_MODIFY |
// MAPI_BEST_ACCESS. An empty text gives null; a text of one character decodes to an empty id,
// which is passed to OpenEntry unchanged (and then names no item).
ComPtr<IMessage> OpenMessageByHexId(IMAPIContainer* container, std::string_view hexId);

// The folder type code of a container class: exact, case-sensitive comparison with the whole
// class; a derived class ("IPF.Contact.Special") or another case gives 6.
uint32_t GetFolderTypeCode(std::string_view containerClass);

// Takes the calendar folder selection out of the host's text. The text is trimmed (blanks, tabs,
// line ends); it counts as wrapped when it starts with "<id>" and ends with "</id>". The
// characters between the first "<event>" and the first "</event>" (at least one) are the id;
// the output is "<id>" + id + "</id>" for a wrapped text, the id alone otherwise, and empty for
// any other shape (no event part, an empty one, the end tag before the start tag). The source
// is never changed; a null output does nothing.
//
// The host's buffer for the result holds 1023 characters. An output longer than that (counted
// in UTF-16 units) is not cut short, which would name another folder: the output is left empty
// and the result is false, so the caller can refuse the selection instead of taking the empty
// text as "the default folder". True in every other case, an empty output included.
bool ExtractEventId(std::string_view text, std::string* out);

// ---- Item writes ----
// An item write ignores the result of each property it sets or removes: the final SaveChanges
// decides whether the write took. The setting rule of text makes a write a full replacement: a
// non-empty text is set, an empty one removed.

// The property edits of one object, gathered and then made with one DeleteProps and one SetProps
// (Apply), which leaves the object as the same edits made one call each would: the last edit of
// a property id wins, and each value is set or removed on its own (the runtime reports a value it
// refuses in the problem array, which is ignored, and still sets the others). The edits own the
// texts and lists their values point into.
class CPropEdits {
public:
    // Sets a value: PT_UNICODE, PT_MV_UNICODE and PT_BINARY values are copied, other types must
    // hold no pointer.
    void Set(const SPropValue& value);
    void Delete(ULONG tag);
    // The setting rule: `text` (UTF-8) as the PT_UNICODE property `tag` when it is not empty, else
    // the property removed.
    void SetText(ULONG tag, std::string_view text);
    // A local date value as the PT_SYSTIME property `tag` (converted to UTC with LocalToUtc in the
    // machine's zone, or the zone a write took once for all its times); the zero date (0.0, valid)
    // removes the property, and so does a value that names no storable time.
    void SetLocalTime(ULONG tag, const CDateTime& local, const TimeZoneSource& zone = SystemTimeZoneSource());
    bool empty() const { return m_sets.empty() && m_deletes.empty(); }
    // DeleteProps of the removed ids, then SetProps of the set values (each skipped when it has
    // none); results ignored. The edits are then empty. A null object does nothing.
    void Apply(IMAPIProp* object);

private:
    void Forget(ULONG tag);  // an earlier edit of the same property id
    // A bit per low byte of the ids edited so far: a write edits each property once, and Forget
    // then finds nothing without looking through every edit (which made a write's edits quadratic).
    uint64_t m_edited[4] = {};
    std::vector<SPropValue> m_sets;
    std::vector<ULONG> m_deletes;
    std::deque<std::u16string> m_texts;           // what the set texts point into
    std::deque<std::vector<LPWSTR>> m_textLists;  // the lists of multi-valued texts
    std::deque<std::string> m_bytes;              // binary values
};

// SetProps of one value; DeleteProps of one tag. Results ignored; a null object does nothing.
void SetOneProp(IMAPIProp* object, const SPropValue& value);
void DeleteOneProp(IMAPIProp* object, ULONG tag);
// CPropEdits' setting rules, each applied at once.
void SetTextOrDelete(IMAPIProp* object, ULONG tag, std::string_view text);
void SetLocalTimeOrDelete(IMAPIProp* object, ULONG tag, const CDateTime& local,
                          const TimeZoneSource& zone = SystemTimeZoneSource());

// ---- Named properties (common/NamedProps.h names them) ----

// GetIDsFromNames (MAPI_CREATE) for every name of the list in one call. `tags` receives one tag per
// name, with the list's type, or `unresolved` for a name the store did not resolve (every name
// when the call failed or answered with another count). Returns the call's status: S_OK when all
// resolved.
HRESULT ResolveNamedProps(IMAPIProp* object, std::span<const NamedProperty> names, ULONG unresolved,
                          std::vector<ULONG>& tags);

// The tag of one named property, resolved as above; 0 when the call does not answer S_OK with a
// usable id (the caller then skips the property). The set, id or name and type of a table entry,
// or given one by one: numeric names (MNID_ID) and string names (MNID_STRING).
ULONG GetNamedPropTag(IMAPIProp* object, const NamedProperty& name);
ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, LONG lid, ULONG type);
ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, const char16_t* name, ULONG type);

// Blank characters that selection texts are trimmed of: space, tab, CR, LF, VT, FF.
std::string TrimBlanks(std::string_view text);

// ---- Property streams ----
// Values the store keeps out of line (GetProps and tables answer MAPI_E_NOT_ENOUGH_MEMORY for
// them) are read and written through an IStream on the property. These are the one reader and
// the one writer of such streams.

// Bytes asked for by each Read, and handed to each Write.
inline constexpr ULONG kStreamReadBytes = 1024;
inline constexpr ULONG kStreamWriteBytes = 65536;

// OpenProperty(tag, IID_IStream, 0, flags): the typed open of a property's stream (flags 0 to
// read; MAPI_MODIFY | MAPI_CREATE to write). Returns the call's status; `out` holds the stream
// only on success (a success without one gives MAPI_E_NOT_FOUND).
HRESULT OpenPropertyStream(IMAPIProp* object, ULONG tag, ULONG flags, ComPtr<IStream>& out);

// Appends the stream's bytes to `out`, kStreamReadBytes a Read, until a Read gives 0 bytes (S_OK)
// or fails (its status; `out` keeps what came before). A Read that reports more bytes than it
// was asked for is taken for the bytes asked for. `Bytes` is std::string or std::vector<uint8_t>.
template <class Bytes>
HRESULT ReadWholeStream(ISequentialStream* stream, Bytes& out);
// OpenPropertyStream to read, then ReadWholeStream: the status of the first that failed.
template <class Bytes>
HRESULT ReadPropertyStream(IMAPIProp* object, ULONG tag, Bytes& out);

// Writes all of `bytes`, kStreamWriteBytes a Write, and adds up in `written` what the stream took.
// Stops at the first failed Write (its status) or at one that takes nothing (STG_E_MEDIUMFULL).
// The caller commits.
HRESULT WriteWholeStream(ISequentialStream* stream, std::string_view bytes, ULONG& written);

// A value the store keeps out of line: its place in a row or a GetProps answer holds the error
// MAPI_E_NOT_ENOUGH_MEMORY instead.
bool IsOutOfLine(const SPropValue& value);

// A row or a GetProps answer (`values`, in the order of `columns`, which tells the type asked for)
// with every value the store keeps out of line read whole through its stream on `object`, so that
// a value too large for a row still reaches whoever reads the row. Only text and binary values have
// streams (PT_UNICODE, PT_STRING8, PT_BINARY); others stay as they came, and so does the whole answer
// when its length is not the columns' or no value is out of line (then nothing is copied). A value
// whose stream cannot be read stays the error it was.
class CWholeValues {
public:
    CWholeValues(IMAPIProp* object, const SPropTagArray* columns, const SPropValue* values, ULONG count);
    CWholeValues(const CWholeValues&) = delete;
    CWholeValues& operator=(const CWholeValues&) = delete;
    const SPropValue* data() const { return m_copy.empty() ? m_values : m_copy.data(); }
    ULONG size() const { return m_count; }

private:
    const SPropValue* m_values;
    ULONG m_count;
    std::vector<SPropValue> m_copy;      // the answer with the whole values in place
    std::deque<std::u16string> m_texts;  // what they point into (a deque keeps its elements in place)
    std::deque<std::string> m_bytes;
};

// The whole value of a property read through its stream; what was read before a failure (empty
// without a stream).
std::vector<uint8_t> GetStreamBytes(IMAPIProp* object, ULONG tag);
// The whole text of a string property read through its stream (UTF-16 units); "" without a
// stream. A result of "\r\n" or "\n" (an empty body as stores keep it) becomes "".
std::string GetStreamText(IMAPIProp* object, ULONG tag);

}  // namespace NAMESPACE_COMMON
