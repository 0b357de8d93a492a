// The journal's storage: one SQLite database per user (WAL) holding, per key (category, source,
// anchor), the committed state (identifier -> time value and status) and the staged difference
// the last change read computed against it. Every change of the file is one transaction.
//
// Tables (the identifier in its stored form, StoredId: the bytes an upper-case hex text spells,
// one byte a unit for other ASCII texts, else UTF-16LE, each form after its own marker or none;
// the key texts as UTF-8, unpaired surrogates written as their three-byte form, so every text
// survives exactly):
//   anchor (key, category, source, anchor, generation, item_count, committed_at,
//           staged_base, staged_count, staged_at, state_digest)
//                                                   state_digest: the committed state's
//                                                   StateDigest, NULL until a read learns it
//                                                   (a commit clears it)
//   item   (key, id, modified, status)              the committed state
//   staged (key, id, modified, status, change)      the staged difference: NX_LOG_NEW,
//                                                   NX_LOG_CHANGED or NX_LOG_DELETED; until it is
//                                                   committed, its entries are unconfirmed: part
//                                                   of the next difference's base
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "journal/ChangeList.h"
#include "platform/sqlite/Sqlite.h"

namespace nx::journal {

// Any failure of the journal: the text says what and why (it goes to the debug output).
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The three texts a state is kept under, as UTF-8.
struct JournalKey {
    std::string category;
    std::string source;
    std::string anchor;
};

struct AnchorInfo {
    JournalKey key;
    int64_t itemCount = 0;                 // items of the committed state
    std::optional<int64_t> committedAt;    // ms since 1970 UTC of the last commit; none: never
    std::optional<int64_t> stagedChanges;  // entries of the staged difference; none: nothing staged
    std::optional<int64_t> stagedAt;
};

struct StoredItem {
    std::u16string id;
    ItemTime time;
    int32_t change = 0;  // staged entries only: NX_LOG_*
};

// The database file of the current user: $XDG_DATA_HOME/nxjournal/journal.db (the folder is
// created, private). "" when the user has no data folder.
std::string DefaultJournalPath();

class JournalStore {
public:
    // Opens the journal at `path`. When `create`, a missing file (and its folder) is created
    // private (0600 in a 0700 folder). A file that is not a journal (another program's database,
    // a damaged file, a newer layout) is refused with JournalError and never written to.
    JournalStore(const std::string& path, bool create);
    ~JournalStore();
    JournalStore(const JournalStore&) = delete;
    JournalStore& operator=(const JournalStore&) = delete;

    // Compares the snapshot with the base of `key` (its committed state, with the entries of a
    // staged difference in place of their items: unconfirmed, they are reported again), filling
    // `changes` (built on the same snapshot), and stages the difference (one transaction), which
    // replaces the earlier one (it holds every one of its identifiers); a snapshot equal to the
    // committed state with nothing staged stages nothing; when the state's digest is known and
    // is the snapshot's, no item of the state is read. When changes were staged, `writer` has
    // been prepared for the snapshot's array, so the caller can turn the array into the change
    // list without a failure in between.
    void Stage(const JournalKey& key, const tagLogItemArray& snapshot, ChangeDetector& changes,
               ChangeListWriter& writer);
    // Whether a read of `key` may pass by its digest now (nothing staged, the state's digest
    // known): the caller then has the detector make the snapshot's digest in its first pass.
    // Stage decides again, inside its transaction.
    bool MayPassByDigest(const JournalKey& key);

    // Makes the staged difference of `key` the committed state (one transaction), except for
    // the entries of the identifiers in `undelivered`: they stay staged, unconfirmed, against the
    // new committed state. False when nothing was staged (or it was computed against a committed
    // state that has moved since; it then stays staged).
    bool Commit(const JournalKey& key, const std::vector<std::u16string_view>& undelivered = {});

    // Tool operations.
    std::vector<AnchorInfo> Anchors();
    std::vector<StoredItem> CommittedItems(const JournalKey& key);
    std::vector<StoredItem> StagedItems(const JournalKey& key);
    bool Forget(const JournalKey& key);
    // "ok" or SQLite's list of problems.
    std::string IntegrityCheck();

private:
    void Checkpoint() noexcept;

    nx::sqlite::Connection m_db;
};

}  // namespace nx::journal
