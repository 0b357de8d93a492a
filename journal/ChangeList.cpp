#include "journal/ChangeList.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>

// The hash functions compiled into this file, nothing linked.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace nx::journal {

std::size_t BoundedLength(const NxJournalChar* text, std::size_t limit) noexcept {
    std::size_t n = 0;
    while (n <= limit && text[n] != 0) ++n;
    return n;
}

bool SameTime(const ItemTime& a, const ItemTime& b) noexcept {
    if (a.status != b.status) return false;
    return a.value == b.value || (std::isnan(a.value) && std::isnan(b.value));
}

namespace {

std::vector<uint32_t> MeasureIds(const tagLogItem* items, std::size_t count) {
    std::vector<uint32_t> lengths(count);
    for (std::size_t i = 0; i < count; ++i) {
        assert(items[i].pszId);
        lengths[i] = static_cast<uint32_t>(BoundedLength(items[i].pszId, kMaxIdLength));
        assert(lengths[i] <= kMaxIdLength);
    }
    return lengths;
}

// Identifiers are hashed and compared as bytes, so a stored one is matched where SQLite hands it
// over, without copying it into aligned UTF-16 first. XXH3 takes an entry-id text (some 180
// bytes, hashed twice per item of a change read) in wide steps, where std::hash takes 8 bytes
// at a time in one chain.
std::size_t HashBytes(std::string_view bytes) noexcept {
    return static_cast<std::size_t>(XXH3_64bits(bytes.data(), bytes.size()));
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr uint64_t kHashPart = 0xFFFFFFFF00000000u;

bool SameBytes(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

ChangeDetector::ChangeDetector(const tagLogItem* items, std::size_t count)
    : ChangeDetector(items, MeasureIds(items, count)) {}

ChangeDetector::ChangeDetector(const tagLogItem* items, std::vector<uint32_t> lengths)
    : m_items(items), m_length(std::move(lengths)), m_change(m_length.size(), EntryChange::New) {
    const std::size_t count = m_length.size();
    // Twice as many slots as entries keeps probe runs short.
    m_slots.assign(std::bit_ceil(count * 2 + 2), 0);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view id = BytesAt(i);
        const std::size_t hash = HashBytes(id);
        const uint64_t hashPart = static_cast<uint64_t>(hash) & kHashPart;
        // One probe run finds an earlier entry of the same identifier or the free slot.
        std::size_t slot = hash & mask;
        for (; m_slots[slot] != 0; slot = (slot + 1) & mask) {
            const uint64_t entry = m_slots[slot];
            if ((entry & kHashPart) == hashPart &&
                SameBytes(BytesAt(static_cast<std::size_t>(entry & ~kHashPart) - 1), id))
                break;
        }
        if (m_slots[slot] != 0) {
            m_change[i] = EntryChange::Duplicate;
            continue;
        }
        m_slots[slot] = hashPart | (i + 1);
    }
}

void ChangeDetector::StartKnown() {
    // The unconfirmed entries are classified first, so those the snapshot lacks are known here.
    MatchPending();
    m_knownStarted = true;
    m_absentIds.reserve(m_deleted.size());
    for (const DeletedItem& gone : m_deleted)
        m_absentIds.emplace_back(reinterpret_cast<const char*>(gone.id.data()),
                                 gone.id.size() * sizeof(char16_t));
    std::sort(m_absentIds.begin(), m_absentIds.end());
}

std::size_t ChangeDetector::Find(std::string_view idBytes, std::size_t hash) const noexcept {
    const std::size_t mask = m_slots.size() - 1;
    const uint64_t hashPart = static_cast<uint64_t>(hash) & kHashPart;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint64_t entry = m_slots[slot];
        if (entry == 0) return kNone;
        const std::size_t at = static_cast<std::size_t>(entry & ~kHashPart) - 1;
        if ((entry & kHashPart) == hashPart && SameBytes(BytesAt(at), idBytes)) return at;
    }
}

std::size_t ChangeDetector::FirstCandidate(std::size_t hash) const noexcept {
    const std::size_t mask = m_slots.size() - 1;
    const uint64_t hashPart = static_cast<uint64_t>(hash) & kHashPart;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint64_t entry = m_slots[slot];
        if (entry == 0) return kNone;
        if ((entry & kHashPart) == hashPart) return static_cast<std::size_t>(entry & ~kHashPart) - 1;
    }
}

void ChangeDetector::Add(std::string_view idBytes, const ItemTime& time, int32_t unconfirmed) {
    constexpr std::size_t kGroup = 32;
    const std::size_t hash = HashBytes(idBytes);
    __builtin_prefetch(&m_slots[hash & (m_slots.size() - 1)]);
    m_pending.push_back(Pending{m_arena.size(), idBytes.size(), hash, kNone, time, unconfirmed});
    m_arena.append(idBytes);
    if (m_pending.size() == kGroup) MatchPending();
}

void ChangeDetector::Finish() {
    MatchPending();
}

