#include "mapi/MAPIObject.h"

#include <cerrno>
#include <exception>
#include <string_view>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "mapi/FolderDepth.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::BinaryToHexString;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::EqualsRestriction;
using NAMESPACE_COMMON::FindBinary;
using NAMESPACE_COMMON::FindBool;
using NAMESPACE_COMMON::FindProp;
using NAMESPACE_COMMON::FindText;
using NAMESPACE_COMMON::HasProps;
using NAMESPACE_COMMON::OpenEntryAs;

namespace {

// Flags of the logon: MAPI_UNICODE | MAPI_TIMEOUT_SHORT | MAPI_EXTENDED | MAPI_EXPLICIT_PROFILE |
// MAPI_NEW_SESSION, plus MAPI_USE_DEFAULT for the default profile.
constexpr ULONG kLogonFlags =
    MAPI_UNICODE | MAPI_TIMEOUT_SHORT | MAPI_EXTENDED | MAPI_EXPLICIT_PROFILE | MAPI_NEW_SESSION;
static_assert(kLogonFlags == 0x80100032UL);
static_assert((kLogonFlags | MAPI_USE_DEFAULT) == 0x80100072UL);
// MDB_NO_DIALOG | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS.
constexpr ULONG kStoreOpenFlags = MDB_NO_DIALOG | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS;
static_assert(kStoreOpenFlags == 0x19UL);
constexpr ULONG kContentsFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;

// The store properties behind m_DefaultFolderIds, by folder type code.
constexpr ULONG kDefaultFolderTags[6] = {PR_IPM_DRAFTS_ENTRYID,  PR_IPM_APPOINTMENT_ENTRYID,
                                         PR_IPM_CONTACT_ENTRYID, PR_IPM_TASK_ENTRYID,
                                         PR_IPM_JOURNAL_ENTRYID, PR_IPM_NOTE_ENTRYID};

unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

struct CountKind {
    const char* selection;   // "GetContactCount" / "GetCalendarEventCount"
    const char* getPropsOn;  // what the GetProps line names the selection by, "" or "m_lpEventFolder->"
    const char* name;        // "GetContactCountFromFolder" / "GetCalendarEventCountFromFolder"
    const char* invalid;     // the bad-parameter line
    const char* base;        // "m_lpContactFolder" / "m_lpEventFolder"
    const char* openFail;    // the failed-open line, or null
    const char16_t* messageClass;
    const char16_t* containerClass;
    bool subFolderLine;
};

constexpr CountKind kContactCount = {"GetContactCount",
                                     "",
                                     "GetContactCountFromFolder",
                                     "CMAPIObject::GetContactCountFromFolder - INVALID Parameter\r\n",
                                     "m_lpContactFolder",
                                     nullptr,
                                     u"IPM.Contact",
                                     u"IPF.Contact",
                                     true};
constexpr CountKind kCalendarCount = {
    "GetCalendarEventCount",
    "m_lpEventFolder->",
    "GetCalendarEventCountFromFolder",
    "CMAPIObject::GetCalendarEventCountFromFolder - NULL or INVALID Parameter\r\n",
    "m_lpEventFolder",
    "CMAPIObject::GetCalendarEventCountFromFolder - OpenEntry Failed or NULL lpContainer\r\n",
    u"IPM.Appointment",
    u"IPF.Appointment",
    false};

}  // namespace

CMAPIObject::CMAPIObject() = default;

CMAPIObject::~CMAPIObject() {
    // The process-wide instance is never destroyed (the agent ends through Shutdown); another
    // instance releases what it still holds, quietly, as the runtime is still loaded then.
    m_lpContactFolder.reset();
    m_lpEventFolder.reset();
    m_lpMsgStore.reset();
    m_lpMAPISession.reset();
    m_lpProfAdmin.reset();
    if (m_bMAPIInitialized && MapiTable().MAPIUninitialize) MapiTable().MAPIUninitialize();
}

// ---------------------------------------------------------------------------------------------
// Session

