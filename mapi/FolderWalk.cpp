// The folder walk every item read runs on, the snapshot entries the change journal compares, and
// the folder head reads and counts start from.
#include "mapi/FolderWalk.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "mapi/FolderDepth.h"
#include "mapi/MAPIObject.h"
#include "mapi/TraceScope.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;
using NAMESPACE_COMMON::FindText;

namespace {

constexpr ULONG kContentsFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;
static_assert(kContentsFlags == 0x80000008UL);

// Whole rows read at once by a paged walk: the runtime's table reads its records in batches of
// this size.
constexpr ULONG kPageRows = 256;

// The visit's answer for each row in turn: 1 when every row went on, else the first row's that did not.
int VisitRows(const RowSetPtr& rows, const std::string& path, const FolderVisit& visit) {
    for (ULONG i = 0; i < rows.size(); ++i) {
        if (const int step = visit.row(rows[i], path); step != 1) return step;
    }
    return 1;
}

// Both rows name the same item (the same entry id, or neither has one).
bool SameItem(const SRow& listed, const SRow& whole) {
    const SBinary* a = FindBinary(listed, PR_ENTRYID);
    const SBinary* b = FindBinary(whole, PR_ENTRYID);
    if (a == nullptr || b == nullptr) return a == b;
    return a->cb == b->cb && (a->cb == 0 || std::memcmp(a->lpb, b->lpb, a->cb) == 0);
}

// The listed rows visited with the item columns, a page at a time from the same table (the list
// was its last read, so its cursor stands after it). The list decides which items go: a page row
// that is not the listed item (a table that changed under the walk) fails the walk.
int VisitInPages(IMAPITable* table, const RowSetPtr& listed, const std::string& path,
                 const FolderVisit& visit) {
    const ULONG total = listed.size();
    if (total == 0) return 1;
    // Back to the list's first row from where it ended: a seek from the start would read the folder anew.
    LONG moved = 0;
    if (FAILED(table->SetColumns(visit.itemColumns, 0)) ||
        FAILED(table->SeekRow(BOOKMARK_CURRENT, -static_cast<LONG>(total), &moved)) ||
        moved != -static_cast<LONG>(total))
        return 0;
    RowSetPtr page(MapiTable().FreeProws);
    for (ULONG next = 0; next < total;) {
        const ULONG want = std::min(kPageRows, total - next);
        if (FAILED(table->QueryRows(static_cast<LONG>(want), 0, page.put())) || page.size() == 0) return 0;
        for (ULONG j = 0; j < page.size() && next < total; ++j, ++next) {
            if (!SameItem(listed[next], page[j])) return 0;
            if (const int step = visit.row(page[j], path); step != 1) return step;
        }
    }
    return 1;
}

}  // namespace

bool KeptFolderRows::Answers(LPSPropTagArray columns, const char16_t* itemClass) const {
    if (!Lists(itemClass) || columns == nullptr || columns->cValues != m_columns->cValues) return false;
    return std::equal(columns->aulPropTag, columns->aulPropTag + columns->cValues, m_columns->aulPropTag);
}

void KeptFolderRows::Keep(ULONG cbEntryId, const BYTE* entryId, HRESULT hr, RowSetPtr rows) {
    if (entryId == nullptr) return;
    std::string id(reinterpret_cast<const char*>(entryId), cbEntryId);
    for (Folder& folder : m_folders) {
        // A folder counted twice (a loop of sub-folders) keeps its latest rows.
        if (folder.id == id) {
            folder.hr = hr;
            folder.rows = std::move(rows);
            return;
        }
    }
    m_folders.push_back({std::move(id), hr, std::move(rows)});
}

bool KeptFolderRows::Take(ULONG cbEntryId, const BYTE* entryId, HRESULT& hr, RowSetPtr& rows) {
    if (entryId == nullptr) return false;
    const std::string_view id(reinterpret_cast<const char*>(entryId), cbEntryId);
    for (auto it = m_folders.begin(); it != m_folders.end(); ++it) {
        if (it->id != id) continue;
        hr = it->hr;
        rows = std::move(it->rows);
        m_folders.erase(it);
        return true;
    }
    return false;
}

