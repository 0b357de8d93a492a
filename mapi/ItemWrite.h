// The one write dispatch of both item kinds (procedures 12 and 13), mapi/ItemWrite.cpp: the
// record's change flags pick one operation, the first bit present in the order new (0x08),
// changed (0x04), deleted (0x20); none writes nothing. The bit of an operation that went through is
// cleared. A kind brings its operations and the trace texts where the kinds differ.
//
// Scope: an update or a deletion acts only on an item the kind's own read of the selected folder
// would deliver: a message the selection's store holds, of the kind's message class exactly, whose
// folder is the selected one or (with the sub-folder switch) a folder below it reached through
// folders of the kind's container class only, no deeper than a read walks. Anything else (another
// folder, another kind, a mail, another store, a message that is gone) is refused before the
// kind's operation runs: nothing is opened for writing, a trace line names the refusal, and the
// write answers as a failed add does.
//
// Answers: an update or a deletion that did not go through (refused, or failed) answers the empty
// identifier and the empty time text: the host reads "no item" for it, as for a failed add, and no
// time of a write that did not happen.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/TimeZone.h"
#include "mapi/FolderWalk.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

struct ItemWriteKind {
    const char* write;          // the procedure's operation: Begin, "NULL Parameter", refusals, Finish
    bool finishWithoutRecord;   // the Finish line also after "NULL Parameter"
    const char* addScope;       // null, or the operation an add runs in (its Begin and Finish(%s))
    const char* updateScope;    // the same for an update
    const FolderKind& folders;  // what the kind's read delivers
};

// The record's parts the dispatch reads and answers through; all null for a missing record.
struct ItemWriteRecord {
    int32_t* flags = nullptr;
    std::string* pimid = nullptr;
    NAMESPACE_COMMON::CDateTime* modified = nullptr;
};

// The selected folder's ids, read with the first write that needs them and kept while that folder
// stays selected (a folder's ids never change). The folder is held, so its address cannot come to
// name another folder while the ids are kept; the owner drops them at logoff.
struct KeptSelectionIds {
    ComPtr<IMAPIFolder> folder;
    std::vector<uint8_t> entryId;
    std::vector<uint8_t> recordKey;
    std::vector<uint8_t> storeKey;
    bool hasStoreKey = false;  // the folder told its store's record key
};

// Where the kind's read looks: the selected folder and the sub-folder switch; the session only
// tells an item of another store from one that is gone (it may be null). `kept` (may be null)
// keeps the folder's ids between writes.
struct ItemWriteSelection {
    IMAPIFolder* folder;
    bool subFolders;
    IMAPISession* session = nullptr;
    KeptSelectionIds* kept = nullptr;
};

// The item an update or a deletion acts on, found within the selection.
struct ItemTarget {
    std::vector<uint8_t> entryId;  // the PIMID's bytes
    ComPtr<IMessage> message;      // opened MAPI_MODIFY | MAPI_BEST_ACCESS
    ComPtr<IMAPIFolder> parent;    // the folder that holds it
};

// The operations on one record, each true when it went through. `prepare` runs first, also for a
// missing record.
struct ItemWriteOperations {
    std::function<void()> prepare;
    std::function<bool()> add;
    std::function<bool(const ItemTarget&)> update;
    std::function<bool(const ItemTarget&)> remove;
};

// 0 handled (whatever the operation gave), 1 for a missing record or when something escaped an
// operation.
int DispatchItemWrite(const ItemWriteKind& kind, const ItemWriteRecord& record,
                      const ItemWriteSelection& selection, const ItemWriteOperations& operations);

// Why an update or a deletion does not act on the item its PIMID names.
enum class ScopeRefusal {
    None,          // the item is one the kind's read delivers
    NoIdentifier,  // the PIMID decodes to no byte
    NoSuchItem,    // no message of that id opens through the selection (gone, or not a message)
    OtherStore,    // a message of another store
    OtherKind,     // a message of another class (a mail, an item of the other kind)
    OtherFolder,   // a message outside the folders the read walks
};
// The text a refusal's trace line names it by.
const char* ScopeRefusalText(ScopeRefusal refusal);

// Finds the item `pimid` names when the kind's read of the selection delivers it; `target` then
// holds it. No property is written and nothing is saved on the way.
ScopeRefusal FindItemInScope(const FolderKind& kind, const ItemWriteSelection& selection,
                             const std::string& pimid, ItemTarget& target);

// Deletes the target from the folder that holds it: the status of DeleteMessages.
HRESULT DeleteTarget(const ItemTarget& target);

// What a write answers as the item's time: the stored modification time in local time (converted
// with `zone`), the zero date when the message cannot tell it.
NAMESPACE_COMMON::CDateTime StoredModificationTime(
    IMessage* message,
    const NAMESPACE_COMMON::TimeZoneSource& zone = NAMESPACE_COMMON::SystemTimeZoneSource());

}  // namespace NAMESPACE_MAPI