int CMAPIObject::MAPILogOn(void* /*window*/, const char* profile) {
    CLogFile::Trace("CMAPIObject::MAPILogOn - Begin\r\n");
    int result = 0;
    try {
        const MapiFunctions& fns = MapiTable();
        do {
            if (!MapiFunctionsComplete()) break;
            if (!m_bMAPIInitialized) {
                MAPIINIT_0 init = {MAPI_INIT_VERSION, 0};
                const HRESULT hr = fns.MAPIInitialize(&init);
                m_bMAPIInitialized = SUCCEEDED(hr) ? 1 : 0;
                if (!m_bMAPIInitialized) break;
            }
            CLogFile::Trace("CMAPIObject::MAPILogOn - MAPIInitialize(Succeeded)\r\n");

            MAPIRelease();
            m_hProgressWnd = nullptr;
            m_DefaultFolderIds = {};

            std::u16string name = nx::sys::Utf8ToUtf16(profile ? profile : "");
            const ULONG flags = name.empty() ? (kLogonFlags | MAPI_USE_DEFAULT) : kLogonFlags;
            HRESULT hr = fns.MAPILogonEx(0, name.data(), nullptr, flags, m_lpMAPISession.put());
            CLogFile::Trace("CMAPIObject::MAPILogOn - MAPILogonEx(0X%08X)\r\n", Hr(hr));
            if (FAILED(hr) || !m_lpMAPISession) break;

            ComPtr<IMAPITable> table;
            hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
            CLogFile::Trace("CMAPIObject::MAPILogOn - m_lpMAPISession->GetMsgStoresTable(0X%08X)\r\n",
                            Hr(hr));
            if (FAILED(hr) || !table) break;

            SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
            EqualsRestriction isDefault(PR_DEFAULT_STORE, true);
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), columns.get(), isDefault.get(), nullptr, 0, rows.put());
            CLogFile::Trace("CMAPIObject::MAPILogOn - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
            if (FAILED(hr) || !rows || rows.size() == 0) break;

            const SBinary* storeId = FindBinary(rows[0], PR_ENTRYID);
            hr = m_lpMAPISession->OpenMsgStore(0, storeId ? storeId->cb : 0,
                                               storeId ? reinterpret_cast<LPENTRYID>(storeId->lpb) : nullptr,
                                               nullptr, kStoreOpenFlags, m_lpMsgStore.put());
            CLogFile::Trace("CMAPIObject::MAPILogOn - m_lpMAPISession->OpenMsgStore(0X%08X)\r\n", Hr(hr));
            if (FAILED(hr) || !m_lpMsgStore) break;

            FillDefaultFolderIds();
            m_lpContactFolder =
                NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), PR_IPM_CONTACT_ENTRYID);
            m_lpEventFolder =
                NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), PR_IPM_APPOINTMENT_ENTRYID);
            TakeLocalTimeZone();
            result = 1;
        } while (false);
    } catch (const std::exception&) {
        CLogFile::Trace("CMAPIObject::MAPILogOn - Failed\r\n");
        result = 0;
    }
    if (result == 1) {
        m_bLoggedOn = 1;
        CLogFile::Trace("CMAPIObject::MAPILogOn - Finish(%s)\r\n", "Succeeded");
        return 1;
    }
    LogOffSteps();
    CLogFile::Trace("CMAPIObject::MAPILogOn - Finish(%s)\r\n", "Failed");
    return 0;
}

void CMAPIObject::FillDefaultFolderIds() {
    IMsgStore* store = m_lpMsgStore.get();
    ComPtr<IMAPIFolder> inbox = NAMESPACE_COMMON::OpenInboxFolder(store);
    ComPtr<IMAPIFolder> root = NAMESPACE_COMMON::OpenFolderEntry(store, 0, nullptr);
    for (std::size_t i = 0; i < std::size(kDefaultFolderTags); ++i) {
        MapiBuffer<SPropValue> value = NAMESPACE_COMMON::GetOneProp(inbox.get(), kDefaultFolderTags[i]);
        if (!value) value = NAMESPACE_COMMON::GetOneProp(root.get(), kDefaultFolderTags[i]);
        if (value && PROP_TYPE(value->ulPropTag) == PT_BINARY && value->Value.bin.cb != 0)
            m_DefaultFolderIds[i] = BinaryToHexString(value->Value.bin.lpb, value->Value.bin.cb);
    }
}

void CMAPIObject::TakeLocalTimeZone() {
    TIME_ZONE_INFORMATION tzi{};
    NAMESPACE_COMMON::GetTimeZoneInformation(tzi);  // an unknown zone leaves it cleared
    std::string display;
    if (!NAMESPACE_COMMON::GetTimeZoneDisplayName(tzi, display)) display.clear();
    m_LocalTimeZone = NAMESPACE_COMMON::FromTimeZoneInformation(tzi, display);
}

