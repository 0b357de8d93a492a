#include "journal/ChangeList.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>

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
// over, without copying it into aligned UTF-16 first. The hash is XXH64 (seed 0): four
// independent lanes take 32 bytes a step, where std::hash takes 8 in one chain; an entry-id
// text is some 180 bytes, hashed twice per item of a change read.
constexpr uint64_t kP1 = 0x9E3779B185EBCA87u, kP2 = 0xC2B2AE3D27D4EB4Fu, kP3 = 0x165667B19E3779F9u,
                   kP4 = 0x85EBCA77C2B2AE63u, kP5 = 0x27D4EB2F165667C5u;

uint64_t Load64(const char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);  // any alignment
    return v;
}
uint32_t Load32(const char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint64_t Round(uint64_t lane, uint64_t input) noexcept {
    return std::rotl(lane + input * kP2, 31) * kP1;
}
uint64_t MergeRound(uint64_t h, uint64_t lane) noexcept {
    return (h ^ Round(0, lane)) * kP1 + kP4;
}

std::size_t HashBytes(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    uint64_t h;
    if (bytes.size() >= 32) {
        uint64_t v1 = kP1 + kP2, v2 = kP2, v3 = 0, v4 = 0 - kP1;
        for (; end - p >= 32; p += 32) {
            v1 = Round(v1, Load64(p));
            v2 = Round(v2, Load64(p + 8));
            v3 = Round(v3, Load64(p + 16));
            v4 = Round(v4, Load64(p + 24));
        }
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = MergeRound(MergeRound(MergeRound(MergeRound(h, v1), v2), v3), v4);
    } else {
        h = kP5;
    }
    h += bytes.size();
    for (; end - p >= 8; p += 8) h = std::rotl(h ^ Round(0, Load64(p)), 27) * kP1 + kP4;
    if (end - p >= 4) {
        h = std::rotl(h ^ (Load32(p) * kP1), 23) * kP2 + kP3;
        p += 4;
    }
    for (; p < end; ++p) h = std::rotl(h ^ (static_cast<uint8_t>(*p) * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
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
