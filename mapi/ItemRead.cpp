// The one read flow of both item kinds (procedures 14 and 15): a full read walks the folder (and,
// with the sub-folder switch, its sub-folders of the kind) and sends every item; a change read
// takes a snapshot of the same folders (identifier and local modification time of every item),
// asks the change journal what changed since the host's anchor, sends new and changed items in
// full and a notice per deleted one, and commits the journal once every change reached the host.
// What a kind brings is described in mapi/ItemRead.h.
#include "mapi/ItemRead.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/TraceScope.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

namespace {

// What a read answers for a document when no host is bound (RPC_S_INVALID_BINDING).
constexpr uint32_t kNoHost = 1702;

// The journal keeps its state per (category, source, anchor); the source is always "pim".
struct JournalRequest {
    JournalRequest(const char16_t* category, const char* anchor)
        : anchorText(nx::sys::Utf8ToUtf16(anchor)), request{category, u"pim", anchorText.c_str()} {}
    JournalRequest(const JournalRequest&) = delete;
    JournalRequest& operator=(const JournalRequest&) = delete;
    std::u16string anchorText;
    tagChangeRequest request;
};

// The snapshot's columns: what the journal compares (identifier and modification time).
LPSPropTagArray SnapshotColumns() {
    static SizedSPropTagArray<3> columns = {
        3, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
    return columns.get();
}

// `slot` points at `kept` for as long as this lives: the count of a change read keeps its rows.
class CountKeeping {
public:
    CountKeeping(KeptFolderRows*& slot, KeptFolderRows* kept) : m_slot(slot) {
        assert(m_slot == nullptr);  // one read at a time (m_bReading)
        m_slot = kept;
    }
    ~CountKeeping() { m_slot = nullptr; }
    CountKeeping(const CountKeeping&) = delete;
    CountKeeping& operator=(const CountKeeping&) = delete;

private:
    KeptFolderRows*& m_slot;
};

// The caller's lock released for as long as this lives, taken again when it ends (also when the
// host's call throws). Nothing when the caller holds none.
class Released {
public:
    explicit Released(MAPIObjectGuard* held) : m_held(held) {
        if (m_held == nullptr) return;
        assert(m_held->owns_lock());  // taken again after every delivery: a read always holds it here
        m_held->unlock();
    }
    ~Released() {
        if (m_held) m_held->lock();
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    MAPIObjectGuard* m_held;
};

// One read of one kind, from the folder's name and id to its answer. It holds its own reference to
// the folder, so a logoff from another connection while a document is with the host cannot
// release the folder under it, and its own copy of the sink, so a handler that installs one
// meanwhile does not change it under the read.
struct ItemRead {
    const ItemReadKind& kind;
    const ItemReadTexts& texts;
    ItemDocuments& documents;
    const ComPtr<IMAPIFolder> folder;
    const bool subFolders;
    const NAMESPACE_COMMON::TimeZoneSource& zone;  // the read's zone, for the snapshot's times
    const DocumentSink sink;
    MAPIObjectGuard* const held;
    int32_t itemCount;                // the count the read started with; then the change list's size
    KeptFolderRows* const countRows;  // the count's rows, for a change read's snapshot (else null)
    const uint64_t* const writes;     // the object's write count (CMAPIObject::m_WriteCount)
    // The change list's identifiers of the items a change read could not open: its commit leaves
    // their entries unconfirmed, so the next change read reports them again.
    std::vector<std::u16string> undelivered = {};

    // Two-step deliveries. With a two-step sink, an item document is handed to the host and the
    // read goes on to prepare the next one; the answer is collected (Settle) before anything the
    // one-step way would only do after it: before the next document is handed over, before a file
    // a document names is written (a picture the host may still be reading has the same name),
    // before a notice, and before the walk or the change list's pass goes on to trace anything
    // else. Meanwhile this thread's trace lines are held back: when the answer is a success they
    // are written, in order, where they would have been; when it is a failure they are dropped
    // and the failure is traced as the one-step way traces it, so that the read answers, traces
    // and delivers exactly as before. A write procedure that ran while the host had the document
    // (the host may call on another connection meanwhile) makes what was prepared older than the
    // store: it is dropped, lines and all, and prepared again.
    const char* outstanding = nullptr;  // the operation of the document on its way, if one is
    uint64_t writesAtSend = 0;
    std::optional<CTraceHold> heldLines = {};
    bool failed = false;  // a two-step delivery failed: the read ends
    bool stale = false;   // a write ran while the host had a document, since the preparation began

    ~ItemRead() {
        // Only a read that ended by an exception leaves a document on its way: its answer is
        // still read, so that the binding can take the next call.
        if (outstanding == nullptr) return;
        heldLines.reset();
        const Released released(held);
        sink.collect();
    }

    // The folder part of a read: full read (empty anchor) or change read. True when it went through.
    bool Run(const char* anchor) {
        const char* const part = texts.part;
        if (texts.partFramed) CLogFile::Trace("CMAPIObject::%s - Begin\r\n", part);
        if (!folder || !MapiFunctionsComplete()) {
            CLogFile::Trace("CMAPIObject::%s - NULL %s\r\n", part, kind.folders.folderMember);
            return false;
        }
        FolderHead head = ReadFolderHead(folder.get());
        CLogFile::Trace("CMAPIObject::%s - %s->GetProps(0X%08X)\r\n", part, kind.folders.folderMember,
                        Hr(head.hr));
        if (!head.Read()) {
            CLogFile::Trace("CMAPIObject::%s - Failed to GetProps or NULL lpPropValues\r\n", part);
            return false;
        }
        const std::string folderName = head.Name();
        const SBinary& folderId = head.Id();
        bool done = true;
        if (anchor != nullptr && *anchor != '\0') {
            CLogFile::Trace("CMAPIObject::%s - %s(%s)\r\n", part, texts.changeRead, anchor);
            done = ChangeRead(folderId.cb, folderId.lpb, folderName, anchor);
        } else {
            CLogFile::Trace("CMAPIObject::%s - %s\r\n", part, texts.fullRead);
            if (itemCount < 1) {
                if (texts.nothingToRead)
                    CLogFile::Trace("CMAPIObject::%s - %s\r\n", part, texts.nothingToRead);
            } else if (!FullRead(folderId.cb, folderId.lpb, folderName)) {
                CLogFile::Trace("CMAPIObject::%s - %s\r\n", part, texts.folderReadFailed);
                done = false;
            }
        }
        if (texts.partFramed) {
            CLogFile::Trace("CMAPIObject::before pfnfreeBuffer\r\n");
            head.values.reset();
            CLogFile::Trace("CMAPIObject::%s - Finish(%s)\r\n", part, done ? "Succeeded" : "Failed");
        }
        return done;
    }

    bool FullRead(ULONG cbEntryId, const BYTE* entryId, const std::string& path) {
        // The folder's list asks for the entry id alone and the item columns come a page at a time:
        // a row set of every item's columns was ~2.3 KB a contact, held for the whole read.
        SizedSPropTagArray<1> listColumns = {1, {PR_ENTRYID}};
        const FolderVisit visit{
            kind.folders,
            texts.fromFolder,
            texts.fromFolderOpening,
            listColumns.get(),
            [this](const SRow& row, const std::string& rowPath) { return ItemOfRow(row, rowPath); },
            true,
            documents.Columns(),
            nullptr,
            [this] { return Settle(); }};
        const bool walked = WalkFolder(folder.get(), subFolders, cbEntryId, entryId, path, visit) == 1;
        // The walk collects the last answer itself (rowsDone), unless it ended by an exception.
        return Settle() && walked;
    }

    bool ChangeRead(ULONG cbEntryId, const BYTE* entryId, const std::string& folderName, const char* anchor) {
        const char* const part = texts.part;
        CLogItemArray snapshot;
        if (!Snapshot(cbEntryId, entryId, snapshot)) {
            CLogFile::Trace("CMAPIObject::%s - %s\r\n", part, texts.logReadFailed);
            return false;
        }
        CLogFile::Trace("CMAPIObject::%s - Call GetChangeLog\r\n", part);
        const JournalRequest change(kind.journalCategory, anchor);
        bool done = true;
        if (GetChangeLog(snapshot.get(), &change.request) <= 0) {
            CLogFile::Trace("CMAPIObject::%s - No Change\r\n", part);
        } else {
            CLogFile::Trace("CMAPIObject::%s - Read Changes\r\n", part);
            if (!FromLog(snapshot, folderName)) {
                CLogFile::Trace("CMAPIObject::%s - %s\r\n", part, texts.logReadFailed);
                // The journal keeps these changes unconfirmed: the next change read reports them again,
                // with the later changes and deletions of the items this one delivered.
                CLogFile::Trace(
                    "CMAPIObject::%s - CommitChangeLog skipped: not every change reached the host\r\n", part);
                done = false;
            } else if (const int32_t committed = Commit(change.request); committed < 0) {
                // Everything was delivered but the journal could not record it: the next change read
                // repeats these changes, so this one is reported as failed.
                CLogFile::Trace("CMAPIObject::%s - CommitChangeLog(%d)\r\n", part, committed);
                done = false;
            }
        }
        if (texts.partFramed) CLogFile::Trace("CMAPIObject::before logArrayRemoveall\r\n");
        return done;
    }

    // The journal's commit of a change read that reached the host with every document it sent.
    int32_t Commit(const tagChangeRequest& request) const {
        std::vector<const NxJournalChar*> ids;
        ids.reserve(undelivered.size());
        for (const std::u16string& id : undelivered) ids.push_back(id.c_str());
        return CommitChangeLogExcept(&request, ids.data(), static_cast<int32_t>(ids.size()));
    }

    bool Snapshot(ULONG cbEntryId, const BYTE* entryId, CLogItemArray& snapshot) {
        CLogEntry entry;
        const FolderVisit visit{kind.folders,
                                texts.snapshot,
                                "Begin",
                                SnapshotColumns(),
                                [&](const SRow& row, const std::string&) {
                                    // A row of another shape is no entry of the snapshot.
                                    if (row.cValues != 3) return 1;
                                    FillLogItem(entry, row.lpProps, row.cValues, zone);
                                    snapshot.Add(nx::sys::Utf8ToUtf16(entry.id), entry.modified.GetValue(),
                                                 static_cast<int32_t>(entry.modified.GetStatus()));
                                    return 1;
                                },
                                false,
                                nullptr,
                                countRows};
        return WalkFolder(folder.get(), subFolders, cbEntryId, entryId, std::string(), visit) == 1;
    }

    bool FromLog(const CLogItemArray& changes, const std::string& path) {
        CTraceScope scope(texts.fromLog, CTraceScope::Finish::kOutcome);
        itemCount = static_cast<int32_t>(changes.GetSize());
        try {
            for (int64_t i = 0; i < changes.GetSize(); ++i) {
                const int32_t flags = changes[i].lFlags;
                const bool addedOrChanged = (flags & (NX_LOG_NEW | NX_LOG_CHANGED)) != 0;
                if (!addedOrChanged && (flags & NX_LOG_DELETED) == 0) continue;
                const std::string pimid = nx::sys::Utf16ToUtf8(changes.IdAt(i));
                const int step =
                    addedOrChanged ? ChangedItem(flags, pimid, path) : DeletedItem(changes, i, flags, pimid);
                if (step < 0) {
                    scope.NoFinish();
                    return false;
                }
                // A host that did not take a document would not take the rest either.
                if (step == 0) return false;
            }
            if (!Settle()) return false;
        } catch (const std::exception&) {
            return false;
        }
        return scope.Result(true);
    }

    // One document per row, per changed and per deleted entry: 1 go on, 0 the read failed, -1 the
    // read ends at once without its Finish line.
    int ItemOfRow(const SRow& row, const std::string& path) {
        std::optional<CXMLParser> document;
        const int step = Prepared(document, [&](CXMLParser& d) { return RowDocument(row, path, d); });
        if (step != 1) return step;
        // A host that did not take a document would not take the rest either, and a read it missed
        // part of is a failed read.
        return DeliverItem(texts.fromFolder, *document) ? 1 : 0;
    }

    // Makes a document with `make` (its step: 1 ready, or what the caller is to answer, never 0)
    // while the host has the one before, then collects that one's answer: 0 when it was a failure,
    // and the document made anew when a write ran while the host had it (the last one made is in
    // `document`).
    template <class Make>
    int Prepared(std::optional<CXMLParser>& document, Make&& make) {
        for (;;) {
            stale = false;
            const int step = make(document.emplace());
            if (!Settle()) return 0;
            if (!stale) return step;
        }
    }

    // The row's document: 1 ready, -1 it cannot be made.
    int RowDocument(const SRow& row, const std::string& path, CXMLParser& document) {
        if (!StartDocument(document)) return -1;
        AddElement(document, "CsFolder", path);
        // The message first: a value too large for the row is read whole from it. A message that
        // cannot be opened still goes out, with its row's elements only.
        const ComPtr<IMessage> message =
            NAMESPACE_COMMON::OpenMessageByHexId(folder.get(), RowIdentifier(row.lpProps, row.cValues));
        const NAMESPACE_COMMON::CWholeValues values(message.get(), documents.Columns(), row.lpProps,
                                                    row.cValues);
        std::string pimid;
        documents.AddRowElements(document, pimid, values.data(), values.size());
        AddElement(document, "PIMID", pimid);
        if (message) documents.AddMessageElements(document, message.get());
        return 1;
    }

    int ChangedItem(int32_t flags, const std::string& pimid, const std::string& path) {
        std::optional<CXMLParser> document;
        const int step =
            Prepared(document, [&](CXMLParser& d) { return ChangedDocument(flags, pimid, path, d); });
        if (step == kNotOpened) {
            // Gone since the snapshot, or not readable now: not sent, and so not confirmed either.
            // The next change read reports it again (a deletion notice, if it is gone: harmless).
            undelivered.push_back(nx::sys::Utf8ToUtf16(pimid));
            return 1;
        }
        if (step != 1) return step;
        return DeliverItem(texts.fromLog, *document) ? 1 : 0;
    }

    static constexpr int kNotOpened = 2;

    // The changed item's document: 1 ready, kNotOpened the message cannot be opened, -1 the read
    // ends at once.
    int ChangedDocument(int32_t flags, const std::string& pimid, const std::string& path,
                        CXMLParser& document) {
        CLogFile::Trace("CMAPIObject::%s - %s(%s)\r\n", texts.fromLog,
                        (flags & NX_LOG_NEW) ? "New" : "Update", pimid.c_str());
        ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(folder.get(), pimid);
        if (!message) return kNotOpened;
        ULONG count = 0;
        MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
        if (FAILED(message->GetProps(documents.Columns(), MAPI_UNICODE, &count, values.put())) || !values) {
            CLogFile::Trace("CMAPIObject::%s - NULL lpPropValues\r\n", texts.fromLog);
            return -1;
        }
        if (!StartDocument(document)) return -1;
        AddElement(document, "CsFolder", path);
        AddElement(document, "lFlag", std::to_string(flags));
        std::string rowId;  // the journal's identifier names the item
        const NAMESPACE_COMMON::CWholeValues whole(message.get(), documents.Columns(), values.get(), count);
        documents.AddRowElements(document, rowId, whole.data(), whole.size());
        AddElement(document, "PIMID", pimid);
        documents.AddMessageElements(document, message.get());
        return 1;
    }

    int DeletedItem(const CLogItemArray& changes, int64_t index, int32_t flags, const std::string& pimid) {
        // A notice goes out once the document before it was answered, and is answered before the
        // line that follows it.
        if (!Settle()) return 0;
        CLogFile::Trace("CMAPIObject::%s - Delete(%s)\r\n", texts.fromLog, pimid.c_str());
        const tagLogItem& item = changes[index];
        const CDateTime modified(item.dtModified, static_cast<CDateTime::DateTimeStatus>(item.lTimeStatus));
        CXMLParser notice;
        if (!documents.BuildDeletionNotice(notice, {flags, pimid, modified, index, itemCount})) {
            CLogFile::Trace("Xml to calnedaex - failed\r\n");
            return -1;
        }
        const bool delivered = Deliver(texts.fromLog, notice.GetXML()) && Settle();
        if (texts.afterNotice) CLogFile::Trace("%s\r\n", texts.afterNotice);
        return delivered ? 1 : 0;
    }

    // The declaration and the root; false (traced) when the document cannot be made.
    bool StartDocument(CXMLParser& document) {
        if (document.Init() && document.CreateHeader() && document.CreateRoot(kind.documentRoot)) return true;
        CLogFile::Trace("Xml to calnedaex - failed\r\n");
        return false;
    }

    static void AddElement(CXMLParser& document, const char* name, const std::string& text) {
        document.CreateChildNode(name, text.c_str(), CXMLNode(), 1, 1);
    }

    // An item document to the host, when the kind sends it; a notice as it is.
    bool DeliverItem(const char* operation, CXMLParser& document) {
        if (!documents.Sendable(document)) return true;
        return Deliver(operation, document.GetXML());
    }

    // Hands a document to the host: with a one-step sink, true once the host took it; with a
    // two-step sink, true once it is on its way (Settle collects the answer).
    bool Deliver(const char* operation, std::string_view xml) {
        assert(outstanding == nullptr);  // the answer to the last document came first
        uint32_t status = kNoHost;
        if (sink) {
            // The host may call the agent on another connection while it handles the document, and
            // must not wait on this read for that.
            const Released released(held);
            status = sink.deliver(xml);
        }
        if (status == 0 && sink.collect) {
            outstanding = operation;
            writesAtSend = *writes;
            heldLines.emplace();  // what this thread traces until the answer
            return true;
        }
        if (status == 0) return true;
        DeliveryFailed(operation, status);
        return false;
    }

    // The answer to the document on its way, if one is: false once a delivery failed (the failure
    // traced where the one-step way traces it). The lines held since the document went out are
    // written after a successful answer; after a failed one, or one a write made stale, they are
    // dropped, and `midway` (a preparation that waits in the middle, before a file) holds and
    // drops what it traces until it is over, too.
    bool Settle(bool midway = false) {
        if (outstanding == nullptr) {
            heldLines.reset();  // what a preparation traced after a failed or stale answer
            return !failed;
        }
        const char* const operation = outstanding;
        outstanding = nullptr;
        // The wait's own lines (the runtime's, on a timeout) go out as the one-step way's would.
        std::vector<std::string> lines = heldLines->Take();
        heldLines.reset();
        uint32_t status = 0;
        {
            const Released released(held);
            status = sink.collect();
        }
        if (status != 0) {
            DeliveryFailed(operation, status);
            failed = true;
        } else if (*writes != writesAtSend) {
            stale = true;  // prepared before a write: the caller prepares it again
        } else {
            for (const std::string& line : lines) CLogFile::WriteLine(line);
            return true;
        }
        if (midway) heldLines.emplace();
        return !failed;
    }

    void DeliveryFailed(const char* operation, uint32_t status) const {
        CLogFile::Trace("CMAPIObject::%s - %s(0X%08X)\r\n", operation, texts.deliverCall, status);
    }
};

}  // namespace

int CMAPIObject::ReadItems(const ItemReadKind& kind, ItemDocuments& documents, IMAPIFolder* selection,
                           const DocumentSink& sink, const char* anchor, MAPIObjectGuard* held) {
    assert(held == nullptr || held->owns_lock());  // a caller that hands its lock over holds it
    const ItemReadTexts& texts = kind.texts;
    CTraceScope scope(texts.read);
    if (texts.folderFirst && (selection == nullptr || !MapiFunctionsComplete())) {
        CLogFile::Trace("CMAPIObject::%s - NULL %s\r\n", texts.read, kind.folders.folderMember);
        return 1;
    }
    if (m_bReading) {
        // A second host connection asking for a read while one waits on the host: the per-read
        // state belongs to the first.
        scope.Line("Read in progress");
        return 1;
    }
    bool done = false;
    m_bReading = true;
    try {
        const NAMESPACE_COMMON::TimeZoneSource zone = LocalZone();
        documents.Start(zone);
        // A change read's count lists the snapshot's columns, and its snapshot takes those rows:
        // the folder is listed once, not twice. A full read's count lists entry ids alone.
        KeptFolderRows countRows(SnapshotColumns(), kind.folders.itemClass);
        KeptFolderRows* const kept = anchor != nullptr && *anchor != '\0' ? &countRows : nullptr;
        int32_t count = 0;
        {
            const CountKeeping keeping(m_CountKeeps, kept);
            count = (this->*kind.count)();
        }
        CLogFile::Trace("CMAPIObject::%s - %s Count(%d)\r\n", texts.countOwner, texts.countNoun, count);
        ItemRead read{
            kind,  texts, documents,    ComPtr<IMAPIFolder>(selection), m_Config.subFolder, zone, sink, held,
            count, kept,  &m_WriteCount};
        // A file a document names waits for the answer to the document before it.
        documents.WaitBeforeFileWrites([&read] { return read.Settle(true); });
        done = read.Run(anchor);
    } catch (const std::exception&) {
        done = false;
    }
    documents.WaitBeforeFileWrites(nullptr);  // the read it waited on is over
    m_bReading = false;
    assert(held == nullptr || held->owns_lock());  // every delivery took it back
    if (texts.outcomeLines) scope.Line(done ? "Read Succeeded" : "Read Failed");
    return done ? 0 : 1;
}

}  // namespace NAMESPACE_MAPI