void CMAPIObject::MAPILogOff() {
    LogOffSteps();
}

void CMAPIObject::LogOffSteps() {
    CLogFile::Trace("CMAPIObject::MAPILogOff : Begin\r\n");
    MAPIRelease();
    MAPIUninitialize();
    m_bLoggedOn = 0;
    CLogFile::Trace("CMAPIObject::MAPILogOff : Finish\r\n");
}

void CMAPIObject::MAPIRelease() {
    CLogFile::Trace("CMAPIObject::MAPIRelease : Begin\r\n");
    try {
        m_lpContactFolder.reset();
        CLogFile::Trace("CMAPIObject::MAPIRelease : 1\r\n");
        m_lpEventFolder.reset();
        CLogFile::Trace("CMAPIObject::MAPIRelease : 2\r\n");
        m_lpMsgStore.reset();
        CLogFile::Trace("CMAPIObject::MAPIRelease : 3\r\n");
        if (m_lpMAPISession) {
            const HRESULT hr =
                m_lpMAPISession->Logoff(reinterpret_cast<ULONG_PTR>(m_hProgressWnd), MAPI_LOGOFF_UI, 0);
            CLogFile::Trace("CMAPIObject::MAPIRelease - m_lpMAPISession->Logoff(0X%08X)\r\n", Hr(hr));
            m_lpMAPISession.reset();
        }
        CLogFile::Trace("CMAPIObject::MAPIRelease : 4\r\n");
        m_lpProfAdmin.reset();
        CLogFile::Trace("CMAPIObject::MAPIRelease : Finish\r\n");
    } catch (const std::exception&) {
        CLogFile::Trace("CMAPIObject::MAPIRelease : failed\r\n");
    }
}

void CMAPIObject::MAPIUninitialize() {
    CLogFile::Trace("CMAPIObject::MAPIUninitialize : Begin\r\n");
    try {
        if (m_bMAPIInitialized) {
            const MapiFunctions& fns = MapiTable();
            // MAPIUninitialize returns nothing; the trace shows the thread's last error (errno).
            errno = 0;
            if (fns.MAPIUninitialize) fns.MAPIUninitialize();
            const int lastError = errno;
            CLogFile::Trace("CMAPIObject::MAPIUninitialize - pfnMAPIUninitialize(0X%08X)\r\n",
                            static_cast<unsigned>(lastError));
            m_bMAPIInitialized = 0;
        }
        CLogFile::Trace("CMAPIObject::MAPIUninitialize : Finish\r\n");
    } catch (const std::exception&) {
        CLogFile::Trace("CMAPIObject::MAPIUninitialize : Failed\r\n");
    }
}

void CMAPIObject::SendProgress(uint64_t /*wParam*/, int64_t /*lParam*/) {
    // WM_AGENT_PROGRESS would go to m_hProgressWnd, which nothing sets.
}

// ---------------------------------------------------------------------------------------------
// Discovery

