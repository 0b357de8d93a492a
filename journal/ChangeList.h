// The change rules of the journal, free of storage: which entries of a snapshot are new or changed
// against a known state, which known items are gone, and the rewrite of the snapshot array into
// the change list the agent walks.
//
// Identifiers are hashed and compared in the form the journal stores them (StoredId below), so a
// stored identifier is matched as SQLite hands it over.
//
// Rules: an identifier the state does not know is new; a known one whose time value or status
// differs is changed; a known one the snapshot lacks is deleted. An unconfirmed entry (a change an
// unfinished read may have delivered: the host may or may not have it) is reported again whatever
// the time: present, a new or a deleted one is new again and a changed one changed again; absent,
// every one is deleted. Identifiers compare as exact UTF-16 unit sequences. When one identifier
// appears several times in a snapshot, its first entry stands for the item and the later ones are
// dropped (they neither report nor store anything).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "journal/Deltatrack.h"

namespace nx::journal {

// Longest identifier accepted, in UTF-16 units (entry-id texts are a few hundred at most); a
// longer or unterminated text makes the snapshot bad input.
inline constexpr std::size_t kMaxIdLength = 32768;

// The length of `text` when it is NUL-terminated within `limit` units, else `limit` + 1. Reads
// no further than that.
std::size_t BoundedLength(const NxJournalChar* text, std::size_t limit) noexcept;

// How the journal stores an identifier, in one of three forms:
//   hex:   an even number (not 0) of upper-case hex digits, as an entry-id text is: kHexId and the
//          bytes the digit pairs spell (a quarter of the text's UTF-16 bytes);
//   ASCII: any other text whose units are all below 0x80: one byte a unit;
//   wide:  any other text: kWideId and the UTF-16 units, little-endian.
// No text of the ASCII form starts with either marker (nor holds a zero byte), so each identifier
// has exactly one stored form and each form one identifier: stored forms compare as identifiers.
inline constexpr char kHexId = '\xFE';
inline constexpr char kWideId = '\xFF';
void AppendStoredId(std::u16string_view id, std::string& to);
std::string StoredId(std::u16string_view id);
// The identifier of a stored form; false when the bytes are in neither form (a damaged file).
bool ReadStoredId(std::string_view stored, std::u16string& id);

// Time value and status of an item; two are the same when the statuses match and the values are
// equal (two NaN values count as equal, so a stored NaN does not report a change forever).
struct ItemTime {
    double value = 0;
    int32_t status = NX_LOG_TIME_VALID;
};
bool SameTime(const ItemTime& a, const ItemTime& b) noexcept;

// What a set of items is, in a few bytes: per item (its identifier in stored form, its time as
// SameTime compares it) a 128-bit hash, summed lane by lane, and the number of items. The sum
// does not depend on the items' order, so a snapshot's digest and a state's, read in another
// order, are compared as they come. Two different sets have the same digest with a chance of
// about 2^-128 (the hash's); two equal sets always have the same.
struct StateDigest {
    uint64_t low = 0;
    uint64_t high = 0;
    uint64_t count = 0;

