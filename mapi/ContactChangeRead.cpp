// The change read of procedure 14: a snapshot of the folder (identifier and
// local modification time of every contact), the journal's change list for the
// host's anchor, one document per new or changed contact and a short notice per
// deleted one, and the journal's commit once every change has reached the host.
#include <exception>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactXml.h"
#include "journal/LogItemArray.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

constexpr int kMaxReadDepth = 256;

// The journal keeps its state per (category, source, anchor).
struct ContactChangeRequest {
    explicit ContactChangeRequest(const char* anchor) : anchorText(nx::sys::Utf8ToUtf16(anchor)) {
        request = {category.c_str(), source.c_str(), anchorText.c_str()};
    }
    std::u16string category = u"contact";
    std::u16string source = u"pim";
    std::u16string anchorText;
    tagChangeRequest request{};
};

}  // namespace

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

int CMAPIObject::ReadContactChanges(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName,
                                    const char* anchor) {
    CLogItemArray snapshot;
    if (ReadContactLogFromFolder(cbEntryId, entryId, snapshot) == 0) {
        CLogFile::Trace("CMAPIObject::ReadContacts - Failed to read contacts from log\r\n");
        return 1;
    }
    CLogFile::Trace("CMAPIObject::ReadContacts - Call GetChangeLog\r\n");
    ContactChangeRequest change(anchor);
    if (GetChangeLog(snapshot.get(), &change.request) <= 0) {
        CLogFile::Trace("CMAPIObject::ReadContacts - No Change\r\n");
        SendProgress(0x10002, 100);
        return 0;
    }
    CLogFile::Trace("CMAPIObject::ReadContacts - Read Changes\r\n");
    if (ReadContactFromLog(snapshot, folderName) == 0) {
        CLogFile::Trace("CMAPIObject::ReadContacts - Failed to read contacts from log\r\n");
        // The journal keeps the anchor's old state: the next change read reports
        // these changes again.
        CLogFile::Trace(
            "CMAPIObject::ReadContacts - CommitChangeLog skipped: not "
            "every change reached the host\r\n");
        return 1;
    }
    const int32_t committed = CommitChangeLog(&change.request);
    if (committed < 0) {
        // Everything was delivered but the journal could not record it: the next
        // change read repeats these changes, so this one is reported as failed.
        CLogFile::Trace("CMAPIObject::ReadContacts - CommitChangeLog(%d)\r\n", committed);
        return 1;
    }
    return 0;
}

int CMAPIObject::ReadContactLogFromFolder(ULONG cbEntryId, const BYTE* entryId, CLogItemArray& snapshot) {
    CLogFile::Trace("CMAPIObject::ReadContactLogFromFolder - Begin\r\n");
    struct DepthCount {
        int& depth;
        explicit DepthCount(int& d) : depth(++d) {}
        ~DepthCount() { --depth; }
    } depth(m_nReadDepth);
    if (m_bInterrupted || !m_lpReadFolder || entryId == nullptr || depth.depth > kMaxReadDepth) {
        CLogFile::Trace(
            "CMAPIObject::ReadContactLogFromFolder - Interrupted or "
            "INVALID Parameter\r\n");
        return 0;
    }
    const MapiFunctions& fns = MapiTable();
    int result = 0;
    try {
        ComPtr<IMAPIFolder> container;
        HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpReadFolder.get(), cbEntryId, entryId, MAPI_BEST_ACCESS,
                                                   container);
        CLogFile::Trace(
            "CMAPIObject::ReadContactLogFromFolder - "
            "m_lpContactFolder->OpenEntry(0X%08X)\r\n",
            Hr(hr));
        if (FAILED(hr)) {
            CLogFile::Trace(
                "CMAPIObject::ReadContactLogFromFolder - OpenEntry "
                "Failed or NULL lpContainer\r\n");
            return 0;
        }
        ComPtr<IMAPITable> table;
        hr = container->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put());
        CLogFile::Trace(
            "CMAPIObject::ReadContactLogFromFolder - "
            "lpContainer->GetContentsTable(0X%08X)\r\n",
            Hr(hr));
        if (SUCCEEDED(hr) && table) {
            SizedSPropTagArray<3> columns = {
                3, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
            EqualsRestriction isContact(PR_MESSAGE_CLASS_W, std::u16string(u"IPM.Contact"));
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), columns.get(), isContact.get(), nullptr, 0, rows.put());
            CLogFile::Trace(
                "CMAPIObject::ReadContactLogFromFolder - "
                "pfnHrQueryAllRows(0X%08X)\r\n",
                Hr(hr));
            if (SUCCEEDED(hr)) {
                result = 1;
                CLogEntry entry;
                for (ULONG i = 0; i < rows.size(); ++i) {
                    if (m_bInterrupted) {
                        result = 0;
                        break;
                    }
                    if (rows[i].cValues != 3) continue;
                    FillLogItem(entry, rows[i].lpProps, rows[i].cValues, m_ContactRead.zone);
                    snapshot.Add(nx::sys::Utf8ToUtf16(entry.id), entry.modified.GetValue(),
                                 static_cast<int32_t>(entry.modified.GetStatus()));
                }
            }
        }
        table.reset();
        if (m_Config.subFolder && !m_bInterrupted && result == 1) {
            ComPtr<IMAPITable> hierarchy;
            hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
            CLogFile::Trace(
                "CMAPIObject::ReadContactLogFromFolder - "
                "lpContainer->GetHierarchyTable(0X%08X)\r\n",
                Hr(hr));
            if (SUCCEEDED(hr) && hierarchy) {
                SizedSPropTagArray<4> columns = {
                    4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
                EqualsRestriction isContacts(PR_CONTAINER_CLASS_W, std::u16string(u"IPF.Contact"));
                RowSetPtr rows(fns.FreeProws);
                hr = fns.HrQueryAllRows(hierarchy.get(), columns.get(), isContacts.get(), nullptr, 0,
                                        rows.put());
                CLogFile::Trace(
                    "CMAPIObject::ReadContactLogFromFolder - "
                    "pfnHrQueryAllRows(0X%08X)\r\n",
                    Hr(hr));
                for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
                    const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
                    if (ReadContactLogFromFolder(id ? id->cb : 0, id ? id->lpb : nullptr, snapshot) == 0) {
                        result = 0;
                        break;
                    }
                }
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::ReadContactLogFromFolder - Finish(%s)\r\n",
                    result ? "Succeeded" : "Failed");
    return result;
}