int CMAPIObject::GetAppProfile(const char* argument, std::string* document) {
    CLogFile::Trace("CMAPIObject::GetAppProfile : Begin\r\n");
    int result = 0;
    if (argument == nullptr) {
        CLogFile::Trace("CMAPIObject::GetAppProfile : NULL lpszProfiles\r\n");
        result = 1;
        CLogFile::Trace("CMAPIObject::GetAppProfile : Finish(%d)\r\n", result);
        return result;
    }
    try {
        CXMLParser parser;
        CXMLNode root;
        if (!parser.Init()) {
            CLogFile::Trace("CMAPIObject::GetAppProfile : Failed to Init XMLParser\r\n");
            result = 1;
        } else if (!parser.CreateHeader()) {
            CLogFile::Trace("CMAPIObject::GetAppProfile : Failed to Create XMLParser's Header\r\n");
            result = 1;
        } else if (!(root = parser.CreateRoot("profiles"))) {
            CLogFile::Trace("CMAPIObject::GetAppProfile : Failed to Create XMLParser's root node\r\n");
            result = 1;
        }
        if (result == 0) {
            CXMLParser::SetAttribute("name", "outlook", root);
            const MapiFunctions& fns = MapiTable();
            if (!m_lpProfAdmin && MapiFunctionsComplete()) {
                if (!m_bMAPIInitialized) {
                    MAPIINIT_0 init = {MAPI_INIT_VERSION, 0};
                    m_bMAPIInitialized = SUCCEEDED(fns.MAPIInitialize(&init)) ? 1 : 0;
                }
                fns.MAPIAdminProfiles(0, m_lpProfAdmin.put());
            }
            if (!m_lpProfAdmin) {
                CLogFile::Trace("CMAPIObject::GetAppProfile : NULL lpProfAdmin\r\n");
                result = 1;
            } else {
                ComPtr<IMAPITable> table;
                RowSetPtr rows(fns.FreeProws);
                HRESULT hr = m_lpProfAdmin->GetProfileTable(0, table.put());
                if (SUCCEEDED(hr) && table) {
                    table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
                    SizedSPropTagArray<2> columns = {2, {PR_DISPLAY_NAME_A, PR_DEFAULT_PROFILE}};
                    hr = fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
                } else if (SUCCEEDED(hr)) {
                    hr = MAPI_E_CALL_FAILED;
                }
                CLogFile::Trace("CMAPIObject::GetAppProfile - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
                // A profile table that cannot be read gives no document: an empty list would
                // tell the host that no profile exists.
                if (FAILED(hr) || !rows) result = 1;
                for (ULONG i = 0; result == 0 && i < rows.size(); ++i) {
                    const SRow& row = rows[i];
                    CXMLNode node = parser.CreateChildNode("node", "", root, 1, 1);
                    if (!node) {
                        result = 1;
                        break;
                    }
                    CXMLParser::SetAttribute("default", FindBool(row, PR_DEFAULT_PROFILE) ? "true" : "false",
                                             node);
                    parser.CreateChildNode("pname", FindText(row, PR_DISPLAY_NAME_A).c_str(), node, 1, 2);
                    parser.AddIndent(1, node);
                }
                rows.reset();
                table.reset();
                parser.AddIndent(0, root);
                if (result == 0) {
                    if (document) *document = parser.GetXML();
                    const std::string& path = m_Config.profilesDocumentPath;
                    if (!path.empty() && !parser.SaveToFile(path)) {
                        CLogFile::Trace("CMAPIObject::GetAppProfile : Failed to Save Profiles\r\n");
                        result = 1;
                    }
                }
            }
        }
    } catch (const std::exception&) {
        result = 1;
    }
    if (!m_bLoggedOn) {
        // A profile listing before logon leaves MAPI as it found it.
        MAPIRelease();
        MAPIUninitialize();
    }
    CLogFile::Trace("CMAPIObject::GetAppProfile : Finish(%d)\r\n", result);
    return result;
}

int CMAPIObject::GetAppFolder(const char* argument, std::string* document) {
    CLogFile::Trace("CMAPIObject::GetAppFolder : Begin\r\n");
    int result = 0;
    try {
        CXMLParser parser;
        CXMLNode root;
        if (!m_lpMAPISession) {
            CLogFile::Trace("CMAPIObject::GetAppFolder : NULL m_lpMAPISession\r\n");
            result = 1;
        } else if (argument == nullptr) {
            CLogFile::Trace("CMAPIObject::GetAppFolder : NULL lpszFolders\r\n");
            result = 1;
        } else if (!parser.Init()) {
            CLogFile::Trace("CMAPIObject::GetAppFolder : Failed to Init XMLParser\r\n");
            result = 1;
        } else if (!parser.CreateHeader()) {
            CLogFile::Trace("CMAPIObject::GetAppFolder : Failed to Create XMLParser's Header\r\n");
            result = 1;
        } else if (!(root = parser.CreateRoot("folders"))) {
            CLogFile::Trace("CMAPIObject::GetAppFolder : Failed to Create XMLParser's root node\r\n");
            result = 1;
        }
        bool haveRows = false;
        if (result == 0) {
            CXMLParser::SetAttribute("name", "outlook", root);
            const MapiFunctions& fns = MapiTable();
            ComPtr<IMAPITable> table;
            HRESULT hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
            CLogFile::Trace("CMAPIObject::GetAppFolder - m_lpMAPISession->GetMsgStoresTable(0X%08X)\r\n",
                            Hr(hr));
            // Without the stores table the result stays 0 and no document is saved, as the host
            // expects; without its rows the result is 1, so that the host does not take the file
            // it finds (an older list, or none) for the answer.
            if (SUCCEEDED(hr) && table && MapiFunctionsComplete()) {
                SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
                RowSetPtr rows(fns.FreeProws);
                hr = fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
                CLogFile::Trace("CMAPIObject::GetAppFolder - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
                haveRows = SUCCEEDED(hr) && rows;
                if (!haveRows) result = 1;
                for (ULONG i = 0; haveRows && i < rows.size(); ++i) {
                    if (!HasProps(rows[i])) continue;
                    if (GetAppFolderFromStore(&rows[i], parser, root, 1) == 0) {
                        result = 1;
                        break;
                    }
                }
            }
        }
        if (haveRows) {
            parser.AddIndent(0, root);
            if (result == 0) {
                if (document) *document = parser.GetXML();
                const std::string& path = m_Config.foldersDocumentPath;
                if (!path.empty() && !parser.SaveToFile(path)) {
                    CLogFile::Trace("CMAPIObject::GetAppFolder : Failed to Save Folders\r\n");
                    result = 1;
                }
            }
        }
    } catch (const std::exception&) {
        result = 1;
    }
    CLogFile::Trace("CMAPIObject::GetAppFolder : Finish(%d)\r\n", result);
    return result;
}

int CMAPIObject::GetAppFolderFromStore(const SRow* storeRow, CXMLParser& parser, CXMLNode parent, int depth) {
    CLogFile::Trace("CMAPIObject::GetAppFolderFromStore - Begin\r\n");
    int result = 0;
    if (storeRow == nullptr || storeRow->lpProps == nullptr) {
        CLogFile::Trace("CMAPIObject::GetAppFolderFromStore - NULL lpPropValue\r\n");
    } else if (CXMLNode node = parser.CreateChildNode("node", "", parent, 1, depth); !node) {
        CLogFile::Trace("CMAPIObject::GetAppFolderFromStore - Failed to create node\r\n");
    } else {
        const SRow& row = *storeRow;
        CXMLParser::SetAttribute("class", "IPF.Post", node);
        CXMLParser::SetAttribute("type", "6", node);
        CXMLParser::SetAttribute("default", FindBool(row, PR_DEFAULT_STORE) ? "true" : "false", node);
        const SBinary* storeId = FindBinary(row, PR_ENTRYID);
        const std::string idText = storeId ? BinaryToHexString(storeId->lpb, storeId->cb) : std::string();
        parser.CreateChildNode("fname", FindText(row, PR_DISPLAY_NAME_W).c_str(), node, 1, depth + 1);
        parser.CreateChildNode("id", idText.c_str(), node, 1, depth + 1);

        result = 1;
        ComPtr<IMsgStore> store;
        const HRESULT hr = m_lpMAPISession->OpenMsgStore(
            0, storeId ? storeId->cb : 0, storeId ? reinterpret_cast<LPENTRYID>(storeId->lpb) : nullptr,
            nullptr, kStoreOpenFlags, store.put());
        CLogFile::Trace("CMAPIObject::GetAppFolderFromStore - m_lpMAPISession->OpenMsgStore(0X%08X)\r\n",
                        Hr(hr));
        if (SUCCEEDED(hr) && store) {
            MapiBuffer<SPropValue> top = NAMESPACE_COMMON::GetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID);
            if (top && PROP_TYPE(top->ulPropTag) == PT_BINARY)
                result = GetAppFolderFromFolder(store.get(), top->Value.bin.cb, top->Value.bin.lpb, parser,
                                                node, depth + 1);
        }
        parser.AddIndent(depth, node);
    }
    CLogFile::Trace("CMAPIObject::GetAppFolderFromStore - Finish(%s)\r\n", result ? "Succeeded" : "Failed");
    return result;
}

int CMAPIObject::GetAppFolderFromFolder(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId,
                                        CXMLParser& parser, CXMLNode parent, int depth) {
    CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - Begin\r\n");
    FolderDepthGuard guard;
    int result = 0;
    if (store == nullptr || entryId == nullptr || guard.TooDeep()) {
        CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - Interrupted or INVALID Parameter\r\n");
        CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - Finish(%s)\r\n", "Failed");
        return 0;
    }
    ComPtr<IMAPIFolder> container;
    HRESULT hr = OpenEntryAs(store, cbEntryId, entryId, MAPI_BEST_ACCESS, container);
    CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - lpMsgStore->OpenEntry(0X%08X)\r\n", Hr(hr));
    if (FAILED(hr)) {
        CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - OpenEntry Failed or NULL lpContainer\r\n");
        CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - Finish(%s)\r\n", "Failed");
        return 0;
    }
    result = 1;

    const MapiFunctions& fns = MapiTable();
    ComPtr<IMAPITable> table;
    hr = container->GetHierarchyTable(MAPI_UNICODE, table.put());
    CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - lpContainer->GetHierarchyTable(0X%08X)\r\n",
                    Hr(hr));
    if (SUCCEEDED(hr) && table && fns.HrQueryAllRows) {
        SizedSPropTagArray<4> columns = {
            4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
        RowSetPtr rows(fns.FreeProws);
        hr = fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
        CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - pfnHrQueryAllRows(0X%08X)\r\n", Hr(hr));
        for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
            const SRow& row = rows[i];
            if (!HasProps(row)) continue;
            CXMLNode node = parser.CreateChildNode("node", "", parent, 1, depth);
            if (!node) {
                result = 0;
                break;
            }
            const SPropValue* classValue = FindProp(row, PR_CONTAINER_CLASS_W);
            std::string containerClass =
                classValue ? FindText(row, PR_CONTAINER_CLASS_W) : std::string("IPF.Note");
            const uint32_t typeCode = NAMESPACE_COMMON::GetFolderTypeCode(containerClass);
            CXMLParser::SetAttribute("class", containerClass.c_str(), node);
            CXMLParser::SetAttribute("type", std::to_string(typeCode).c_str(), node);
            const SBinary* id = FindBinary(row, PR_ENTRYID);
            const std::string idText = id ? BinaryToHexString(id->lpb, id->cb) : std::string();
            parser.CreateChildNode("fname", FindText(row, PR_DISPLAY_NAME_W).c_str(), node, 1, depth + 1);
            parser.CreateChildNode("id", idText.c_str(), node, 1, depth + 1);
            const bool isDefault =
                typeCode < kDefaultFolderCount && !idText.empty() && idText == m_DefaultFolderIds[typeCode];
            CXMLParser::SetAttribute("default", isDefault ? "true" : "false", node);
            if (id) GetAppFolderFromFolder(store, id->cb, id->lpb, parser, node, depth + 1);
            parser.AddIndent(depth, node);
        }
    }
    CLogFile::Trace("CMAPIObject::GetAppFolderFromFolder - Finish(%s)\r\n", result ? "Succeeded" : "Failed");
    return result;
}