void ChangeDetector::MatchPending() {
    // Three passes over the group: slots (requested as the items came) give the candidate
    // entries, the entries give their texts, and only then are texts compared.
    for (Pending& p : m_pending) {
        p.candidate = FirstCandidate(p.hash);
        if (p.candidate != kNone) __builtin_prefetch(&m_items[p.candidate]);
    }
    for (const Pending& p : m_pending)
        if (p.candidate != kNone) __builtin_prefetch(m_items[p.candidate].pszId);
    for (const Pending& p : m_pending) {
        const std::string_view id(m_arena.data() + p.offset, p.size);
        // The first candidate is nearly always the one; a clash of hash halves takes the full probe.
        const bool first = p.candidate != kNone && SameBytes(BytesAt(p.candidate), id);
        Match(id, p.time, p.unconfirmed, first ? p.candidate : Find(id, p.hash));
    }
    m_pending.clear();
    m_arena.clear();
}

void ChangeDetector::Match(std::string_view idBytes, const ItemTime& time, int32_t unconfirmed,
                           std::size_t i) {
    if (i == kNone) {
        // A known item of an unconfirmed entry the snapshot lacks: that entry's deletion stands.
        if (unconfirmed == 0 && !m_absentIds.empty() &&
            std::binary_search(m_absentIds.begin(), m_absentIds.end(), idBytes))
            return;
        std::u16string id(idBytes.size() / sizeof(char16_t), u'\0');
        if (!id.empty()) std::memcpy(id.data(), idBytes.data(), id.size() * sizeof(char16_t));
        m_deleted.push_back(DeletedItem{std::move(id), time});
        return;
    }
    // The unconfirmed entry of an item came first and stands for it; and should a damaged state
    // repeat an identifier, the first counts.
    if (m_change[i] != EntryChange::New) return;
    // The host may hold either version of an unconfirmed item (or, for a new or deleted one, none):
    // only reporting it again whatever the time brings it to the snapshot's.
    if (unconfirmed == NX_LOG_CHANGED) {
        m_change[i] = EntryChange::Changed;
        return;
    }
    if (unconfirmed != 0) {
        m_change[i] = EntryChange::NewAgain;
        return;
    }
    const ItemTime now{m_items[i].dtModified, m_items[i].lTimeStatus};
    m_change[i] = SameTime(now, time) ? EntryChange::Unchanged : EntryChange::Changed;
}

std::size_t ChangeDetector::ChangeCount() const noexcept {
    assert(m_pending.empty());
    std::size_t n = m_deleted.size();
    for (EntryChange c : m_change) n += ReportedFlag(c) != 0;
    return n;
}

ChangeListWriter::~ChangeListWriter() {
    Release();
}

void ChangeListWriter::Release() noexcept {
    for (NxJournalChar* text : m_deletedIds) DeltatrackFree(text);
    m_deletedIds.clear();
    DeltatrackFree(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
}

bool ChangeListWriter::Prepare(const tagLogItemArray& array, const ChangeDetector& changes) noexcept {
    Release();
    try {
        m_deletedIds.reserve(changes.Deleted().size());
        for (const DeletedItem& gone : changes.Deleted()) {
            auto* text =
                static_cast<NxJournalChar*>(DeltatrackAlloc((gone.id.size() + 1) * sizeof(NxJournalChar)));
            if (!text) throw std::bad_alloc();
            std::memcpy(text, gone.id.data(), gone.id.size() * sizeof(NxJournalChar));
            text[gone.id.size()] = 0;
            m_deletedIds.push_back(text);
        }
        const int64_t needed = static_cast<int64_t>(changes.ChangeCount());
        if (needed > array.nMaxSize) {
            m_buffer = static_cast<tagLogItem*>(
                DeltatrackAlloc(static_cast<std::size_t>(needed) * sizeof(tagLogItem)));
            if (!m_buffer) throw std::bad_alloc();
            m_capacity = needed;
        }
        return true;
    } catch (const std::bad_alloc&) {
        Release();
        return false;
    }
}

int64_t ChangeListWriter::Apply(tagLogItemArray& array, const ChangeDetector& changes) noexcept {
    assert(static_cast<std::size_t>(array.nSize) == changes.Size());
    assert(m_deletedIds.size() == changes.Deleted().size());
    // Compact in place first (the write index never passes the read index), then move to the
    // larger buffer if the deletions do not fit.
    int64_t w = 0;
    for (int64_t i = 0; i < array.nSize; ++i) {
        tagLogItem item = array.pData[i];
        item.lFlags = ReportedFlag(changes.At(static_cast<std::size_t>(i)));
        if (item.lFlags == 0) {
            DeltatrackFree(item.pszId);
            continue;
        }
        array.pData[w++] = item;
    }
    if (m_buffer) {
        if (w) std::memcpy(m_buffer, array.pData, static_cast<std::size_t>(w) * sizeof(tagLogItem));
        DeltatrackFree(array.pData);
        array.pData = m_buffer;
        array.nMaxSize = m_capacity;
        m_buffer = nullptr;
        m_capacity = 0;
    }
    for (std::size_t d = 0; d < m_deletedIds.size(); ++d) {
        const DeletedItem& gone = changes.Deleted()[d];
        tagLogItem& item = array.pData[w++];
        item = tagLogItem{};
        item.lFlags = NX_LOG_DELETED;
        item.pszId = m_deletedIds[d];
        item.dtModified = gone.time.value;
        item.lTimeStatus = gone.time.status;
    }
    m_deletedIds.clear();
    assert(w <= array.nMaxSize);
    array.nSize = w;
    return w;
}

}  // namespace nx::journal
