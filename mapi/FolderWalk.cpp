// The folder walk both item reads share (a folder's items of one class, then its sub-folders of
// the same kind, depth-first), the snapshot the change journal compares, and its entries.
#include <exception>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "mapi/FolderDepth.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;
using NAMESPACE_COMMON::FindText;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

constexpr ULONG kContentsFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;
static_assert(kContentsFlags == 0x80000008UL);

}  // namespace

CJournalRequest::CJournalRequest(std::u16string categoryText, const char* anchor)
    : category(std::move(categoryText)), anchorText(nx::sys::Utf8ToUtf16(anchor ? anchor : "")) {
    request = {category.c_str(), source.c_str(), anchorText.c_str()};
}

int CMAPIObject::WalkFolder(ULONG cbEntryId, const BYTE* entryId, const std::string& path,
                            const FolderVisit& visit) {
    const char* op = visit.operation;
    CLogFile::Trace("CMAPIObject::%s - %s\r\n", op, visit.openingLine);
    const FolderDepthGuard depth;
    auto fail = [&](const char* why) {
        CLogFile::Trace("CMAPIObject::%s - %s\r\n", op, why);
        if (visit.finishWhenInvalid) CLogFile::Trace("CMAPIObject::%s - Finish(%s)\r\n", op, "Failed");
        return 0;
    };
    if (m_bInterrupted || !m_lpReadFolder || entryId == nullptr || depth.TooDeep())
        return fail("Interrupted or INVALID Parameter");
    const MapiFunctions& fns = MapiTable();
    int result = 0;
    try {
        ComPtr<IMAPIFolder> container;
        HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpReadFolder.get(), cbEntryId, entryId, MAPI_BEST_ACCESS,
                                                   container);
        CLogFile::Trace("CMAPIObject::%s - %s->OpenEntry(0X%08X)\r\n", op, visit.kind.folderMember, Hr(hr));
        if (FAILED(hr)) return fail("OpenEntry Failed or NULL lpContainer");
        ComPtr<IMAPITable> table;
        hr = container->GetContentsTable(kContentsFlags, table.put());
        CLogFile::Trace("CMAPIObject::%s - lpContainer->GetContentsTable(0X%08X)\r\n", op, Hr(hr));
        if (SUCCEEDED(hr) && table) {
            EqualsRestriction isItem(PR_MESSAGE_CLASS_W, std::u16string(visit.kind.itemClass));
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), visit.columns, isItem.get(), nullptr, 0, rows.put());
            CLogFile::Trace("CMAPIObject::%s - pfnHrQueryAllRows(0X%08X)\r\n", op, Hr(hr));
            if (SUCCEEDED(hr)) {
                result = 1;
                for (ULONG i = 0; i < rows.size(); ++i) {
                    if (m_bInterrupted) {
                        result = 0;
                        break;
                    }
                    const int step = visit.row(rows[i], path);
                    if (step < 0) return 0;
                    if (step == 0) {
                        result = 0;
                        break;
                    }
                }
            }
        }
        table.reset();

        if (m_Config.subFolder && !m_bInterrupted && result == 1) {
            ComPtr<IMAPITable> hierarchy;
            hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
            CLogFile::Trace("CMAPIObject::%s - lpContainer->GetHierarchyTable(0X%08X)\r\n", op, Hr(hr));
            if (SUCCEEDED(hr) && hierarchy) {
                SizedSPropTagArray<4> columns = {
                    4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
                EqualsRestriction isFolder(PR_CONTAINER_CLASS_W, std::u16string(visit.kind.containerClass));
                RowSetPtr rows(fns.FreeProws);
                hr = fns.HrQueryAllRows(hierarchy.get(), columns.get(), isFolder.get(), nullptr, 0,
                                        rows.put());
                CLogFile::Trace("CMAPIObject::%s - pfnHrQueryAllRows(0X%08X)\r\n", op, Hr(hr));
                for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
                    const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
                    // A folder's path is its parent's and its own name: the host's folder text.
                    const std::string subPath = path + "\\" + FindText(rows[i], PR_DISPLAY_NAME_W);
                    if (visit.subFolder(id ? id->cb : 0, id ? id->lpb : nullptr, subPath) == 0) {
                        result = 0;
                        break;
                    }
                }
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::%s - Finish(%s)\r\n", op, result ? "Succeeded" : "Failed");
    return result;
}

void FillLogItem(CLogEntry& item, const SPropValue* values, ULONG count,
                 const NAMESPACE_COMMON::TimeZoneSource& zone) {
    std::string entryId, longTerm;
    item.modified = CDateTime::Null();
    for (ULONG i = 0; values && i < count; ++i) {
        const SPropValue& v = values[i];
        if (v.ulPropTag == PR_ENTRYID) {
            entryId = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
        } else if (v.ulPropTag == PR_LONGTERM_ENTRYID_FROM_TABLE) {
            longTerm = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
        } else if (v.ulPropTag == PR_LAST_MODIFICATION_TIME) {
            SYSTEMTIME utc{};
            item.modified = CDateTime(0.0, CDateTime::invalid);
            if (NAMESPACE_COMMON::FileTimeToSystemTime(v.Value.ft, utc))
                NAMESPACE_COMMON::UtcToLocal(utc, item.modified, zone);
        }
    }
    item.id = longTerm.empty() ? entryId : longTerm;
}

int CMAPIObject::ReadLogFromFolder(const FolderKind& kind, const char* operation, ULONG cbEntryId,
                                   const BYTE* entryId, const NAMESPACE_COMMON::TimeZoneSource& zone,
                                   CLogItemArray& snapshot) {
    SizedSPropTagArray<3> columns = {3,
                                     {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
    CLogEntry entry;
    const FolderVisit visit{kind,
                            operation,
                            "Begin",
                            columns.get(),
                            [&](const SRow& row, const std::string&) {
                                if (row.cValues != 3) return 1;
                                FillLogItem(entry, row.lpProps, row.cValues, zone);
                                snapshot.Add(nx::sys::Utf8ToUtf16(entry.id), entry.modified.GetValue(),
                                             static_cast<int32_t>(entry.modified.GetStatus()));
                                return 1;
                            },
                            [&](ULONG cb, const BYTE* id, const std::string&) {
                                return ReadLogFromFolder(kind, operation, cb, id, zone, snapshot);
                            },
                            false};
    return WalkFolder(cbEntryId, entryId, std::string(), visit);
}

}  // namespace NAMESPACE_MAPI