int WalkFolder(IMAPIFolder* base, bool subFolders, ULONG cbEntryId, const BYTE* entryId,
               const std::string& path, const FolderVisit& visit) {
    CTraceScope scope(visit.operation, CTraceScope::Finish::kOutcome, " - ", visit.openingLine);
    const FolderDepthGuard depth;
    auto invalid = [&](const char* why) {
        scope.Line(why);
        if (!visit.finishWhenInvalid) scope.NoFinish();
        return 0;
    };
    if (base == nullptr || entryId == nullptr || depth.TooDeep())
        return invalid("Interrupted or INVALID Parameter");
    const MapiFunctions& fns = MapiTable();
    try {
        ComPtr<IMAPIFolder> container;
        HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(base, cbEntryId, entryId, MAPI_BEST_ACCESS, container);
        CLogFile::Trace("CMAPIObject::%s - %s->OpenEntry(0X%08X)\r\n", visit.operation,
                        visit.kind.folderMember, Hr(hr));
        if (FAILED(hr)) return invalid("OpenEntry Failed or NULL lpContainer");

        ComPtr<IMAPITable> table;
        hr = container->GetContentsTable(kContentsFlags, table.put());
        scope.Status("lpContainer->GetContentsTable", hr);
        // Without the item rows the folder failed, and its sub-folders are not walked.
        if (FAILED(hr) || !table) return 0;
        RowSetPtr rows(fns.FreeProws);
        // The folder and its table are still opened above: their trace lines are the host's.
        const bool kept = visit.kept && visit.kept->Answers(visit.columns, visit.kind.itemClass) &&
                          visit.kept->Take(cbEntryId, entryId, hr, rows);
        if (!kept) {
            EqualsRestriction isItem(PR_MESSAGE_CLASS_W, std::u16string(visit.kind.itemClass));
            hr = fns.HrQueryAllRows(table.get(), visit.columns, isItem.get(), nullptr, 0, rows.put());
        }
        scope.Status("pfnHrQueryAllRows", hr);
        if (FAILED(hr)) return 0;
        int step =
            visit.itemColumns ? VisitInPages(table.get(), rows, path, visit) : VisitRows(rows, path, visit);
        if (visit.rowsDone && !visit.rowsDone() && step == 1) step = 0;
        if (step < 0) {
            scope.NoFinish();
            return 0;
        }
        if (step == 0) return 0;
        rows.reset();
        table.reset();

        if (subFolders) {
            ComPtr<IMAPITable> hierarchy;
            hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
            scope.Status("lpContainer->GetHierarchyTable", hr);
            if (SUCCEEDED(hr) && hierarchy) {
                EqualsRestriction isFolder(PR_CONTAINER_CLASS_W, std::u16string(visit.kind.containerClass));
                RowSetPtr folders(fns.FreeProws);
                hr = fns.HrQueryAllRows(hierarchy.get(), SubFolderColumns(), isFolder.get(), nullptr, 0,
                                        folders.put());
                scope.Status("pfnHrQueryAllRows", hr);
                for (ULONG i = 0; SUCCEEDED(hr) && i < folders.size(); ++i) {
                    const SBinary* id = FindBinary(folders[i], PR_ENTRYID);
                    // A folder's path is its parent's and its own name: the host's folder text.
                    const std::string subPath = path + "\\" + FindText(folders[i], PR_DISPLAY_NAME_W);
                    if (WalkFolder(base, subFolders, id ? id->cb : 0, id ? id->lpb : nullptr, subPath,
                                   visit) == 0)
                        return 0;
                }
            }
        }
    } catch (const std::exception&) {
        return 0;
    }
    return scope.Result(1);
}

LPSPropTagArray SubFolderColumns() {
    static SizedSPropTagArray<4> columns = {
        4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
    return columns.get();
}

bool FolderHead::Read() const {
    return hr == S_OK && values && count >= 2 && values[1].ulPropTag == PR_ENTRYID;
}

std::string FolderHead::Name() const {
    const SRow row{0, count, values.get()};
    return FindText(row, PR_DISPLAY_NAME_W);
}

const SBinary& FolderHead::Id() const {
    assert(Read());
    return values[1].Value.bin;
}

FolderHead ReadFolderHead(IMAPIFolder* folder) {
    assert(folder != nullptr);
    SizedSPropTagArray<2> tags = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    FolderHead head;
    head.hr = folder->GetProps(tags.get(), MAPI_UNICODE, &head.count, head.values.put());
    return head;
}

std::string RowIdentifier(const SPropValue* values, ULONG count) {
    std::string entryId, longTerm;
    for (ULONG i = 0; values && i < count; ++i) {
        const SPropValue& v = values[i];
        if (v.ulPropTag == PR_ENTRYID)
            entryId = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
        else if (v.ulPropTag == PR_LONGTERM_ENTRYID_FROM_TABLE)
            longTerm = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
    }
    return longTerm.empty() ? entryId : longTerm;
}

void FillLogItem(CLogEntry& item, const SPropValue* values, ULONG count,
                 const NAMESPACE_COMMON::TimeZoneSource& zone) {
    item.modified = CDateTime::Null();
    for (ULONG i = 0; values && i < count; ++i) {
        const SPropValue& v = values[i];
        if (v.ulPropTag == PR_LAST_MODIFICATION_TIME) {
            SYSTEMTIME utc{};
            item.modified = CDateTime(0.0, CDateTime::invalid);
            if (NAMESPACE_COMMON::FileTimeToSystemTime(v.Value.ft, utc))
                NAMESPACE_COMMON::UtcToLocal(utc, item.modified, zone);
        }
    }
    item.id = RowIdentifier(values, count);
}

}  // namespace NAMESPACE_MAPI
