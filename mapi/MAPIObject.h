// CMAPIObject: the agent's one stateful object. A single process-wide instance (GetMAPIObject)
// holds the MAPI session, the default message store, the contacts and calendar folders that
// reads and writes work on and the machine's time zone. Every RPC procedure acts on it, under the
// object's lock (LockMAPIObject below): the procedure handlers take it, and a read hands it to the
// object so that it is released while a document is with the host.
//
// Lifecycle: logged off -> MAPILogOn (MAPIInitialize once, logon, default store, default
// folders, the machine's zone) -> logged on -> MAPILogOff (release everything, MAPIUninitialize)
// -> logged off. A second MAPILogOn while logged on drops the old session first and does not
// initialise MAPI again. A failed MAPILogOn always ends logged off with MAPI uninitialised.
// GetAppProfile works before logon and then leaves MAPI as it found it.
//
// Results: MAPILogOn returns 1 logged on / 0 not; GetAppProfile, GetAppFolder, SetContactFolder
// and SetCalendarFolder return 0 done / 1 failed; counts return the count (0 on any error).
// Every operation writes its Begin and Finish trace lines (mapi/TraceScope.h) and the status of
// each MAPI call ("0X%08X"); nothing throws out of an operation.
//
// Where the two item kinds go: one read flow (mapi/ItemRead.h) and one write dispatch
// (mapi/ItemWrite.h), each told the kind's parts as data (mapi/ContactRead.cpp,
// mapi/CalendarRead.cpp, mapi/ContactWrite.cpp, mapi/CalendarWrite.cpp).
//
// Decisions taken here (docs/mapi-session.md has the details):
//  - Documents without "XMLPath": GetAppProfile and GetAppFolder build the document, save no
//    file and return 0. The host's argument of both procedures is input-only on the wire, so the
//    document is never written into it; the host gets the documents through the files only.
//    The document text is still handed to a caller that asks for it (the `document` argument),
//    which is how the tests and the benchmark read it.
//  - A calendar selection whose extracted text would exceed the host's 1023-character buffer is
//    refused: SetCalendarFolder fails with result 1 and keeps the current folder, rather than
//    cutting the id short or taking the empty text for "the default calendar folder".
//  - Folders named by entry id must be folders: an entry id of a message or of a store is not a
//    folder and the selection fails.
//  - No progress messages: there is never a window to receive them, so none are sent; nothing can
//    interrupt a read either (the host has no way to), so there is no interrupt flag.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/TimeZone.h"
#include "common/XMLParser.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactWrite.h"
#include "contacts/ContactXml.h"
#include "mapi/ItemWrite.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::tagNxTimeZone;

struct ItemReadKind;
class ItemDocuments;
struct ItemTarget;
class CTraceScope;

// One snapshot entry as a table row gives it: the identifier (the long-term id's text when the
// row has one, else PR_ENTRYID's) and the local modification time (null when the row has none).
struct CLogEntry {
    std::string id;
    NAMESPACE_COMMON::CDateTime modified = NAMESPACE_COMMON::CDateTime::Null();
};
void FillLogItem(CLogEntry& item, const SPropValue* values, ULONG count,
                 const NAMESPACE_COMMON::TimeZoneSource& zone);

// The process-wide configuration CMAPIObject works with. Start-up reads it (PIMProfile.ini,
// the application-data folder) in the agent layer and hands it down with SetConfig.
struct CMAPIConfig {
    bool subFolder = false;            // counts (and reads) include sub-folders of the same kind
    std::string foldersDocumentPath;   // "<folder>/Outlook.xml", "" = save no folders document
    std::string profilesDocumentPath;  // "<folder>/Profile.xml", "" = save no profiles document
    std::string workFolder;            // where contact pictures are written, "" = none are written
};