    void Add(std::string_view idBytes, const ItemTime& time) noexcept;
    bool operator==(const StateDigest&) const = default;
    // 24 bytes, little-endian: low, high, count.
    std::string Bytes() const;
    // False when `bytes` is no digest's (a damaged journal): `out` is then left alone.
    static bool FromBytes(std::string_view bytes, StateDigest& out) noexcept;
};

struct DeletedItem {
    std::u16string id;
    ItemTime time;  // the last one the state knew
};

// NewAgain: an unconfirmed entry present in the snapshot whose item the host may lack; it is
// reported as new (NX_LOG_NEW) like New.
enum class EntryChange : uint8_t { Unchanged, New, Changed, Duplicate, NewAgain };

// The flag an entry carries in the change list (and in the staged difference); 0: not reported.
constexpr int32_t ReportedFlag(EntryChange c) noexcept {
    return c == EntryChange::New || c == EntryChange::NewAgain ? NX_LOG_NEW
           : c == EntryChange::Changed                         ? NX_LOG_CHANGED
                                                               : 0;
}

class ChangeDetector;

// The memory of a detector's table, kept by the caller from one snapshot to the next, so that
// its pages stay mapped whatever the allocator does with a large block: freed and allocated again
// at each call, a 2 MB table came on fresh pages from glibc (a page fault per 4 KB: half again
// the call's time at 50k), and a Windows heap takes blocks of that size from the system anew.
class DetectorMemory {
    friend class ChangeDetector;
    struct Slot {
        uint32_t offset;  // of the stored form in m_ids
        uint32_t index1;
        uint32_t bytes;
        uint32_t tag;
    };
    static_assert(sizeof(Slot) == 16);
    std::vector<Slot> m_slots;
    // The snapshot's identifiers in their stored form, one after another (entry i at m_offsets[i]):
    // made in the pass that measures and hashes them, so the comparisons read this compact copy
    // (half the bytes of the texts at 50k, in one block) instead of the texts a second time.
    std::unique_ptr<char[]> m_ids;
    std::size_t m_idsCapacity = 0;
    std::vector<uint32_t> m_offsets;
    std::vector<std::size_t> m_hashes;  // of each stored form, for the table when it is built
};

// Classifies a snapshot against a known state. Feed every known item once with Known(), call
// Finish(), then read the result. The snapshot's texts must stay valid and unchanged meanwhile.
class ChangeDetector {
public:
    // `items`/`count`: the snapshot (outside memory). Each entry is checked, measured, copied in
    // its stored form and hashed in one pass, so each text is read from memory once (a separate
    // check and a separate hash had read a large snapshot's texts from memory twice more; the
    // comparisons read the stored-form copy); with `digest`, the same pass makes the snapshot's
    // digest (asked for later, it takes a pass of its own). An entry without identifier, or with
    // one longer than kMaxIdLength units, stops the pass: BadEntry(). The table is built from the
    // hashes when the first known item (or Finish) needs it, in `memory` (which must outlive the
    // detector) when given, else in the detector's own. Throws std::length_error when the stored
    // forms would pass 4 GB.
    ChangeDetector(const tagLogItem* items, std::size_t count, DetectorMemory* memory = nullptr,
                   bool digest = true);

    // The index of the first entry without identifier or with one too long, Size() when every
    // entry is good. The detector is of no use otherwise.
    std::size_t BadEntry() const noexcept { return m_bad; }

    void Known(std::u16string_view id, const ItemTime& time) { Known(StoredId(id), time); }
    // The identifier in its stored form (StoredId), any alignment. A known item whose identifier
    // was given to Unconfirmed is passed over: the unconfirmed entry stands in its place. Bytes in
    // neither stored form never match; reported deleted, they throw std::invalid_argument (a
    // damaged journal) as they are read back.
    void Known(std::string_view idBytes, const ItemTime& time) {
        if (!m_knownStarted) StartKnown();
        Add(idBytes, time, 0);
    }
    // An unconfirmed entry: `change` is what the unfinished read reported (NX_LOG_NEW,
    // NX_LOG_CHANGED or NX_LOG_DELETED), `time` the time it reported. Every unconfirmed entry
    // comes before the first known item.
    void Unconfirmed(std::string_view idBytes, const ItemTime& time, int32_t change) {
        assert(change == NX_LOG_NEW || change == NX_LOG_CHANGED || change == NX_LOG_DELETED);
        assert(!m_knownStarted);
        Add(idBytes, time, change);
    }
    // Matches the known items still held back (Known() matches them in groups).
    void Finish();

    // The digest of the snapshot's entries. An identifier the snapshot has twice counts twice,
    // so such a snapshot's digest is no state's (a state holds each identifier once): it is
    // compared item by item, which drops the second entry.
    const StateDigest& SnapshotDigest() noexcept;
    // The outcome when the known state has the snapshot's digest, instead of feeding its items:
    // every entry unchanged, nothing deleted.
    void AllUnchanged() noexcept;

    std::size_t Size() const noexcept { return m_change.size(); }
    EntryChange At(std::size_t i) const noexcept {
        assert(m_pending.empty());
        return m_change[i];
    }
    // The stored form of entry `i`'s identifier (valid while the detector is).
    std::string_view StoredIdAt(std::size_t i) const noexcept {
        assert(m_bad == Size());
        return {m_ids + m_offsets[i], m_offsets[i + 1] - m_offsets[i]};
    }
    const std::vector<DeletedItem>& Deleted() const noexcept {
        assert(m_pending.empty());
        return m_deleted;
    }
    // New + changed + deleted: the size of the change list.
    std::size_t ChangeCount() const noexcept;
    // Entries dropped as a later entry of an identifier (after Finish).
    std::size_t Duplicates() const noexcept {
        assert(m_tableBuilt);
        return m_duplicates;
    }

private:
    // Open addressing, linear probing. A slot holds what a lookup needs of its entry, so a probe
    // goes from the slot straight to the text: the text's address and length, a part of the hash
    // (a probe compares a text only when it matches), and the index + 1 (0: empty). 16 bytes: a
    // 50k-item table is 1.2 MB.
    using Slot = DetectorMemory::Slot;

