#include "mapi/MAPIObject.h"

#include <cerrno>
#include <exception>
#include <string_view>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "journal/Deltatrack.h"
#include "mapi/FolderDepth.h"
#include "mapi/FolderWalk.h"
#include "mapi/TraceScope.h"
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

using Finish = CTraceScope::Finish;

// A count's kind: its folders (item and sub-folder classes, the selection's member name) and the
// trace texts where the two counts differ.
struct CountKind {
    const FolderKind& folders;
    const char* selection;   // "GetContactCount" / "GetCalendarEventCount"
    const char* getPropsOn;  // what the GetProps line names the selection by, "" or "m_lpEventFolder->"
    const char* name;        // "GetContactCountFromFolder" / "GetCalendarEventCountFromFolder"
    const char* invalid;     // the bad-parameter line
    const char* openFail;    // the failed-open line, or null
    bool subFolderLine;
};

constexpr CountKind kContactCount = {kContactFolders,
                                     "GetContactCount",
                                     "",
                                     "GetContactCountFromFolder",
                                     "CMAPIObject::GetContactCountFromFolder - INVALID Parameter\r\n",
                                     nullptr,
                                     true};
constexpr CountKind kCalendarCount = {
    kCalendarFolders,
    "GetCalendarEventCount",
    "m_lpEventFolder->",
    "GetCalendarEventCountFromFolder",
    "CMAPIObject::GetCalendarEventCountFromFolder - NULL or INVALID Parameter\r\n",
    "CMAPIObject::GetCalendarEventCountFromFolder - OpenEntry Failed or NULL lpContainer\r\n",
    false};

}  // namespace

CMAPIObject::CMAPIObject() = default;

CMAPIObject::~CMAPIObject() {
    // The process-wide instance is never destroyed (the agent ends through Shutdown); another
    // instance releases what it still holds, quietly, as the runtime is still loaded then.
    m_ContactWriteKept = {};
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
    CTraceScope scope("MAPILogOn", Finish::kOutcome);
    // The steps up to the open default store; false at the first that fails.
    const auto logOn = [&]() -> bool {
        const MapiFunctions& fns = MapiTable();
        if (!MapiFunctionsComplete()) return false;
        if (!m_bMAPIInitialized) {
            MAPIINIT_0 init = {MAPI_INIT_VERSION, 0};
            m_bMAPIInitialized = SUCCEEDED(fns.MAPIInitialize(&init)) ? 1 : 0;
            if (!m_bMAPIInitialized) return false;
        }
        scope.Line("MAPIInitialize(Succeeded)");

        MAPIRelease();
        m_DefaultFolderIds = {};

        std::u16string name = nx::sys::Utf8ToUtf16(profile ? profile : "");
        const ULONG flags = name.empty() ? (kLogonFlags | MAPI_USE_DEFAULT) : kLogonFlags;
        HRESULT hr = fns.MAPILogonEx(0, name.data(), nullptr, flags, m_lpMAPISession.put());
        scope.Status("MAPILogonEx", hr);
        if (FAILED(hr) || !m_lpMAPISession) return false;

        ComPtr<IMAPITable> table;
        hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
        scope.Status("m_lpMAPISession->GetMsgStoresTable", hr);
        if (FAILED(hr) || !table) return false;

        SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
        EqualsRestriction isDefault(PR_DEFAULT_STORE, true);
        RowSetPtr rows(fns.FreeProws);
        hr = fns.HrQueryAllRows(table.get(), columns.get(), isDefault.get(), nullptr, 0, rows.put());
        scope.Status("pfnHrQueryAllRows", hr);
        if (FAILED(hr) || !rows || rows.size() == 0) return false;

        const SBinary* storeId = FindBinary(rows[0], PR_ENTRYID);
        hr = m_lpMAPISession->OpenMsgStore(0, storeId ? storeId->cb : 0,
                                           storeId ? reinterpret_cast<LPENTRYID>(storeId->lpb) : nullptr,
                                           nullptr, kStoreOpenFlags, m_lpMsgStore.put());
        scope.Status("m_lpMAPISession->OpenMsgStore", hr);
        return SUCCEEDED(hr) && m_lpMsgStore;
    };
    bool loggedOn = false;
    try {
        loggedOn = logOn();
        if (loggedOn) {
            FillDefaultFolderIds();
            m_lpContactFolder =
                NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), PR_IPM_CONTACT_ENTRYID);
            m_lpEventFolder =
                NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), PR_IPM_APPOINTMENT_ENTRYID);
            TakeLocalTimeZone();
        }
    } catch (const std::exception&) {
        scope.Line("Failed");
        loggedOn = false;
    }
    if (!loggedOn) {
        LogOffSteps();
        return scope.Result(0);
    }
    m_bLoggedOn = 1;
    return scope.Result(1);
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
    // No journal file stays open while no session is (on Windows it would keep its folder).
    CloseChangeLog();
}