// How a read hands its documents to the host: the agent installs its callback client. With
// `deliver` alone, one call per document answers the call's status, 0 when the host took the
// document. With `collect` too, a delivery is made in two steps: `deliver` hands the document
// over (0: it is on its way, else the call's status and nothing is on its way) and `collect`
// waits for the host's answer to it. The read then prepares the next document while the host
// handles the one before, and answers, traces and writes exactly what the one-step way would
// (mapi/ItemRead.cpp "Two-step deliveries").
struct DocumentSink {
    std::function<uint32_t(std::string_view xml)> deliver;
    std::function<uint32_t()> collect;

    DocumentSink() = default;
    DocumentSink(std::nullptr_t) {}  // no sink: every delivery fails (no host)
    template <class Deliver>
    requires std::is_invocable_r_v<uint32_t, Deliver&, std::string_view> &&
        (!std::is_same_v<std::decay_t<Deliver>, DocumentSink>)DocumentSink(Deliver one)
        : deliver(std::move(one)) {}
    DocumentSink(std::function<uint32_t(std::string_view xml)> handOver, std::function<uint32_t()> answer)
        : deliver(std::move(handOver)), collect(std::move(answer)) {
        assert(deliver && collect);  // a two-step sink has both steps
    }
    explicit operator bool() const { return static_cast<bool>(deliver); }
};

// The lock of the process-wide instance, held by whoever owns the guard. Every procedure handler
// holds it while it uses the object (agent/HandlerSupport.h), so a host that calls on two
// connections at once cannot release the session under a running procedure; with a well-behaved
// host (one call at a time) it is never contended. It is not recursive: a guard holds it exactly
// once, so a read that is handed the guard really lets other connections in while it releases it
// around a document the host is handling.
using MAPIObjectGuard = std::unique_lock<std::mutex>;
MAPIObjectGuard LockMAPIObject();

inline constexpr std::size_t kDefaultFolderCount = 7;

class KeptFolderRows;

class CMAPIObject {
public:
    CMAPIObject();
    virtual ~CMAPIObject();
    CMAPIObject(const CMAPIObject&) = delete;
    CMAPIObject& operator=(const CMAPIObject&) = delete;

    void SetConfig(const CMAPIConfig& config) { m_Config = config; }

    // ---- Session ----
    // Logs on to the profile (UTF-8; "" = the default profile). The window is not used.
    int MAPILogOn(void* window, const char* profile);
    void MAPILogOff();
    void MAPIRelease();
    void MAPIUninitialize();

    // ---- Discovery (documents "Profile.xml" and "Outlook.xml") ----
    // The argument must be present; its content is not used. `document`, when given, receives
    // the document text whenever the document was built (whether or not a file was saved).
    int GetAppProfile(const char* argument, std::string* document = nullptr);
    int GetAppFolder(const char* argument, std::string* document = nullptr);
    int GetAppFolderFromStore(const SRow* storeRow, NAMESPACE_COMMON::CXMLParser& parser,
                              NAMESPACE_COMMON::CXMLNode parent, int depth);
    int GetAppFolderFromFolder(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId,
                               NAMESPACE_COMMON::CXMLParser& parser, NAMESPACE_COMMON::CXMLNode parent,
                               int depth);

    // ---- Folder selection ----
    // Texts: "" or "<id></id>" (the default folder), "<id>HEX</id>" (any store), trimmed first.
    int SetContactFolder(const char* text);
    // Any text whose "<event>...</event>" part holds the selection (see ExtractEventId).
    int SetCalendarFolder(const char* text);
    ComPtr<IMAPIFolder> GetOutlookFolder(const char* text, ULONG defaultTag);
    ComPtr<IMAPIFolder> GetOutlookFolderFromEntryID(const char* hexText);

    // ---- Counts ----
    // Items of class exactly "IPM.Contact" in the selected contacts folder (and, with the
    // sub-folder switch, its "IPF.Contact" sub-folders at any depth).
    int32_t GetContactCount();
    int32_t GetContactCountFromFolder(ULONG cbEntryId, const BYTE* entryId);
    // The same for "IPM.Appointment" / "IPF.Appointment" and the selected calendar folder.
    int32_t GetCalendarEventCount();
    int32_t GetCalendarEventCountFromFolder(ULONG cbEntryId, const BYTE* entryId);
    // Procedure 5's count: GetCalendarEventCount between the "GetCalendarCount" Begin and Finish lines.
    int32_t GetCalendarCount();

