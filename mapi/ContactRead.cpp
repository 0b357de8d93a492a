// Procedure 14: reading contacts into documents, one callback per contact.
#include <exception>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;
using NAMESPACE_COMMON::FindText;

namespace {

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

constexpr ULONG kContentsFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;
static_assert(kContentsFlags == 0x80000008UL);

// Sub-folders are read recursively; a store nesting deeper than this (only a damaged one can)
// has its deeper folders left out of the read, which then fails.
constexpr int kMaxReadDepth = 256;

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
    CLogFile::Trace("CMAPIObject::ReadContactFromFolder - Begin\r\n");
    struct DepthCount {
        int& depth;
        explicit DepthCount(int& d) : depth(++d) {}
        ~DepthCount() { --depth; }
    } depth(m_nReadDepth);
    const MapiFunctions& fns = MapiTable();
    if (m_bInterrupted || !m_lpReadFolder || entryId == nullptr || depth.depth > kMaxReadDepth) {
        CLogFile::Trace("CMAPIObject::ReadContactFromFolder - Interrupted or INVALID Parameter\r\n");
        CLogFile::Trace("CMAPIObject::ReadContactFromFolder - Finish(%s)\r\n", "Failed");
        return 0;
    }
    int result = 0;
    try {
        ComPtr<IMAPIFolder> container;
        HRESULT hr = NAMESPACE_COMMON::OpenEntryAs(m_lpReadFolder.get(), cbEntryId, entryId, MAPI_BEST_ACCESS,
                                                   container);
        CLogFile::Trace("CMAPIObject::ReadContactFromFolder - m_lpContactFolder->OpenEntry(0X%08X)\r\n",
                        Hr(hr));
        if (FAILED(hr)) {
            CLogFile::Trace("CMAPIObject::ReadContactFromFolder - OpenEntry Failed or NULL lpContainer\r\n");
            CLogFile::Trace("CMAPIObject::ReadContactFromFolder - Finish(%s)\r\n", "Failed");
            return 0;
        }
        ComPtr<IMAPITable> table;
        hr = container->GetContentsTable(kContentsFlags, table.put());
        CLogFile::Trace("CMAPIObject::ReadContactFromFolder - lpContainer->GetContentsTable(0X%08X)\r\n",
                        Hr(hr));
        if (SUCCEEDED(hr) && table) {
            ContactColumnArray columns;
            EqualsRestriction isContact(PR_MESSAGE_CLASS_W, std::u16string(u"IPM.Contact"));
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), columns.tags.get(), isContact.get(), nullptr, 0, rows.put());
            CLogFile::Trace("CMAPIObject::ReadContactFromFolder - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
            if (SUCCEEDED(hr)) {
                result = 1;
                for (ULONG i = 0; i < rows.size(); ++i) {
                    if (m_bInterrupted) {
                        result = 0;
                        break;
                    }
                    CXMLParser parser;
                    if (!parser.Init()) {
                        CLogFile::Trace("Xml to calnedaex - failed\r\n");
                        return 0;
                    }
                    parser.CreateHeader();
                    parser.CreateRoot("Contact");
                    parser.CreateChildNode("CsFolder", folderPath.c_str(), CXMLNode(), 1, 1);
                    std::string pimid;
                    AppendContactRowXml(parser, pimid, rows[i].lpProps, rows[i].cValues, m_ContactRead.zone);
                    parser.CreateChildNode("PIMID", pimid.c_str(), CXMLNode(), 1, 1);
                    // A message that cannot be opened still goes out, without its message-level elements.
                    if (ComPtr<IMessage> message =
                            NAMESPACE_COMMON::OpenMessageByHexId(m_lpReadFolder.get(), pimid))
                        AppendContactMessageXml(parser, message.get(), m_ContactRead);
                    ++m_nItemsDelivered;
                    if (!DeliverContactDocument("ReadContactFromFolder", parser.GetXML())) {
                        // The host did not take it: it would not take the rest either, and a read
                        // it missed part of is a failed read.
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
            CLogFile::Trace("CMAPIObject::ReadContactFromFolder - lpContainer->GetHierarchyTable(0X%08X)\r\n",
                            Hr(hr));
            if (SUCCEEDED(hr) && hierarchy) {
                SizedSPropTagArray<4> columns = {
                    4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
                EqualsRestriction isContacts(PR_CONTAINER_CLASS_W, std::u16string(u"IPF.Contact"));
                RowSetPtr rows(fns.FreeProws);
                hr = fns.HrQueryAllRows(hierarchy.get(), columns.get(), isContacts.get(), nullptr, 0,
                                        rows.put());
                CLogFile::Trace("CMAPIObject::ReadContactFromFolder - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
                for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
                    const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
                    // A folder's path is its parent's and its own name: the host's folder text.
                    const std::string subPath = folderPath + "\\" + FindText(rows[i], PR_DISPLAY_NAME_W);
                    if (ReadContactFromFolder(id ? id->cb : 0, id ? id->lpb : nullptr, subPath) == 0) {
                        result = 0;
                        break;
                    }
                }
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::ReadContactFromFolder - Finish(%s)\r\n", result ? "Succeeded" : "Failed");
    return result;
}

}  // namespace NAMESPACE_MAPI
