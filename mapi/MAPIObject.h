// CMAPIObject: the agent's one stateful object. A single process-wide instance (GetMAPIObject)
// holds the MAPI session, the default message store, the contacts and calendar folders that
// reads and writes work on, the counters of the read in progress and the machine's time zone.
// Every RPC procedure acts on it; the host issues one call at a time, which is what keeps the
// state consistent (the object takes no lock).
//
// Lifecycle: logged off -> MAPILogOn (MAPIInitialize once, logon, default store, default
// folders, the machine's zone) -> logged on -> MAPILogOff (release everything, MAPIUninitialize)
// -> logged off. A second MAPILogOn while logged on drops the old session first and does not
// initialise MAPI again. A failed MAPILogOn always ends logged off with MAPI uninitialised.
// GetAppProfile works before logon and then leaves MAPI as it found it.
//
// Results: MAPILogOn returns 1 logged on / 0 not; GetAppProfile, GetAppFolder, SetContactFolder
// and SetCalendarFolder return 0 done / 1 failed; counts return the count (0 on any error).
// Every operation writes its Begin and Finish trace lines and the status of each MAPI call
// ("0X%08X"); nothing throws out of an operation.
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
//  - Progress messages: nothing ever sets the progress window, so SendProgress reaches no
//    window.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/TimeZone.h"
#include "common/XMLParser.h"
#include "contacts/ContactRecord.h"
#include "contacts/ContactWrite.h"
#include "contacts/ContactXml.h"
#include "journal/LogItemArray.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::tagNxTimeZone;

// One snapshot entry as a table row gives it: the identifier (the long-term id's text when the
// row has one, else PR_ENTRYID's) and the local modification time (null when the row has none).
struct CLogEntry {
    std::string id;
    NAMESPACE_COMMON::CDateTime modified = NAMESPACE_COMMON::CDateTime::Null();
};
void FillLogItem(CLogEntry& item, const SPropValue* values, ULONG count,
                 const NAMESPACE_COMMON::TimeZoneSource& zone);

// The items a read walks: the message class of its items, the container class of its
// sub-folders, and the member that names the selected folder in the trace lines.
struct FolderKind {
    const char16_t* itemClass;
    const char16_t* containerClass;
    const char* folderMember;
};
inline constexpr FolderKind kContactFolders{u"IPM.Contact", u"IPF.Contact", "m_lpContactFolder"};
inline constexpr FolderKind kCalendarFolders{u"IPM.Appointment", u"IPF.Appointment", "m_lpEventFolder"};

// What a walk over a folder does: the kind of items, the operation's name for its trace lines and
// the text of its first line ("Begin"; the calendar's full read opens with "Finish"), the columns
// of the item rows, what to do with each row (1 go on, 0 stop: the walk failed, -1 stop at once
// without the Finish line) and with each sub-folder of the kind (its entry id and folder path;
// 1 / 0). `path` is the folder text of the folder being walked.
struct FolderVisit {
    const FolderKind& kind;
    const char* operation;
    const char* openingLine;
    LPSPropTagArray columns;
    std::function<int(const SRow& row, const std::string& path)> row;
    std::function<int(ULONG cb, const BYTE* id, const std::string& path)> subFolder;
    bool finishWhenInvalid;  // the Finish line also after a bad parameter or a failed open
};

// The journal keeps its state per (category, source, anchor); the source is always "pim".
struct CJournalRequest {
    CJournalRequest(std::u16string categoryText, const char* anchor);
    CJournalRequest(const CJournalRequest&) = delete;
    CJournalRequest& operator=(const CJournalRequest&) = delete;
    std::u16string category;
    std::u16string source = u"pim";
    std::u16string anchorText;
    tagChangeRequest request{};
};

// The process-wide configuration CMAPIObject works with. Start-up reads it (PIMProfile.ini,
// the application-data folder) in the agent layer and hands it down with SetConfig.
struct CMAPIConfig {
    bool subFolder = false;            // counts (and reads) include sub-folders of the same kind
    std::string foldersDocumentPath;   // "<folder>/Outlook.xml", "" = save no folders document
    std::string profilesDocumentPath;  // "<folder>/Profile.xml", "" = save no profiles document
    std::string workFolder;            // where contact pictures are written, "" = none are written
};

// How a read hands one document to the host: the agent installs its callback client. The result
// is the call's status, 0 when the host took the document.
using DocumentSink = std::function<uint32_t(std::string_view xml)>;

// The window message of the progress notifications (WM_USER + 1500).
inline constexpr uint32_t WM_AGENT_PROGRESS = 2524;
inline constexpr std::size_t kDefaultFolderCount = 7;