void CMAPIObject::LogOffSteps() {
    const CTraceScope scope("MAPILogOff", Finish::kPlain, " : ");
    MAPIRelease();
    MAPIUninitialize();
    m_bLoggedOn = 0;
}

void CMAPIObject::MAPIRelease() {
    CTraceScope scope("MAPIRelease", Finish::kPlain, " : ");
    try {
        m_ContactWriteKept = {};  // holds the folder and what is known of its store
        m_lpContactFolder.reset();
        scope.Line("1");
        m_lpEventFolder.reset();
        scope.Line("2");
        m_lpMsgStore.reset();
        scope.Line("3");
        if (m_lpMAPISession) {
            scope.Status("m_lpMAPISession->Logoff", m_lpMAPISession->Logoff(0, MAPI_LOGOFF_UI, 0));
            m_lpMAPISession.reset();
        }
        scope.Line("4");
        m_lpProfAdmin.reset();
    } catch (const std::exception&) {
        scope.Fail("failed");
    }
}

void CMAPIObject::MAPIUninitialize() {
    CTraceScope scope("MAPIUninitialize", Finish::kPlain, " : ");
    try {
        if (m_bMAPIInitialized) {
            const MapiFunctions& fns = MapiTable();
            // MAPIUninitialize returns nothing; the trace shows the thread's last error (errno).
            errno = 0;
            if (fns.MAPIUninitialize) fns.MAPIUninitialize();
            const int lastError = errno;
            scope.Status("pfnMAPIUninitialize", static_cast<HRESULT>(lastError));
            m_bMAPIInitialized = 0;
        }
    } catch (const std::exception&) {
        scope.Fail("Failed");
    }
}

// ---------------------------------------------------------------------------------------------
// Discovery

int CMAPIObject::GetAppProfile(const char* argument, std::string* document) {
    CTraceScope scope("GetAppProfile", Finish::kNumber, " : ");
    if (argument == nullptr) {
        scope.Line("NULL lpszProfiles");
        return scope.Result(1);
    }
    // The profiles document: 0 built (and saved when a path is set), 1 not.
    const auto listProfiles = [&]() -> int {
        CXMLParser parser;
        if (!parser.Init()) {
            scope.Line("Failed to Init XMLParser");
            return 1;
        }
        if (!parser.CreateHeader()) {
            scope.Line("Failed to Create XMLParser's Header");
            return 1;
        }
        const CXMLNode root = parser.CreateRoot("profiles");
        if (!root) {
            scope.Line("Failed to Create XMLParser's root node");
            return 1;
        }
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
            scope.Line("NULL lpProfAdmin");
            return 1;
        }
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
        scope.Status("pfnHrQueryAllRows", hr);
        // A profile table that cannot be read gives no document: an empty list would tell the host
        // that no profile exists.
        if (FAILED(hr) || !rows) return 1;
        for (ULONG i = 0; i < rows.size(); ++i) {
            const SRow& row = rows[i];
            CXMLNode node = parser.CreateChildNode("node", "", root, 1, 1);
            if (!node) return 1;
            CXMLParser::SetAttribute("default", FindBool(row, PR_DEFAULT_PROFILE) ? "true" : "false", node);
            parser.CreateChildNode("pname", FindText(row, PR_DISPLAY_NAME_A).c_str(), node, 1, 2);
            parser.AddIndent(1, node);
        }
        parser.AddIndent(0, root);
        if (document) *document = parser.GetXML();
        const std::string& path = m_Config.profilesDocumentPath;
        if (!path.empty() && !parser.SaveToFile(path)) {
            scope.Line("Failed to Save Profiles");
            return 1;
        }
        return 0;
    };
    int result = 1;
    try {
        result = listProfiles();
    } catch (const std::exception&) {
        result = 1;
    }
    if (!m_bLoggedOn) {
        // A profile listing before logon leaves MAPI as it found it.
        MAPIRelease();
        MAPIUninitialize();
    }
    return scope.Result(result);
}