    // The first slot of a hash: its high half scaled to the table (any table size, no division).
    std::size_t Home(std::size_t hash) const noexcept {
        return static_cast<std::size_t>(((static_cast<uint64_t>(hash) >> 32) * m_slots.size()) >> 32);
    }
    std::size_t Next(std::size_t at) const noexcept { return at + 1 == m_slots.size() ? 0 : at + 1; }

    std::string_view Bytes(const Slot& slot) const noexcept { return {m_ids + slot.offset, slot.bytes}; }
    void Grow(std::size_t used, std::size_t more);
    void BuildTable();
    void Insert(std::size_t i, std::size_t hash);
    std::size_t Find(std::string_view idBytes, std::size_t hash) const noexcept;
    void StartKnown();
    void Add(std::string_view idBytes, const ItemTime& time, int32_t unconfirmed);
    void MatchPending();
    void Match(std::string_view idBytes, const ItemTime& time, int32_t unconfirmed, std::size_t i);

    // Known items wait in groups so that the memory their lookups touch (slot, then text) is
    // requested for the whole group before any of it is needed: a large state's lookups then
    // overlap their cache misses instead of taking them one after another.
    struct Pending {
        std::size_t offset, size, hash;
        const Slot* candidate;  // the first slot of its hash part, null: none
        ItemTime time;
        int32_t unconfirmed;  // 0: a committed item
    };
    std::string m_arena;  // the pending identifiers' bytes (SQLite's copy lasts one row only)
    std::vector<Pending> m_pending;

    const tagLogItem* m_items;
    std::size_t m_bad;
    std::unique_ptr<DetectorMemory> m_ownMemory;  // when none was lent
    DetectorMemory& m_memory;
    std::vector<Slot>& m_slots;
    std::vector<uint32_t>& m_offsets;
    const char* m_ids = nullptr;  // m_memory.m_ids once the pass is done
    StateDigest m_digest;         // of every entry, once m_digestMade
    bool m_digestMade = false;
    bool m_tableBuilt = false;  // the slots hold this snapshot (built at the first known item)
    std::size_t m_duplicates = 0;
    std::vector<EntryChange> m_change;
    std::vector<DeletedItem> m_deleted;
    // Known items have begun. A known item of an unconfirmed entry the snapshot has is passed
    // over because that entry is classified already; one of an unconfirmed entry the snapshot
    // lacks (reported deleted already) is found in m_absentIds (their bytes, sorted): only a
    // known item absent from the snapshot is looked up there.
    bool m_knownStarted = false;
    std::vector<std::string> m_absentIds;
};

// Rewrites a snapshot array into its change list: new and changed entries in snapshot order with
// their flags, then one NX_LOG_DELETED entry per deleted item; unchanged and duplicate entries are
// removed and their texts freed. Every allocation happens in Prepare, so the caller can make the
// staged state durable between Prepare and Apply, and Apply cannot fail.
class ChangeListWriter {
public:
    ChangeListWriter() = default;
    ChangeListWriter(const ChangeListWriter&) = delete;
    ChangeListWriter& operator=(const ChangeListWriter&) = delete;
    ~ChangeListWriter();

    // False when memory ran out (nothing changed, nothing held).
    bool Prepare(const tagLogItemArray& array, const ChangeDetector& changes) noexcept;
    // Rewrites `array` (the one given to Prepare, unchanged since); returns the new size.
    int64_t Apply(tagLogItemArray& array, const ChangeDetector& changes) noexcept;

private:
    void Release() noexcept;

    std::vector<NxJournalChar*> m_deletedIds;
    tagLogItem* m_buffer = nullptr;  // a larger element buffer when the list outgrows the array
    int64_t m_capacity = 0;
};

}  // namespace nx::journal
