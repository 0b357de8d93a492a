// The folder walk every item read runs on: the items of one class in a folder, then (with the
// sub-folder switch) its sub-folders of the same kind, depth-first in hierarchy-table order, each
// sub-folder's path its parent's path and its own name ("Contacts\Friends").
#pragma once

#include <cassert>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// The items a read walks: the message class of its items, the container class of its
// sub-folders, and the member that names the selected folder in the trace lines.
struct FolderKind {
    const char16_t* itemClass;
    const char16_t* containerClass;
    const char* folderMember;
};
inline constexpr FolderKind kContactFolders{u"IPM.Contact", u"IPF.Contact", "m_lpContactFolder"};
inline constexpr FolderKind kCalendarFolders{u"IPM.Appointment", u"IPF.Appointment", "m_lpEventFolder"};

// The item rows of folders that an earlier query of the same read already fetched, for a walk that
// asks for the same columns: a change read's count asks for the snapshot's columns, and its
// snapshot then takes each folder's rows instead of listing the folder a second time. A folder's
// rows are taken once; a folder with none kept (its count failed, or it appeared since) is queried.
// Rows that are a moment older than the walk are safe for the journal: what changes after them is
// what the next change read finds, as for a change just after the walk's own query.
class KeptFolderRows {
public:
    // Rows of items of `itemClass` with `columns` (both outlive this).
    KeptFolderRows(LPSPropTagArray columns, const char16_t* itemClass)
        : m_columns(columns), m_itemClass(itemClass) {
        assert(columns != nullptr && itemClass != nullptr);
    }
    KeptFolderRows(const KeptFolderRows&) = delete;
    KeptFolderRows& operator=(const KeptFolderRows&) = delete;

    LPSPropTagArray Columns() const { return m_columns; }
    // Rows of items of this class are kept.
    bool Lists(const char16_t* itemClass) const {
        return itemClass != nullptr && std::u16string_view(itemClass) == m_itemClass;
    }
    // The rows kept are what a query of these columns over the items of this class answers.
    bool Answers(LPSPropTagArray columns, const char16_t* itemClass) const;
    // The rows of the folder `entryId` and the query's answer.
    void Keep(ULONG cbEntryId, const BYTE* entryId, HRESULT hr, RowSetPtr rows);
    // The rows kept for the folder, moved to `rows` with the answer they came with; false when none.
    bool Take(ULONG cbEntryId, const BYTE* entryId, HRESULT& hr, RowSetPtr& rows);

private:
    struct Folder {
        std::string id;
        HRESULT hr;
        RowSetPtr rows;
    };
    LPSPropTagArray m_columns;
    const char16_t* m_itemClass;
    std::vector<Folder> m_folders;  // a few folders: a list is enough
};

// What a walk does: the kind of items, the operation's name for its trace lines and the text of its
// first line ("Begin"; the calendar's full read opens with "Finish"), the columns of the item rows,
// what to do with each row (1 go on, 0 stop: the walk failed, -1 stop at once without the Finish
// line, the walk then answering 0) and whether a bad parameter or a failed open also writes the Finish line.
// With `itemColumns`, `columns` only list the folder's items (they must hold PR_ENTRYID) and each
// row reaches `row` with the item columns, read a page at a time: a folder of any size then holds
// its list and one page of whole rows, not every item's values at once.
struct FolderVisit {
    const FolderKind& kind;
    const char* operation;
    const char* openingLine;
    LPSPropTagArray columns;
    std::function<int(const SRow& row, const std::string& path)> row;
    bool finishWhenInvalid;
    LPSPropTagArray itemColumns = nullptr;
    // Rows an earlier query of the read kept; used when their columns are `columns`.
    KeptFolderRows* kept = nullptr;
    // Called once a folder's rows are done, before the walk traces or does anything else: a row
    // may leave work of its own unfinished until then (a document whose answer the read has not
    // collected yet). False makes the folder fail, as a row's 0 does.
    std::function<bool()> rowsDone = nullptr;
};

// Walks the folder `entryId` names, opened through `base` (the read's folder), with the path text
// `path`, and with `subFolders` its sub-folders of the kind. 1 done, 0 failed.
int WalkFolder(IMAPIFolder* base, bool subFolders, ULONG cbEntryId, const BYTE* entryId,
               const std::string& path, const FolderVisit& visit);

// The identifier of an item's row: the hex text of PR_LONGTERM_ENTRYID_FROM_TABLE when the row has
// one, else of PR_ENTRYID ("" with neither).
std::string RowIdentifier(const SPropValue* values, ULONG count);

// The columns of a hierarchy table's rows (container class, display name, entry id, sub-folders).
LPSPropTagArray SubFolderColumns();

// A folder's display name and entry id, read in one GetProps (MAPI_UNICODE): what a read and a
// count start from.
struct FolderHead {
    HRESULT hr = MAPI_E_CALL_FAILED;
    MapiBuffer<SPropValue> values{MapiTable().MAPIFreeBuffer};
    ULONG count = 0;

    // Both values came back (S_OK, the entry id in its place).
    bool Read() const;
    std::string Name() const;
    const SBinary& Id() const;
};
FolderHead ReadFolderHead(IMAPIFolder* folder);

}  // namespace NAMESPACE_MAPI