// ---------------------------------------------------------------------------------------------
// Folder selection

int CMAPIObject::SetContactFolder(const char* text) {
    CLogFile::Trace("CMAPIObject::SetContactFolder - Begin\r\n");
    int result = 1;
    try {
        if (text == nullptr) {
            CLogFile::Trace("CMAPIObject::SetContactFolder : NULL Parameter\r\n");
        } else if (ComPtr<IMAPIFolder> folder = GetOutlookFolder(text, PR_IPM_CONTACT_ENTRYID); !folder) {
            CLogFile::Trace("CMAPIObject::SetContactFolder - Failed to get contact folder\r\n");
        } else {
            m_lpContactFolder = std::move(folder);
            result = 0;
        }
    } catch (const std::exception&) {
        result = 1;
    }
    CLogFile::Trace("CMAPIObject::SetContactFolder - Finish(%d)\r\n", result);
    return result;
}

int CMAPIObject::SetCalendarFolder(const char* text) {
    CLogFile::Trace("CMAPIObject::SetCalendarFolder - Begin\r\n");
    int result = 1;
    try {
        std::string selection;
        if (text == nullptr) {
            CLogFile::Trace("CMAPIObject::SetCalendarFolder - NULL Parameter\r\n");
        } else if (!NAMESPACE_COMMON::ExtractEventId(text, &selection)) {
            // Longer than the host's selection buffer: refused, the current folder stays.
            CLogFile::Trace("CMAPIObject::SetCalendarFolder - Failed to get event folder\r\n");
        } else if (ComPtr<IMAPIFolder> folder =
                       GetOutlookFolder(selection.c_str(), PR_IPM_APPOINTMENT_ENTRYID);
                   !folder) {
            CLogFile::Trace("CMAPIObject::SetCalendarFolder - Failed to get event folder\r\n");
        } else {
            m_lpEventFolder = std::move(folder);
            result = 0;
        }
    } catch (const std::exception&) {
        result = 1;
    }
    CLogFile::Trace("CMAPIObject::SetCalendarFolder - Finish(%d)\r\n", result);
    return result;
}

