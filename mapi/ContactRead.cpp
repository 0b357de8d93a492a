// Procedure 14: reading contacts into documents, one callback per contact. A full read walks the
// folder (and its contact sub-folders) and sends every contact; a change read takes a snapshot of
// the same folders (identifier and local modification time of every contact), asks the change
// journal what changed since the host's anchor, sends new and changed contacts in full and a
// short notice per deleted one, and commits the journal once every change reached the host.
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
using NAMESPACE_COMMON::FindText;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

// The columns of a contents table as a tag array.
struct ContactColumnArray {
    ContactColumnArray() {
        tags.cValues = static_cast<ULONG>(ContactColumns().size());
        std::copy(ContactColumns().begin(), ContactColumns().end(), tags.aulPropTag);
    }
    SizedSPropTagArray<kContactColumnCount> tags{};
};

}  // namespace

bool CMAPIObject::DeliverContactDocument(const char* operation, const std::string& xml) {
    const uint32_t status = m_ContactSink ? m_ContactSink(xml) : 1702u;  // RPC_S_INVALID_BINDING
    if (status == 0) return true;
    CLogFile::Trace("CMAPIObject::%s - DeliverContact(0X%08X)\r\n", operation, status);
    return false;
}

int CMAPIObject::ReadContacts(const char* /*first*/, const char* anchor) {
    CLogFile::Trace("CMAPIObject::ReadContacts - Begin\r\n");
    int result = 0;
    if (!m_lpContactFolder || !MapiFunctionsComplete()) {
        CLogFile::Trace("CMAPIObject::ReadContacts - NULL m_lpContactFolder\r\n");
        CLogFile::Trace("CMAPIObject::ReadContacts - Finish\r\n");
        return 1;
    }
    if (m_bReading) {
        // A second host connection asking for a read while one waits on the host: the per-read
        // state belongs to the first.
        CLogFile::Trace("CMAPIObject::ReadContacts - Read in progress\r\n");
        CLogFile::Trace("CMAPIObject::ReadContacts - Finish\r\n");
        return 1;
    }
    m_bReading = true;
    m_lpReadFolder = m_lpContactFolder;
    try {
        m_ContactRead = {m_Config.workFolder, LocalZone(), {}};
        m_bInterrupted = 0;
        m_nItemsDelivered = 0;
        m_nItemCount = GetContactCount();
        CLogFile::Trace("CMAPIObject::ReadContacts - Contact Count(%d)\r\n", m_nItemCount);

        SizedSPropTagArray<2> tags = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
        ULONG n = 0;
        MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
        const HRESULT hr = m_lpReadFolder->GetProps(tags.get(), MAPI_UNICODE, &n, values.put());
        CLogFile::Trace("CMAPIObject::ReadContacts - m_lpContactFolder->GetProps(0X%08X)\r\n", Hr(hr));
        if (hr != S_OK || !values || n < 2 || values[1].ulPropTag != PR_ENTRYID) {
            CLogFile::Trace("CMAPIObject::ReadContacts - Failed to GetProps or NULL lpPropValues\r\n");
            result = 1;
        } else {
            SRow folderRow{0, n, values.get()};
            const std::string folderName = FindText(folderRow, PR_DISPLAY_NAME_W);
            const SBinary& folderId = values[1].Value.bin;
            if (anchor == nullptr || *anchor == '\0') {
                CLogFile::Trace("CMAPIObject::ReadContacts - Read All Items(NULL lParam1)\r\n");
                if (m_nItemCount > 0 && ReadContactFromFolder(folderId.cb, folderId.lpb, folderName) == 0) {
                    CLogFile::Trace("CMAPIObject::ReadContacts - Failed to read contacts from folder\r\n");
                    result = 1;
                }
            } else {
                CLogFile::Trace("CMAPIObject::ReadContacts - Read Changed Items(%s)\r\n", anchor);
                result = ReadContactChanges(folderId.cb, folderId.lpb, folderName, anchor);
            }
        }
    } catch (const std::exception&) {
        result = 1;
    }
    m_lpReadFolder.reset();
    m_bReading = false;
    CLogFile::Trace("CMAPIObject::ReadContacts - Finish\r\n");
    return result;
}

int CMAPIObject::ReadContactFromFolder(ULONG cbEntryId, const BYTE* entryId, const std::string& folderPath) {
    ContactColumnArray columns;
    const FolderVisit visit{
        kContactFolders,
        "ReadContactFromFolder",
        "Begin",
        columns.tags.get(),
        [this](const SRow& row, const std::string& path) {
            CXMLParser parser;
            if (!parser.Init()) {
                CLogFile::Trace("Xml to calnedaex - failed\r\n");
                return -1;
            }
            parser.CreateHeader();
            parser.CreateRoot("Contact");
            parser.CreateChildNode("CsFolder", path.c_str(), CXMLNode(), 1, 1);
            std::string pimid;
            AppendContactRowXml(parser, pimid, row.lpProps, row.cValues, m_ContactRead.zone);
            parser.CreateChildNode("PIMID", pimid.c_str(), CXMLNode(), 1, 1);
            // A message that cannot be opened still goes out, without its message-level elements.
            if (ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid))
                AppendContactMessageXml(parser, message.get(), m_ContactRead);
            ++m_nItemsDelivered;
            // A host that did not take a document would not take the rest either, and a read it
            // missed part of is a failed read.
            return DeliverContactDocument("ReadContactFromFolder", parser.GetXML()) ? 1 : 0;
        },
        [this](ULONG cb, const BYTE* id, const std::string& path) {
            return ReadContactFromFolder(cb, id, path);
        },
        true};
    return WalkFolder(cbEntryId, entryId, folderPath, visit);
}

// ---------------------------------------------------------------------------------------------
// Change reads

int CMAPIObject::ReadContactChanges(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName,
                                    const char* anchor) {
    CLogItemArray snapshot;
    if (ReadContactLogFromFolder(cbEntryId, entryId, snapshot) == 0) {
        CLogFile::Trace("CMAPIObject::ReadContacts - Failed to read contacts from log\r\n");
        return 1;
    }
    CLogFile::Trace("CMAPIObject::ReadContacts - Call GetChangeLog\r\n");
    const CJournalRequest change(u"contact", anchor);
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
    return ReadLogFromFolder(kContactFolders, "ReadContactLogFromFolder", cbEntryId, entryId,
                             m_ContactRead.zone, snapshot);
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
            const bool addedOrChanged = (flags & (NX_LOG_NEW | NX_LOG_CHANGED)) != 0;
            if (!addedOrChanged && (flags & NX_LOG_DELETED) == 0) continue;
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
                            (flags & NX_LOG_NEW) ? "New" : "Update", pimid.c_str());
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