int CMAPIObject::GetAppFolder(const char* argument, std::string* document) {
    CTraceScope scope("GetAppFolder", Finish::kNumber, " : ");
    try {
        if (!m_lpMAPISession) {
            scope.Line("NULL m_lpMAPISession");
            return scope.Result(1);
        }
        if (argument == nullptr) {
            scope.Line("NULL lpszFolders");
            return scope.Result(1);
        }
        CXMLParser parser;
        if (!parser.Init()) {
            scope.Line("Failed to Init XMLParser");
            return scope.Result(1);
        }
        if (!parser.CreateHeader()) {
            scope.Line("Failed to Create XMLParser's Header");
            return scope.Result(1);
        }
        const CXMLNode root = parser.CreateRoot("folders");
        if (!root) {
            scope.Line("Failed to Create XMLParser's root node");
            return scope.Result(1);
        }
        CXMLParser::SetAttribute("name", "outlook", root);
        const MapiFunctions& fns = MapiTable();
        ComPtr<IMAPITable> table;
        HRESULT hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
        scope.Status("m_lpMAPISession->GetMsgStoresTable", hr);
        // Without the stores table the result is 0 and no document is saved, as the host expects;
        // without its rows the result is 1, so that the host does not take the file it finds (an
        // older list, or none) for the answer.
        if (FAILED(hr) || !table || !MapiFunctionsComplete()) return scope.Result(0);
        SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
        RowSetPtr rows(fns.FreeProws);
        hr = fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
        scope.Status("pfnHrQueryAllRows", hr);
        if (FAILED(hr) || !rows) return scope.Result(1);
        int result = 0;
        for (ULONG i = 0; i < rows.size(); ++i) {
            if (!HasProps(rows[i])) continue;
            if (GetAppFolderFromStore(&rows[i], parser, root, 1) == 0) {
                result = 1;
                break;
            }
        }
        parser.AddIndent(0, root);
        if (result != 0) return scope.Result(result);
        if (document) *document = parser.GetXML();
        const std::string& path = m_Config.foldersDocumentPath;
        if (!path.empty() && !parser.SaveToFile(path)) {
            scope.Line("Failed to Save Folders");
            return scope.Result(1);
        }
        return scope.Result(0);
    } catch (const std::exception&) {
        return scope.Result(1);
    }
}