    // ---- Reads (procedures 14 and 15, mapi/ItemRead.h) ----
    // Every item of the selected folder (empty anchor) or the changes since the anchor's last
    // committed read, one document per item through the kind's sink. 0 done, 1 failed. `first` is
    // not used. With `held`, the caller's guard of the object's lock, the read releases it while
    // each document is with the host (and takes it again before it goes on).
    int ReadContacts(const char* first, const char* anchor, MAPIObjectGuard* held);
    int ReadCalendars(const char* first, const char* anchor, MAPIObjectGuard* held);
    int ReadContacts(const char* first, const char* anchor) { return ReadContacts(first, anchor, nullptr); }
    int ReadCalendars(const char* first, const char* anchor) { return ReadCalendars(first, anchor, nullptr); }
    // A read copies the sink when it starts: a sink installed meanwhile serves the next read.
    void SetContactSink(DocumentSink sink) { m_ContactSink = std::move(sink); }
    void SetCalendarSink(DocumentSink sink) { m_CalendarSink = std::move(sink); }

    // ---- Contact writes (procedure 12, mapi/ContactWrite.cpp) ----
    // Acts on the record by its change flags (mapi/ItemWrite.h). The record carries back the
    // identifier (the new contact's after an add) and the stored modification time. 0 handled
    // (whatever the operation gave), 1 for a missing record or when an operation failed on an
    // exception.
    int WriteContacts(CContactEx* record);
    // Each 1 done, 0 failed. Add: a new message in the contact folder (the record's PIMID then
    // names it, also when its save failed). Update: the target the dispatch found for the PIMID
    // (mapi/ItemWrite.h). Delete: the target, from the folder that holds it.
    int AddContact(CContactEx* record);
    int UpdateContact(CContactEx* record, const ItemTarget& target);
    int DeleteContact(CContactEx* record, const ItemTarget& target);
    // Writes the record onto an open message and saves it. A new message (`stored` null) gets every
    // property the write covers, set from the record or removed; a stored one only the groups whose
    // inbound text differs from what the read sends for it (`stored`), and no save when none does.
    // 1 when the save succeeded or nothing needed one; the record's time is then the stored
    // modification time.
    // Every time of the write is converted with `zone`, taken once for it.
    int UpdateContactMessage(IMessage* message, CContactEx* record, const CContactSentFields* stored,
                             const NAMESPACE_COMMON::TimeZoneSource& zone);
    // The picture of that write: the host's file when it is a picture that differs from the stored
    // one, none when the host sent none; a refused file (traced in `scope`) leaves the stored
    // picture. True when the message was changed.
    bool UpdateContactPicture(IMessage* message, const std::string& path, const CContactSentFields* stored,
                              const CTraceScope& scope);
    // The composed display name group of the name fields (contacts/ContactWrite.h), added to the
    // write's edits (the file-as name when `named` resolved it).
    void UpdateContactDisplayName(NAMESPACE_COMMON::CPropEdits& edits, const CContactWriteNames& named,
                                  const tagContactFields& fields);

    // ---- Calendar writes (procedure 13, mapi/CalendarWrite.cpp) ----
    // Acts on the record by its change flags (mapi/ItemWrite.h) in the selected calendar folder;
    // adds and updates only records of lCalType 3. 0 handled (whatever the outcome), 1 for a
    // missing record or when something escaped.
    int WriteCalendars(CCalendarEx* record);
    // A new item; the record's PIMID becomes its identifier (empty when it cannot be read back).
    BOOL AddCalendarEvent(CCalendarEx* record);
    // The target the dispatch found for the record's PIMID (mapi/ItemWrite.h).
    BOOL UpdateCalendarEvent(CCalendarEx* record, const ItemTarget& target);
    // The target, from the folder that holds it.
    BOOL DeleteCalendar(CCalendarEx* record, const ItemTarget& target);
    // Writes every appointment property and saves; the record gets the item's local modification
    // time (0.0 when it cannot be read) and, for an all-day item, its normalised start and end.
    BOOL UpdateCalendarEventMessage(IMessage* message, CCalendarEx* record);
    // The machine's zone table, as the last calendar read or write loaded it.
    const std::vector<tagNxTimeZone>& TimeZones() const { return m_TimeZones; }