int CMAPIObject::ReadContactFromLog(CLogItemArray& changes, const std::string& folderPath) {
    CLogFile::Trace("CMAPIObject::ReadContactFromLog - Begin\r\n");
    m_nItemCount = static_cast<int32_t>(changes.GetSize());
    int result = 1;
    try {
        for (int64_t i = 0; i < changes.GetSize(); ++i) {
            if (m_bInterrupted) {
                result = 0;
                break;
            }
            const int32_t flags = changes[i].lFlags;
            const std::string pimid = nx::sys::Utf16ToUtf8(changes.IdAt(i));
            const bool addedOrChanged = (flags & (CONTACT_FLAG_NEW | CONTACT_FLAG_UPDATE)) != 0;
            if (!addedOrChanged && (flags & CONTACT_FLAG_DELETE) == 0) continue;
            const std::string flagText = std::to_string(flags);
            CXMLParser parser;
            if (!addedOrChanged) {
                // A deleted contact: its identifier and the journal's time only.
                CLogFile::Trace("CMAPIObject::ReadContactFromLog - Delete(%s)\r\n", pimid.c_str());
                if (!parser.Init()) {
                    CLogFile::Trace("Xml to calnedaex - failed\r\n");
                    return 0;
                }
                parser.CreateHeader();
                CLogFile::Trace("--------------------*********88882 - failed\r\n");
                parser.CreateRoot("Contact");
                parser.CreateChildNode("lFlag", flagText.c_str(), CXMLNode(), 1, 1);
                parser.CreateChildNode("PIMID", pimid.c_str(), CXMLNode(), 1, 1);
                const CDateTime modified(changes[i].dtModified,
                                         static_cast<CDateTime::DateTimeStatus>(changes[i].lTimeStatus));
                SYSTEMTIME fields{};
                if (modified.IsValid() && modified.GetAsSystemTime(fields) && fields.wYear >= 1901)
                    parser.CreateChildNode("LastModifiedTime",
                                           modified.Format(NAMESPACE_COMMON::kDateTimePattern).c_str(),
                                           CXMLNode(), 1, 1);
                const std::string xml = parser.GetXML();
                CLogFile::Trace("--------------------yyyyyyyyyyyyyyyy - failed\r\n");
                ++m_nItemsDelivered;
                const bool delivered = DeliverContactDocument("ReadContactFromLog", xml);
                CLogFile::Trace("--------------------xxxxxxxxxxxxxxxx - failed\r\n");
                if (!delivered) {
                    result = 0;
                    break;
                }
                continue;
            }
            CLogFile::Trace("CMAPIObject::ReadContactFromLog - %s(%s)\r\n",
                            (flags & CONTACT_FLAG_NEW) ? "New" : "Update", pimid.c_str());
            ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid);
            if (!message) continue;  // gone since the snapshot, or not readable: not sent
            SizedSPropTagArray<kContactColumnCount> columns{};
            columns.cValues = static_cast<ULONG>(ContactColumns().size());
            std::copy(ContactColumns().begin(), ContactColumns().end(), columns.aulPropTag);
            ULONG count = 0;
            MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
            if (FAILED(message->GetProps(columns.get(), MAPI_UNICODE, &count, values.put())) || !values) {
                CLogFile::Trace("CMAPIObject::ReadContactFromLog - NULL lpPropValues\r\n");
                return 0;
            }
            if (!parser.Init()) {
                CLogFile::Trace("Xml to calnedaex - failed\r\n");
                return 0;
            }
            parser.CreateHeader();
            parser.CreateRoot("Contact");
            parser.CreateChildNode("CsFolder", folderPath.c_str(), CXMLNode(), 1, 1);
            parser.CreateChildNode("lFlag", flagText.c_str(), CXMLNode(), 1, 1);
            std::string unused;
            AppendContactRowXml(parser, unused, values.get(), count, m_ContactRead.zone);
            parser.CreateChildNode("PIMID", pimid.c_str(), CXMLNode(), 1, 1);
            AppendContactMessageXml(parser, message.get(), m_ContactRead);
            ++m_nItemsDelivered;
            if (!DeliverContactDocument("ReadContactFromLog", parser.GetXML())) {
                result = 0;
                break;
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::ReadContactFromLog - Finish(%s)\r\n", result ? "Succeeded" : "Failed");
    return result;
}

}  // namespace NAMESPACE_MAPI
