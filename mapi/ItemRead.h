// The one read flow of both item kinds (procedures 14 and 15), mapi/ItemRead.cpp. A kind brings
// what differs as data: its folders, the journal's category, the document's root, the count it
// starts with, the trace texts of its operations (ItemReadTexts), and its document builders with
// what they keep for one read (ItemDocuments). Everything else is written once: the checks before a
// read, the count, the folder's name and id, the full read over the folder walk, the change read
// (snapshot, GetChangeLog, the change list, CommitChangeLog only after every change reached the
// host), the documents of rows and change entries, and the delivery with the caller's lock
// released. mapi/ContactRead.cpp and mapi/CalendarRead.cpp hold the two kinds.
#pragma once

#include <cassert>
#include <functional>
#include <span>
#include <string>

#include "common/DateTime.h"
#include "common/TimeZone.h"
#include "common/XMLParser.h"
#include "journal/LogItemArray.h"
#include "mapi/FolderWalk.h"
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

// The trace texts where the two kinds' reads differ (the host's trace readers know each as it is).
// A read traces under two operation names: `read`, the procedure's ("ReadContacts"), and `part`,
// the folder part's ("ReadContacts" again, or "ReadCalendarEvent"). Null leaves a line out.
struct ItemReadTexts {
    const char* read;        // Begin, "Read in progress", Finish
    const char* part;        // the folder's GetProps line, the full and change read lines
    bool folderFirst;        // a missing folder is found before the count, under `read`
    bool partFramed;         // `part` has its own Begin and Finish(%s) lines and the "before" marks
    bool outcomeLines;       // "Read Succeeded" / "Read Failed" before the Finish line of `read`
    const char* countOwner;  // "CMAPIObject::<countOwner> - <countNoun> Count(%d)"
    const char* countNoun;
    const char* fullRead;           // a full read begins
    const char* nothingToRead;      // a full read of a count below 1
    const char* folderReadFailed;   // the full read failed
    const char* changeRead;         // a change read begins: "<changeRead>(<anchor>)"
    const char* logReadFailed;      // the snapshot or the change list failed
    const char* fromFolder;         // the full read's operation (one per folder)
    const char* fromFolderOpening;  // its first line
    const char* snapshot;           // the snapshot's operation (one per folder)
    const char* fromLog;            // the change list's operation
    const char* deliverCall;        // names the callback in the line of a failed delivery
    const char* afterNotice;        // after a deletion notice went to the host
};

// What a kind is to the read flow.
struct ItemReadKind {
    const FolderKind& folders;
    const char16_t* journalCategory;  // the request's category: u"contact", u"calendar"
    const char* documentRoot;         // "Contact", "Calendar"
    int32_t (CMAPIObject::*count)();  // the count a read starts with (its trace lines included)
    ItemReadTexts texts;
};

// One entry of a change list as its deletion notice needs it.
struct DeletedEntry {
    int32_t flags;
    const std::string& pimid;
    const NAMESPACE_COMMON::CDateTime& modified;  // the journal's time
    int64_t index;                                // in the change list
    int32_t total;                                // entries of the change list
};

// A kind's document builders with what they keep for one read (the zone taken at its start, the
// names resolved with its first message, ...). The flow makes every document's declaration and
// root and adds CsFolder, lFlag and PIMID itself.
class ItemDocuments {
public:
    virtual ~ItemDocuments() = default;
    // The read begins (it owns the object now): takes the zone every time of the read converts with.
    virtual void Start(const NAMESPACE_COMMON::TimeZoneSource& zone) = 0;
    // The item columns: of the contents table and of GetProps on one message.
    virtual LPSPropTagArray Columns() = 0;
    // The row's elements; `pimid` gets the row's identifier.
    virtual void AddRowElements(NAMESPACE_COMMON::CXMLParser& document, std::string& pimid,
                                const SPropValue* values, ULONG count) = 0;
    // The elements that need the open message.
    virtual void AddMessageElements(NAMESPACE_COMMON::CXMLParser& document, IMessage* message) = 0;
    // Whether a finished item document goes to the host (it may add the last elements first); one
    // that does not counts as delivered.
    virtual bool Sendable(NAMESPACE_COMMON::CXMLParser& /*document*/) { return true; }
    // The whole notice of a deleted item, declaration and root included; false when it cannot be made.
    virtual bool BuildDeletionNotice(NAMESPACE_COMMON::CXMLParser& document, const DeletedEntry& entry) = 0;
    // A kind that writes files its documents name calls `wait` before each write: the host may
    // still be reading the file of the document before (the same name), until it has answered.
    // False: that answer was a failure, the read ends, and the file is not written.
    virtual void WaitBeforeFileWrites(std::function<bool()> /*wait*/) {}
};

// A kind's columns as the tag array MAPI calls take.
template <std::size_t N>
class ColumnTags {
public:
    explicit ColumnTags(std::span<const ULONG> columns) {
        assert(columns.size() == N);  // the kind's column count is the array's size
        m_tags.cValues = static_cast<ULONG>(N);
        std::copy(columns.begin(), columns.end(), m_tags.aulPropTag);
    }
    LPSPropTagArray get() { return m_tags.get(); }

private:
    SizedSPropTagArray<static_cast<ULONG>(N)> m_tags{};
};

}  // namespace NAMESPACE_MAPI