int CMAPIObject::GetAppFolderFromStore(const SRow* storeRow, CXMLParser& parser, CXMLNode parent, int depth) {
    CTraceScope scope("GetAppFolderFromStore", Finish::kOutcome);
    if (storeRow == nullptr || storeRow->lpProps == nullptr) {
        scope.Line("NULL lpPropValue");
        return 0;
    }
    const CXMLNode node = parser.CreateChildNode("node", "", parent, 1, depth);
    if (!node) {
        scope.Line("Failed to create node");
        return 0;
    }
    const SRow& row = *storeRow;
    CXMLParser::SetAttribute("class", "IPF.Post", node);
    CXMLParser::SetAttribute("type", "6", node);
    CXMLParser::SetAttribute("default", FindBool(row, PR_DEFAULT_STORE) ? "true" : "false", node);
    const SBinary* storeId = FindBinary(row, PR_ENTRYID);
    const std::string idText = storeId ? BinaryToHexString(storeId->lpb, storeId->cb) : std::string();
    parser.CreateChildNode("fname", FindText(row, PR_DISPLAY_NAME_W).c_str(), node, 1, depth + 1);
    parser.CreateChildNode("id", idText.c_str(), node, 1, depth + 1);

    // A store that does not open is listed without its folders.
    int result = 1;
    ComPtr<IMsgStore> store;
    const HRESULT hr = m_lpMAPISession->OpenMsgStore(
        0, storeId ? storeId->cb : 0, storeId ? reinterpret_cast<LPENTRYID>(storeId->lpb) : nullptr, nullptr,
        kStoreOpenFlags, store.put());
    scope.Status("m_lpMAPISession->OpenMsgStore", hr);
    if (SUCCEEDED(hr) && store) {
        MapiBuffer<SPropValue> top = NAMESPACE_COMMON::GetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID);
        if (top && PROP_TYPE(top->ulPropTag) == PT_BINARY)
            result = GetAppFolderFromFolder(store.get(), top->Value.bin.cb, top->Value.bin.lpb, parser, node,
                                            depth + 1);
    }
    parser.AddIndent(depth, node);
    return scope.Result(result);
}

int CMAPIObject::GetAppFolderFromFolder(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId,
                                        CXMLParser& parser, CXMLNode parent, int depth) {
    CTraceScope scope("GetAppFolderFromFolder", Finish::kOutcome);
    FolderDepthGuard guard;
    if (store == nullptr || entryId == nullptr || guard.TooDeep()) {
        scope.Line("Interrupted or INVALID Parameter");
        return 0;
    }
    ComPtr<IMAPIFolder> container;
    HRESULT hr = OpenEntryAs(store, cbEntryId, entryId, MAPI_BEST_ACCESS, container);
    scope.Status("lpMsgStore->OpenEntry", hr);
    if (FAILED(hr)) {
        scope.Line("OpenEntry Failed or NULL lpContainer");
        return 0;
    }
    const MapiFunctions& fns = MapiTable();
    ComPtr<IMAPITable> table;
    hr = container->GetHierarchyTable(MAPI_UNICODE, table.put());
    scope.Status("lpContainer->GetHierarchyTable", hr);
    // A folder whose sub-folders cannot be listed is listed without them.
    if (FAILED(hr) || !table || !fns.HrQueryAllRows) return scope.Result(1);
    RowSetPtr rows(fns.FreeProws);
    hr = fns.HrQueryAllRows(table.get(), SubFolderColumns(), nullptr, nullptr, 0, rows.put());
    scope.Status("pfnHrQueryAllRows", hr);
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
        const SRow& row = rows[i];
        if (!HasProps(row)) continue;
        CXMLNode node = parser.CreateChildNode("node", "", parent, 1, depth);
        if (!node) return 0;
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
    return scope.Result(1);
}

// ---------------------------------------------------------------------------------------------
// Folder selection

int CMAPIObject::SetContactFolder(const char* text) {
    CTraceScope scope("SetContactFolder", Finish::kNumber);
    try {
        if (text == nullptr) {
            CLogFile::Trace("CMAPIObject::SetContactFolder : NULL Parameter\r\n");
            return scope.Result(1);
        }
        ComPtr<IMAPIFolder> folder = GetOutlookFolder(text, PR_IPM_CONTACT_ENTRYID);
        if (!folder) {
            scope.Line("Failed to get contact folder");
            return scope.Result(1);
        }
        m_lpContactFolder = std::move(folder);
        return scope.Result(0);
    } catch (const std::exception&) {
        return scope.Result(1);
    }
}