class CMAPIObject {
public:
    CMAPIObject();
    virtual ~CMAPIObject();
    CMAPIObject(const CMAPIObject&) = delete;
    CMAPIObject& operator=(const CMAPIObject&) = delete;

    void SetConfig(const CMAPIConfig& config) { m_Config = config; }
    const CMAPIConfig& GetConfig() const { return m_Config; }

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

    // ---- Contact reads (procedure 14) ----
    // Every contact of the selected folder (empty anchor) or the changes since the anchor's last
    // committed read, one document per contact through the contact sink. 0 done, 1 failed.
    int ReadContacts(const char* first, const char* anchor);
    // The documents of a folder (and, with the sub-folder switch, its contact sub-folders): 1 / 0.
    int ReadContactFromFolder(ULONG cbEntryId, const BYTE* entryId, const std::string& folderPath);
    // The snapshot of a folder (and, with the sub-folder switch, its contact sub-folders): 1 / 0.
    int ReadContactLogFromFolder(ULONG cbEntryId, const BYTE* entryId, CLogItemArray& snapshot);
    // The documents of a change list: new and changed contacts in full, deletions as notices.
    int ReadContactFromLog(CLogItemArray& changes, const std::string& folderPath);
    void SetContactSink(DocumentSink sink) { m_ContactSink = std::move(sink); }

    // ---- Contact writes (procedure 12, mapi/ContactWrite.cpp) ----
    // Acts on the record by its change flags, first bit present: 0x08 adds, 0x04 updates, 0x20
    // deletes, none writes nothing; the bit of an operation that succeeded is cleared. The record
    // carries back the identifier (the new contact's after an add) and the stored modification
    // time. 0 handled (whatever the operation gave), 1 when an operation failed on an exception.
    int WriteContacts(CContactEx* record);
    // Each 1 done, 0 failed. Add: a new message in the contact folder (the record's PIMID then
    // names it, also when its save failed). Update: the message the PIMID names. Delete: the
    // message the PIMID names, through its parent folder.
    int AddContact(CContactEx* record);
    int UpdateContact(CContactEx* record);
    int DeleteContact(CContactEx* record);
    // Writes the whole record onto an open message and saves it: every property the write covers
    // is set from the record or removed. 1 when the save succeeded; the record's time is then the
    // stored modification time.
    int UpdateContactMessage(IMessage* message, CContactEx* record);
    // The composed display name group of the name fields (contacts/ContactWrite.h).
    void UpdateContactDisplayName(IMessage* message, const tagContactFields& fields);

    // ---- Calendar reads (procedure 15) ----
    // Every appointment of the selected calendar folder (empty anchor) or the changes since the
    // anchor's last committed read, one document per appointment through the calendar sink. 0 done,
    // 1 failed. Progress messages at the end tell how it went.
    int ReadCalendars(const char* first, const char* anchor);
    // Full read or change read by the anchor: 1 done, 0 failed.
    int ReadCalendarEvent(const char* anchor);
    // The documents of a folder (and, with the sub-folder switch, its calendar sub-folders): 1 / 0.
    int ReadCalendarEventFromFolder(ULONG cbEntryId, const BYTE* entryId, const std::string& folderPath);
    // The snapshot of a folder (and, with the sub-folder switch, its calendar sub-folders): 1 / 0.
    int ReadCalendarEventLogFromFolder(ULONG cbEntryId, const BYTE* entryId, CLogItemArray& snapshot);
    // The documents of a change list: new and changed appointments in full, deletions as notices.
    // 1 when every change reached the host, 0 otherwise.
    int ReadCalendarEventFromLog(CLogItemArray& changes, const std::string& folderPath);
    void SetCalendarSink(DocumentSink sink) { m_CalendarSink = std::move(sink); }

    // ---- Calendar writes (procedure 13) ----
    // Adds, updates or deletes the appointment the record describes (its lFlag: new 0x08 first,
    // then changed 0x04, then deleted 0x20) in the selected calendar folder and clears the bit
    // it acted on when that succeeded. Adds and updates only records of lCalType 3. 0 handled
    // (whatever the outcome), 1 when something escaped.
    int WriteCalendars(CCalendarEx* record);
    // A new item; the record's PIMID becomes its identifier (empty when it cannot be read back).
    BOOL AddCalendarEvent(CCalendarEx* record);
    // The item the record's PIMID names; an empty PIMID names no item.
    BOOL UpdateCalendarEvent(CCalendarEx* record);
    // The item the record's PIMID names, from the folder that holds it.
    BOOL DeleteCalendar(CCalendarEx* record);
    // Writes every appointment property and saves; the record gets the item's local modification
    // time (0.0 when it cannot be read) and, for an all-day item, its normalised start and end.
    BOOL UpdateCalendarEventMessage(IMessage* message, CCalendarEx* record);
    // The machine's zone table, as the last calendar read or write loaded it.
    const std::vector<tagNxTimeZone>& TimeZones() const { return m_TimeZones; }