ComPtr<IMAPIFolder> CMAPIObject::GetOutlookFolder(const char* text, ULONG defaultTag) {
    CLogFile::Trace("CMAPIObject::GetOutlookFolder - Begin\r\n");
    const std::string trimmed = NAMESPACE_COMMON::TrimBlanks(text ? text : "");
    const std::string_view view = trimmed;
    ComPtr<IMAPIFolder> folder;
    if (view.empty() || view == "<id></id>") {
        folder = NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), defaultTag);
    } else if (view.size() >= 9 && view.starts_with("<id>") && view.ends_with("</id>")) {
        const std::string inner(view.substr(4, view.size() - 9));
        folder = GetOutlookFolderFromEntryID(inner.c_str());
    }
    CLogFile::Trace("CMAPIObject::GetOutlookFolder - Finish\r\n");
    return folder;
}

ComPtr<IMAPIFolder> CMAPIObject::GetOutlookFolderFromEntryID(const char* hexText) {
    CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - Begin\r\n");
    if (hexText == nullptr || *hexText == '\0') {
        CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - NULL Parameter\r\n");
        return {};
    }
    CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - %s\r\n", hexText);
    ComPtr<IMAPIFolder> folder;
    const std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(hexText);
    const MapiFunctions& fns = MapiTable();
    // A text that decodes to no byte (one digit) names no folder: opened as it is, the empty
    // entry id would be the first store's root folder, where no item belongs.
    if (entryId.empty()) {
        CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - NULL Parameter\r\n");
        return {};
    }
    if (m_lpMAPISession && MapiFunctionsComplete()) {
        ComPtr<IMAPITable> table;
        HRESULT hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
        CLogFile::Trace(
            "CMAPIObject::GetOutlookFolderFromEntryID - m_lpMAPISession->GetMsgStoresTable(0X%08X)\r\n",
            Hr(hr));
        if (SUCCEEDED(hr) && table) {
            SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
            CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - pfnHrQueryAllRows(0X%08X)\r\n",
                            Hr(hr));
            for (ULONG i = 0; SUCCEEDED(hr) && !folder && i < rows.size(); ++i) {
                const SBinary* storeId = FindBinary(rows[i], PR_ENTRYID);
                if (storeId == nullptr) continue;
                ComPtr<IMsgStore> store;
                const HRESULT hrOpen =
                    m_lpMAPISession->OpenMsgStore(0, storeId->cb, reinterpret_cast<LPENTRYID>(storeId->lpb),
                                                  nullptr, kStoreOpenFlags, store.put());
                CLogFile::Trace(
                    "CMAPIObject::GetOutlookFolderFromEntryID - m_lpMAPISession->OpenMsgStore(0X%08X)\r\n",
                    Hr(hrOpen));
                if (SUCCEEDED(hrOpen) && store)
                    folder = NAMESPACE_COMMON::OpenFolderEntry(
                        store.get(), static_cast<ULONG>(entryId.size()), entryId.data());
            }
        }
    }
    CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - Finish\r\n");
    return folder;
}