int CMAPIObject::SetCalendarFolder(const char* text) {
    CTraceScope scope("SetCalendarFolder", Finish::kNumber);
    try {
        if (text == nullptr) {
            scope.Line("NULL Parameter");
            return scope.Result(1);
        }
        std::string selection;
        // A selection longer than the host's buffer is refused, and the current folder stays.
        ComPtr<IMAPIFolder> folder;
        if (NAMESPACE_COMMON::ExtractEventId(text, &selection))
            folder = GetOutlookFolder(selection.c_str(), PR_IPM_APPOINTMENT_ENTRYID);
        if (!folder) {
            scope.Line("Failed to get event folder");
            return scope.Result(1);
        }
        m_lpEventFolder = std::move(folder);
        return scope.Result(0);
    } catch (const std::exception&) {
        return scope.Result(1);
    }
}

ComPtr<IMAPIFolder> CMAPIObject::GetOutlookFolder(const char* text, ULONG defaultTag) {
    const CTraceScope scope("GetOutlookFolder");
    const std::string trimmed = NAMESPACE_COMMON::TrimBlanks(text ? text : "");
    const std::string_view view = trimmed;
    if (view.empty() || view == "<id></id>")
        return NAMESPACE_COMMON::OpenDefaultFolder(m_lpMsgStore.get(), defaultTag);
    if (view.size() >= 9 && view.starts_with("<id>") && view.ends_with("</id>")) {
        const std::string inner(view.substr(4, view.size() - 9));
        return GetOutlookFolderFromEntryID(inner.c_str());
    }
    return {};
}

ComPtr<IMAPIFolder> CMAPIObject::GetOutlookFolderFromEntryID(const char* hexText) {
    CTraceScope scope("GetOutlookFolderFromEntryID");
    if (hexText == nullptr || *hexText == '\0') {
        scope.Fail("NULL Parameter");
        return {};
    }
    CLogFile::Trace("CMAPIObject::GetOutlookFolderFromEntryID - %s\r\n", hexText);
    const std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(hexText);
    // A text that decodes to no byte (one digit) names no folder: opened as it is, the empty
    // entry id would be the first store's root folder, where no item belongs.
    if (entryId.empty()) {
        scope.Fail("NULL Parameter");
        return {};
    }
    if (!m_lpMAPISession || !MapiFunctionsComplete()) return {};
    ComPtr<IMAPITable> table;
    HRESULT hr = m_lpMAPISession->GetMsgStoresTable(0, table.put());
    scope.Status("m_lpMAPISession->GetMsgStoresTable", hr);
    if (FAILED(hr) || !table) return {};
    SizedSPropTagArray<3> columns = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
    RowSetPtr rows(MapiTable().FreeProws);
    hr = MapiTable().HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put());
    scope.Status("pfnHrQueryAllRows", hr);
    if (FAILED(hr)) return {};
    // The first store that holds the folder.
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SBinary* storeId = FindBinary(rows[i], PR_ENTRYID);
        if (storeId == nullptr) continue;
        ComPtr<IMsgStore> store;
        const HRESULT opened = m_lpMAPISession->OpenMsgStore(
            0, storeId->cb, reinterpret_cast<LPENTRYID>(storeId->lpb), nullptr, kStoreOpenFlags, store.put());
        scope.Status("m_lpMAPISession->OpenMsgStore", opened);
        if (FAILED(opened) || !store) continue;
        if (ComPtr<IMAPIFolder> folder = NAMESPACE_COMMON::OpenFolderEntry(
                store.get(), static_cast<ULONG>(entryId.size()), entryId.data()))
            return folder;
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Counts

int32_t CMAPIObject::GetContactCount() {
    return CountOfSelection(false);
}

int32_t CMAPIObject::GetCalendarEventCount() {
    return CountOfSelection(true);
}

int32_t CMAPIObject::GetCalendarCount() {
    const CTraceScope scope("GetCalendarCount");
    return GetCalendarEventCount();
}