    // ---- Progress (no window is ever set: harmless) ----
    void SendProgress(uint64_t wParam, int64_t lParam);

    // ---- State, for the read code and for tests ----
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
    // Documents the last (or current) read handed to the host.
    int32_t ItemsDelivered() const { return m_nItemsDelivered; }

private:
    void FillDefaultFolderIds();
    void TakeLocalTimeZone();
    // The failure path of MAPILogOn and the body of MAPILogOff.
    void LogOffSteps();
    int32_t CountOfSelection(bool calendar);
    int32_t CountFromFolder(bool calendar, IMAPIFolder* base, ULONG cbEntryId, const BYTE* entryId);
    // One document to the host; false (and traced) when the host did not take it.
    bool DeliverContactDocument(const char* operation, const std::string& xml);
    // One folder of a read and, with the sub-folder switch, its sub-folders of the same kind
    // (FolderWalk.cpp).
    int WalkFolder(ULONG cbEntryId, const BYTE* entryId, const std::string& path, const FolderVisit& visit);
    // The snapshot of a folder (and, with the sub-folder switch, its sub-folders of the kind): 1 / 0.
    int ReadLogFromFolder(const FolderKind& kind, const char* operation, ULONG cbEntryId, const BYTE* entryId,
                          const NAMESPACE_COMMON::TimeZoneSource& zone, CLogItemArray& snapshot);
    // Adds lCalType and sends a calendar document; a document that already has one (a
    // non-Gregorian series) is not sent. False (and traced) when the host did not take it.
    bool DeliverCalendarDocument(const char* operation, NAMESPACE_COMMON::CXMLParser& document);
    // One appointment's document (CalendarRead.cpp): CsFolder, [lFlag], the row elements, PIMID
    // (the row's, unless `pimid` already holds one) and, with a message, the message's elements.
    bool BuildAppointmentDocument(NAMESPACE_COMMON::CXMLParser& document, const std::string& folderPath,
                                  const char* flags, const SPropValue* values, ULONG count,
                                  std::string& pimid, IMessage* message);
    // The change read of ReadCalendarEvent: 1 done, 0 failed.
    int ReadCalendarEventChanges(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName,
                                 const char* anchor);
    // The change read of ReadContacts: snapshot, journal, change list, commit. 0 done, 1 failed.
    int ReadContactChanges(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName,
                           const char* anchor);

    void* m_hProgressWnd = nullptr;
    ComPtr<IMAPISession> m_lpMAPISession;
    ComPtr<IProfAdmin> m_lpProfAdmin;
    ComPtr<IMsgStore> m_lpMsgStore;
    BOOL m_bMAPIInitialized = 0;
    BOOL m_bLoggedOn = 0;
    ComPtr<IMAPIFolder> m_lpContactFolder;
    ComPtr<IMAPIFolder> m_lpEventFolder;
    // The read's progress: documents delivered, items counted at its start, and whether it is to
    // stop (nothing sets it: the host has no way to interrupt a read).
    int32_t m_nItemsDelivered = 0;
    int32_t m_nItemCount = 0;
    BOOL m_bInterrupted = 0;
    std::vector<tagNxTimeZone> m_TimeZones;  // the machine's zone table, loaded by the calendar read
    tagNxTimeZone m_LocalTimeZone;
    std::array<std::string, kDefaultFolderCount> m_DefaultFolderIds;

    CMAPIConfig m_Config;
    // The read in progress. The folder is held for the whole read, so a logoff from another
    // connection while the read waits on the host cannot release it under the read.
    DocumentSink m_ContactSink;
    ComPtr<IMAPIFolder> m_lpReadFolder;
    CContactReadState m_ContactRead;
    DocumentSink m_CalendarSink;
    CAppointmentReadState m_CalendarRead;
    bool m_bReading = false;
};

// The process-wide instance.
CMAPIObject& GetMAPIObject();

// The lock the procedure handlers hold around their use of the process-wide instance. The host
// makes one call at a time, so with a well-behaved host it is never contended; it keeps a host
// that calls on two connections at once from releasing the session under a running procedure.
// Recursive, so a handler may call another operation that takes it. A read must not hold it
// while it waits for a host that could call a session procedure from its callback.
std::recursive_mutex& MAPIObjectLock();

}  // namespace NAMESPACE_MAPI