// ---------------------------------------------------------------------------------------------
// Counts

int32_t CMAPIObject::GetContactCount() {
    return CountOfSelection(false);
}

int32_t CMAPIObject::GetCalendarEventCount() {
    return CountOfSelection(true);
}

int32_t CMAPIObject::CountOfSelection(bool calendar) {
    const CountKind& k = calendar ? kCalendarCount : kContactCount;
    IMAPIFolder* const folder = calendar ? m_lpEventFolder.get() : m_lpContactFolder.get();
    CLogFile::Trace("CMAPIObject::%s - Begin\r\n", k.selection);
    int32_t count = 0;
    try {
        if (folder != nullptr && MapiFunctionsComplete()) {
            SizedSPropTagArray<2> tags = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
            ULONG n = 0;
            MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
            const HRESULT hr = folder->GetProps(tags.get(), MAPI_UNICODE, &n, values.put());
            CLogFile::Trace("CMAPIObject::%s - %sGetProps(0X%08X)\r\n", k.selection, k.getPropsOn, Hr(hr));
            // The folder counts by its own entry id, so that the sub-folder walk starts from it.
            if (hr == S_OK && values && n >= 2 && values[1].ulPropTag == PR_ENTRYID) {
                const SBinary& id = values[1].Value.bin;
                count = calendar ? GetCalendarEventCountFromFolder(id.cb, id.lpb)
                                 : GetContactCountFromFolder(id.cb, id.lpb);
            }
        }
    } catch (const std::exception&) {
        count = 0;
    }
    CLogFile::Trace("CMAPIObject::%s - Finish\r\n", k.selection);
    return count;
}