int32_t CMAPIObject::CountOfSelection(bool calendar) {
    const CountKind& k = calendar ? kCalendarCount : kContactCount;
    IMAPIFolder* const folder = calendar ? m_lpEventFolder.get() : m_lpContactFolder.get();
    const CTraceScope scope(k.selection);
    try {
        if (folder == nullptr || !MapiFunctionsComplete()) return 0;
        const FolderHead head = ReadFolderHead(folder);
        CLogFile::Trace("CMAPIObject::%s - %sGetProps(0X%08X)\r\n", k.selection, k.getPropsOn, Hr(head.hr));
        if (!head.Read()) return 0;
        // The folder counts by its own entry id, so that the sub-folder walk starts from it.
        const SBinary& id = head.Id();
        return calendar ? GetCalendarEventCountFromFolder(id.cb, id.lpb)
                        : GetContactCountFromFolder(id.cb, id.lpb);
    } catch (const std::exception&) {
        return 0;
    }
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
    CTraceScope scope(k.name);
    FolderDepthGuard guard;
    const MapiFunctions& fns = MapiTable();
    if (base == nullptr || entryId == nullptr || cbEntryId == 0 || guard.TooDeep() ||
        !MapiFunctionsComplete()) {
        CLogFile::Trace("%s", k.invalid);
        scope.NoFinish();
        return 0;
    }
    ComPtr<IMAPIFolder> container;
    HRESULT hr = OpenEntryAs(base, cbEntryId, entryId, MAPI_BEST_ACCESS, container);
    CLogFile::Trace("CMAPIObject::%s - %s->OpenEntry(0X%08X)\r\n", k.name, k.folders.folderMember, Hr(hr));
    if (FAILED(hr)) {
        if (k.openFail) CLogFile::Trace("%s", k.openFail);
        scope.NoFinish();
        return 0;
    }

    int32_t count = 0;
    ComPtr<IMAPITable> contents;
    hr = container->GetContentsTable(kContentsFlags, contents.put());
    scope.Status("lpContainer->GetContentsTable", hr);
    if (SUCCEEDED(hr) && contents) {
        // A change read's count lists its snapshot's columns, whose rows the snapshot takes.
        KeptFolderRows* const keep =
            m_CountKeeps && m_CountKeeps->Lists(k.folders.itemClass) ? m_CountKeeps : nullptr;
        SizedSPropTagArray<1> idColumn = {1, {PR_ENTRYID}};
        LPSPropTagArray columns = keep ? keep->Columns() : idColumn.get();
        EqualsRestriction ofClass(PR_MESSAGE_CLASS_W, std::u16string(k.folders.itemClass));
        RowSetPtr rows(fns.FreeProws);
        hr = fns.HrQueryAllRows(contents.get(), columns, ofClass.get(), nullptr, 0, rows.put());
        scope.Status("pfnHrQueryAllRows", hr);
        if (SUCCEEDED(hr)) {
            count = static_cast<int32_t>(rows.size());
            if (keep) keep->Keep(cbEntryId, entryId, hr, std::move(rows));
        }
    }
    contents.reset();
    if (!m_Config.subFolder) return count;

    if (k.subFolderLine) scope.Line("Get Count from SubFolder");
    ComPtr<IMAPITable> hierarchy;
    hr = container->GetHierarchyTable(MAPI_UNICODE, hierarchy.put());
    scope.Status("lpContainer->GetHierarchyTable", hr);
    if (FAILED(hr) || !hierarchy) return count;
    EqualsRestriction ofClass(PR_CONTAINER_CLASS_W, std::u16string(k.folders.containerClass));
    RowSetPtr rows(fns.FreeProws);
    hr = fns.HrQueryAllRows(hierarchy.get(), SubFolderColumns(), ofClass.get(), nullptr, 0, rows.put());
    scope.Status("pfnHrQueryAllRows", hr);
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.size(); ++i) {
        const SBinary* id = FindBinary(rows[i], PR_ENTRYID);
        if (id == nullptr) continue;
        count += CountFromFolder(calendar, base, id->cb, id->lpb);
    }
    return count;
}

MAPIObjectGuard LockMAPIObject() {
    static std::mutex lock;
    return MAPIObjectGuard(lock);
}

CMAPIObject& GetMAPIObject() {
    static CMAPIObject* instance = new CMAPIObject();  // never destroyed: lives until exit
    return *instance;
}

}  // namespace NAMESPACE_MAPI