    // ---- State, for tests ----
    bool IsLoggedOn() const { return m_bLoggedOn != 0; }
    bool IsMAPIInitialized() const { return m_bMAPIInitialized != 0; }
    IMAPISession* Session() const { return m_lpMAPISession.get(); }
    IMsgStore* MsgStore() const { return m_lpMsgStore.get(); }
    IMAPIFolder* ContactFolder() const { return m_lpContactFolder.get(); }
    IMAPIFolder* EventFolder() const { return m_lpEventFolder.get(); }
    const std::array<std::string, kDefaultFolderCount>& DefaultFolderIds() const {
        return m_DefaultFolderIds;
    }
    const tagNxTimeZone& LocalTimeZone() const { return m_LocalTimeZone; }

private:
    void FillDefaultFolderIds();
    void TakeLocalTimeZone();
    // The failure path of MAPILogOn and the body of MAPILogOff.
    void LogOffSteps();
    int32_t CountOfSelection(bool calendar);
    int32_t CountFromFolder(bool calendar, IMAPIFolder* base, ULONG cbEntryId, const BYTE* entryId);
    // The read flow (mapi/ItemRead.cpp): the kind, its documents, the selected folder and the sink.
    int ReadItems(const ItemReadKind& kind, ItemDocuments& documents, IMAPIFolder* selection,
                  const DocumentSink& sink, const char* anchor, MAPIObjectGuard* held);

    ComPtr<IMAPISession> m_lpMAPISession;
    ComPtr<IProfAdmin> m_lpProfAdmin;
    ComPtr<IMsgStore> m_lpMsgStore;
    BOOL m_bMAPIInitialized = 0;
    BOOL m_bLoggedOn = 0;
    ComPtr<IMAPIFolder> m_lpContactFolder;
    ComPtr<IMAPIFolder> m_lpEventFolder;
    std::vector<tagNxTimeZone> m_TimeZones;  // the machine's zone table, loaded by the calendar read
    tagNxTimeZone m_LocalTimeZone;
    std::array<std::string, kDefaultFolderCount> m_DefaultFolderIds;

    // What contact writes keep while the selected contact folder stays selected (mapi/ContactWrite.cpp):
    // the folder's ids for the scope check and the names' tags of the compare read and of the writes
    // (named ids of a store never change once mapped). Made anew for another folder, dropped at logoff.
    struct ContactWriteKept {
        KeptSelectionIds selection;
        std::vector<ULONG> readNamedTags;
        CContactWriteNames::Kept writeNames;
    };
    // The kept state for the folder selected now.
    ContactWriteKept& KeptForContactFolder();
    ContactWriteKept m_ContactWriteKept;

    CMAPIConfig m_Config;
    DocumentSink m_ContactSink;
    DocumentSink m_CalendarSink;
    // A read is in progress (it may be waiting on the host with the lock released): a second read
    // meanwhile is refused, as the read's state belongs to the first.
    bool m_bReading = false;
    // Every write procedure counts here (under the object's lock): a read that prepared a document
    // while the host handled the one before prepares it again when a write ran meanwhile.
    uint64_t m_WriteCount = 0;
    // Set by a change read for its count only: the count then asks for these rows' columns and keeps
    // each folder's rows for the read's snapshot (mapi/FolderWalk.h).
    KeptFolderRows* m_CountKeeps = nullptr;
};

// The process-wide instance.
CMAPIObject& GetMAPIObject();

}  // namespace NAMESPACE_MAPI