int32_t CMAPIObject::GetContactCountFromFolder(ULONG cbEntryId, const BYTE* entryId) {
    try {
        return CountFromFolder(false, m_lpContactFolder.get(), cbEntryId, entryId);
    } catch (const std::exception&) {
        return 0;
    }
}

int32_t CMAPIObject::GetCalendarEventCountFromFolder(ULONG cbEntryId, const BYTE* entryId) {
    try {
        return CountFromFolder(true, m_lpEventFolder.get(), cbEntryId, entryId);
    } catch (const std::exception&) {
        return 0;
    }
}

int32_t CMAPIObject::CountFromFolder(bool calendar, IMAPIFolder* base, ULONG cbEntryId, const BYTE* entryId) {
    const CountKind& k = calendar ? kCalendarCount : kContactCount;
    CLogFile::Trace("CMAPIObject::%s - Begin\r\n", k.name);
    FolderDepthGuard guard;
    int32_t count = 0;
    const MapiFunctions& fns = MapiTable();
    if (base == nullptr || entryId == nullptr || cbEntryId == 0 || guard.TooDeep() ||
        !MapiFunctionsComplete()) {
        CLogFile::Trace("%s", k.invalid);
        return 0;
    }
    ComPtr<IMAPIFolder> container;
    HRESULT hr = OpenEntryAs(base, cbEntryId, entryId, MAPI_BEST_ACCESS, container);
    CLogFile::Trace("CMAPIObject::%s - %s->OpenEntry(0X%08X)\r\n", k.name, k.base, Hr(hr));
    if (FAILED(hr)) {
        if (k.openFail) CLogFile::Trace("%s", k.openFail);
        return 0;
    }

    ComPtr<IMAPITable> contents;
    hr = container->GetContentsTable(kContentsFlags, contents.put());
    CLogFile::Trace("CMAPIObject::%s - lpContainer->GetContentsTable(0X%08X)\r\n", k.name, Hr(hr));
    if (SUCCEEDED(hr) && contents) {
        SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
        EqualsRestriction ofClass(PR_MESSAGE_CLASS_W, std::u16string(k.messageClass));
        RowSetPtr rows(fns.FreeProws);
        hr = fns.HrQueryAllRows(contents.get(), columns.get(), ofClass.get(), nullptr, 0, rows.put());
        CLogFile::Trace("CMAPIObject::%s - pfnHrQueryAllRows(0X%08X)\r\n", k.name, Hr(hr));
        if (SUCCEEDED(hr)) count = static_cast<int32_t>(rows.size());
    }
    contents.reset();

    if (m_Config.subFolder) {
        if (k.subFolderLine) CLogFile::Trace("CMAPIObject::%s - Get Count from SubFolder\r\n", k.name);
        ComPtr<IMAPITable> hierarchy;
        hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
        CLogFile::Trace("CMAPIObject::%s - lpContainer->GetHierarchyTable(0X%08X)\r\n", k.name, Hr(hr));
        if (SUCCEEDED(hr) && hierarchy) {
            SizedSPropTagArray<4> columns = {
                4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
            EqualsRestriction ofClass(PR_CONTAINER_CLASS_W, std::u16string(k.containerClass));
            RowSetPtr rows(fns.FreeProws);
            hr = fns.HrQueryAllRows(hierarchy.get(), columns.get(), ofClass.get(), nullptr, 0, rows.put());
            CLogFile::Trace("CMAPIObject::%s - pfnHrQueryAllRows(0X%08X)\r\n", k.name, Hr(hr));
            for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
                const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
                if (id == nullptr) continue;
                count += CountFromFolder(calendar, base, id->cb, id->lpb);
            }
        }
    }
    CLogFile::Trace("CMAPIObject::%s - Finish\r\n", k.name);
    return count;
}

std::recursive_mutex& MAPIObjectLock() {
    static std::recursive_mutex lock;
    return lock;
}

CMAPIObject& GetMAPIObject() {
    static CMAPIObject* instance = new CMAPIObject();  // never destroyed: lives until exit
    return *instance;
}

}  // namespace NAMESPACE_MAPI
