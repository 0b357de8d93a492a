#include "journal/ChangeList.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

// The hash functions compiled into this file, nothing linked.
#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// 1 when `u` is no upper-case hex digit, else 0; in the units' own width, without a branch, so
// that the loops testing every unit are vectorized.
uint16_t NotHexDigit(uint16_t u) noexcept {
    return static_cast<uint16_t>(static_cast<uint16_t>(u - u'0') > 9) &
           static_cast<uint16_t>(static_cast<uint16_t>(u - u'A') > 5);
}

// The value of an upper-case hex digit, without a branch: the letters are the units from 0x40 on.
unsigned HexValue(char16_t digit) noexcept {
    return (digit & 0xFu) + 9u * (digit >> 6);
}

// Writes the stored form of the `units` units of `id` (none of them 0) at `to`; returns its size.
// `to` has room for the wide form (1 + 2 * units bytes). One pass decides the form and writes the
// one-byte form, which the other two then overwrite (the text is in the cache by then).
std::size_t WriteStoredId(const NxJournalChar* __restrict id, std::size_t units,
                          char* __restrict to) noexcept {
    uint16_t all = 0, other = 0;
    for (std::size_t n = 0; n < units; ++n) {
        all |= id[n];
        other |= NotHexDigit(id[n]);
        to[n] = static_cast<char>(id[n]);
    }
    if (other == 0 && units != 0 && units % 2 == 0) {
        to[0] = kHexId;
        for (std::size_t n = 0; n < units / 2; ++n)
            to[1 + n] = static_cast<char>(HexValue(id[2 * n]) << 4 | HexValue(id[2 * n + 1]));
        return 1 + units / 2;
    }
    if (all < 0x80) return units;
    to[0] = kWideId;
    for (std::size_t n = 0; n < units; ++n) {
        to[1 + 2 * n] = static_cast<char>(id[n] & 0xFF);
        to[2 + 2 * n] = static_cast<char>(id[n] >> 8);
    }
    return 1 + 2 * units;
}

// The room MeasureAndStore needs at `to`: the wide form of the longest text, and the 8 bytes the
// last whole block of units may write beyond a form.
constexpr std::size_t kStoreRoom = 1 + 2 * kMaxIdLength + 16;

// MeasureAndStore unit by unit: the length check, then the stored form.
std::size_t MeasureAndStoreScalar(const NxJournalChar* id, char* to, std::size_t& units) noexcept {
    units = BoundedLength(id, kMaxIdLength);
    return units > kMaxIdLength ? 0 : WriteStoredId(id, units, to);
}

#if defined(__SSE2__)

// Measures the text at `id` and writes its stored form at `to` (kStoreRoom bytes of room), as
// BoundedLength and WriteStoredId do, in one pass over the text 8 units at a time: the length
// check, the form's checks and the one-byte form (a change read's snapshot texts are the input of
// every call; unit by unit, these two loops were a third of a 10k-item read's instructions).
// `units` becomes the length, or more than kMaxIdLength (nothing usable written) when the text is
// not terminated within that many units. Returns the stored form's size.
//
// After the units up to a 16-byte boundary, the text is read in aligned blocks of 16 bytes, the
// last holding the terminator: an aligned block never crosses a page, so reading the rest of that
// block (bytes beyond the text's block, as a vectorized wcslen does) cannot fault. Such a read is
// outside the block for the address sanitizer, which is why this function is not instrumented;
// the fuzz target compares what it writes with WriteStoredId's.
__attribute__((no_sanitize_address)) std::size_t MeasureAndStore(const NxJournalChar* id, char* to,
                                                                 std::size_t& units) noexcept {
    // A text at an odd address (outside input; no char16_t is there) never reaches a 16-byte
    // boundary: the scalar loops, bounded by the limit, take it.
    if (reinterpret_cast<uintptr_t>(id) % 2 != 0) return MeasureAndStoreScalar(id, to, units);
    std::size_t n = 0;
    uint16_t all = 0, other = 0;
    const auto scalar = [&](uint16_t u) {
        all |= u;
        other |= NotHexDigit(u);
        to[n] = static_cast<char>(u);
    };
    // An even address: at most 7 units to the boundary.
    for (; reinterpret_cast<uintptr_t>(id + n) % 16 != 0; ++n) {
        if (id[n] == 0) break;
        scalar(id[n]);
    }
    const __m128i zero = _mm_setzero_si128();
    __m128i anyUnits = zero, notHex = zero;
    if (reinterpret_cast<uintptr_t>(id + n) % 16 == 0) {
        for (;; n += 8) {
            if (n > kMaxIdLength) {
                units = n;
                return 0;
            }
            const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(id + n));
            const int ends = _mm_movemask_epi8(_mm_cmpeq_epi16(v, zero));
            if (ends != 0) {
                // The units before the terminator.
                const std::size_t end =
                    n + static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(ends))) / 2;
                for (; n < end; ++n) scalar(id[n]);
                break;
            }
            anyUnits = _mm_or_si128(anyUnits, v);
            // Signed compares: a unit from 0x8000 on is negative, below every digit.
            const __m128i digit = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16(u'0' - 1)),
                                                _mm_cmplt_epi16(v, _mm_set1_epi16(u'9' + 1)));
            const __m128i letter = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16(u'A' - 1)),
                                                 _mm_cmplt_epi16(v, _mm_set1_epi16(u'F' + 1)));
            notHex = _mm_or_si128(notHex, _mm_andnot_si128(_mm_or_si128(digit, letter), _mm_set1_epi16(-1)));
            // The one-byte form (saturated units are never kept: they are not ASCII).
            _mm_storel_epi64(reinterpret_cast<__m128i*>(to + n), _mm_packus_epi16(v, v));
        }
    }
    units = n;
    // The OR of the blocks' units: below 0x80 in every lane when they all are.
    if (_mm_movemask_epi8(_mm_cmpgt_epi16(anyUnits, _mm_set1_epi16(0x7F))) != 0 ||
        _mm_movemask_epi8(_mm_cmplt_epi16(anyUnits, zero)) != 0)
        all |= 0x80;
    if (_mm_movemask_epi8(notHex) != 0) other = 1;
    if (other == 0 && n != 0 && n % 2 == 0) {
        // The hex form from the one-byte form, in place: 16 digits a step into the 8 bytes they
        // spell, written at 1 + j / 2 <= j once the step has read them. The last step reads and
        // writes up to 15 bytes beyond, inside the room.
        for (std::size_t j = 0; j < n; j += 16) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(to + j));
            // Each byte's value, as HexValue: the low four bits, and 9 for a letter (bit 6).
            const __m128i letters = _mm_and_si128(_mm_srli_epi16(b, 6), _mm_set1_epi8(1));
            const __m128i values = _mm_add_epi8(_mm_and_si128(b, _mm_set1_epi8(0x0F)),
                                                _mm_add_epi8(_mm_slli_epi16(letters, 3), letters));
            // A pair (first digit in the low byte) into one byte: high nibble first.
            const __m128i pairs = _mm_or_si128(
                _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(values, 8));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 1 + j / 2), _mm_packus_epi16(pairs, pairs));
        }
        to[0] = kHexId;
        return 1 + n / 2;
    }
    if (all < 0x80) return n;
    return WriteStoredId(id, n, to);
}

#else

std::size_t MeasureAndStore(const NxJournalChar* id, char* to, std::size_t& units) noexcept {
    return MeasureAndStoreScalar(id, to, units);
}

#endif

}  // namespace

void AppendStoredId(std::u16string_view id, std::string& to) {
    const std::size_t at = to.size();
    to.resize(at + 1 + 2 * id.size());
    to.resize(at + WriteStoredId(id.data(), id.size(), to.data() + at));
}

std::string StoredId(std::u16string_view id) {
    std::string out;
    AppendStoredId(id, out);
    return out;
}

bool ReadStoredId(std::string_view stored, std::u16string& id) {
    id.clear();
    if (stored.empty()) return true;
    if (stored[0] == kHexId) {
        if (stored.size() == 1) return false;  // the empty text has the one-byte form
        constexpr char16_t kDigits[] = u"0123456789ABCDEF";
        id.resize(2 * (stored.size() - 1));
        for (std::size_t n = 1; n < stored.size(); ++n) {
            const auto byte = static_cast<unsigned char>(stored[n]);
            id[2 * n - 2] = kDigits[byte >> 4];
            id[2 * n - 1] = kDigits[byte & 0xF];
        }
        return true;
    }
    if (stored[0] == kWideId) {
        if (stored.size() % 2 == 0) return false;
        char16_t all = 0;
        id.resize(stored.size() / 2);
        for (std::size_t n = 0; n < id.size(); ++n) {
            id[n] = static_cast<char16_t>(static_cast<unsigned char>(stored[1 + 2 * n]) |
                                          static_cast<unsigned char>(stored[2 + 2 * n]) << 8);
            if (id[n] == 0) return false;
            all |= id[n];
        }
        // An identifier of ASCII units only has another form: this one is not its.
        return all >= 0x80;
    }
    uint16_t other = 0;
    id.resize(stored.size());
    for (std::size_t n = 0; n < stored.size(); ++n) {
        const auto byte = static_cast<unsigned char>(stored[n]);
        if (byte == 0 || byte >= 0x80) return false;
        id[n] = byte;
        other |= NotHexDigit(byte);
    }
    // An even number of hex digits has the hex form.
    return other != 0 || id.size() % 2 != 0;
}

namespace {

// Identifiers are hashed and compared in their stored form, so a stored one is matched where
// SQLite hands it over. XXH3 takes an entry-id text (some 90 bytes, hashed twice per item of a
// change read) in wide steps, where std::hash takes 8 bytes at a time in one chain.
std::size_t HashBytes(std::string_view bytes) noexcept {
    return static_cast<std::size_t>(XXH3_64bits(bytes.data(), bytes.size()));
}

// The slot's part of a hash: its low bits (the slot's position comes from the high ones).
uint32_t TagOf(std::size_t hash) noexcept {
    return static_cast<uint32_t>(hash);
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool SameBytes(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

ChangeDetector::ChangeDetector(const tagLogItem* items, std::size_t count, DetectorMemory* memory,
                               bool digest)
    : m_items(items),
      m_bad(count),
      m_ownMemory(memory ? nullptr : std::make_unique<DetectorMemory>()),
      m_memory(memory ? *memory : *m_ownMemory),
      m_slots(m_memory.m_slots),
      m_offsets(m_memory.m_offsets),
      m_change(count, EntryChange::New) {
    m_offsets.resize(count + 1);
    m_offsets[0] = 0;
    m_memory.m_hashes.resize(count);
    m_ids = m_memory.m_ids.get();
    // Each entry is measured, copied in its stored form, hashed (and counted in the digest) while
    // its text is in the cache. The table is built from the hashes when a known item first needs
    // it: a read that finds the state's digest needs none.
    // The texts are blocks of their own, anywhere in the heap: each is asked for kAhead entries
    // before it is read (an entry-id text spans three lines), as nothing else would foresee them.
    constexpr std::size_t kAhead = 8;
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count && items[i + kAhead].pszId) {
            const char* ahead = reinterpret_cast<const char*>(items[i + kAhead].pszId);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
            __builtin_prefetch(ahead + 128);
        }
        const NxJournalChar* id = items[i].pszId;
        if (!id) {
            m_bad = i;
            return;
        }
        if (used + kStoreRoom > m_memory.m_idsCapacity) Grow(used, kStoreRoom);
        std::size_t length = 0;
        const std::size_t bytes = MeasureAndStore(id, m_memory.m_ids.get() + used, length);
        if (length > kMaxIdLength) {
            m_bad = i;
            return;
        }
        // Offsets are 32 bits (the slots stay 16 bytes); 4 GB of identifiers is far beyond any
        // snapshot that fits in memory beside them.
        if (used + bytes > UINT32_MAX) throw std::length_error("the snapshot's identifiers pass 4 GB");
        const std::string_view stored(m_ids + used, bytes);
        m_memory.m_hashes[i] = HashBytes(stored);
        if (digest) m_digest.Add(stored, ItemTime{items[i].dtModified, items[i].lTimeStatus});
        used += bytes;
        m_offsets[i + 1] = static_cast<uint32_t>(used);
    }
    m_digestMade = digest;
}

const StateDigest& ChangeDetector::SnapshotDigest() noexcept {
    assert(m_bad == Size());
    if (!m_digestMade) {
        for (std::size_t i = 0; i < Size(); ++i)
            m_digest.Add(StoredIdAt(i), ItemTime{m_items[i].dtModified, m_items[i].lTimeStatus});
        m_digestMade = true;
    }
    return m_digest;
}

void ChangeDetector::BuildTable() {
    assert(m_bad == Size() && !m_tableBuilt);
    m_tableBuilt = true;
    // Half as many slots again as entries: probe runs stay within a line or two (four slots to a
    // line), and the table is the smallest that does that (a larger one costs more cache misses
    // than its shorter runs save). At least one slot stays empty, so every probe run ends.
    const std::size_t count = Size();
    m_slots.assign(count + count / 2 + 1, Slot{});
    assert(m_slots.size() <= UINT32_MAX);  // Home() scales a 32-bit part
    // Each entry's slot is requested kAhead entries before the entry goes in (a large table's
    // slots are cache misses). Entries go in in index order, so the first of a duplicate wins.
    constexpr std::size_t kAhead = 16;
    const std::vector<std::size_t>& hashes = m_memory.m_hashes;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) __builtin_prefetch(&m_slots[Home(hashes[i + kAhead])], 1);
        Insert(i, hashes[i]);
    }
}

void ChangeDetector::Grow(std::size_t used, std::size_t more) {
    // Doubled, so the copies add up to less than the final size; kept by the memory afterwards.
    const std::size_t capacity = std::max(2 * m_memory.m_idsCapacity, used + more);
    auto grown = std::make_unique<char[]>(capacity);
    if (used) std::memcpy(grown.get(), m_memory.m_ids.get(), used);
    m_memory.m_ids = std::move(grown);
    m_memory.m_idsCapacity = capacity;
    m_ids = m_memory.m_ids.get();
}

void ChangeDetector::Insert(std::size_t i, std::size_t hash) {
    const std::string_view id = StoredIdAt(i);
    const uint32_t tag = TagOf(hash);
    // One probe run finds an earlier entry of the same identifier or the free slot.
    std::size_t at = Home(hash);
    for (; m_slots[at].index1 != 0; at = Next(at)) {
        const Slot& slot = m_slots[at];
        if (slot.tag == tag && SameBytes(Bytes(slot), id)) {
            m_change[i] = EntryChange::Duplicate;
            ++m_duplicates;
            return;
        }
    }
    m_slots[at] = Slot{m_offsets[i], static_cast<uint32_t>(i + 1), static_cast<uint32_t>(id.size()), tag};
}

void ChangeDetector::StartKnown() {
    assert(m_bad == Size());
    // The unconfirmed entries are classified first, so those the snapshot lacks are known here.
    MatchPending();
    m_knownStarted = true;
    m_absentIds.reserve(m_deleted.size());
    for (const DeletedItem& gone : m_deleted) m_absentIds.push_back(StoredId(gone.id));
    std::sort(m_absentIds.begin(), m_absentIds.end());
}

std::size_t ChangeDetector::Find(std::string_view idBytes, std::size_t hash) const noexcept {
    const uint32_t tag = TagOf(hash);
    for (std::size_t at = Home(hash);; at = Next(at)) {
        const Slot& slot = m_slots[at];
        if (slot.index1 == 0) return kNone;
        if (slot.tag == tag && SameBytes(Bytes(slot), idBytes)) return slot.index1 - 1;
    }
}

void ChangeDetector::Add(std::string_view idBytes, const ItemTime& time, int32_t unconfirmed) {
    assert(m_bad == Size());
    if (!m_tableBuilt) BuildTable();
    constexpr std::size_t kGroup = 32;
    const std::size_t hash = HashBytes(idBytes);
    __builtin_prefetch(&m_slots[Home(hash)]);
    m_pending.push_back(Pending{m_arena.size(), idBytes.size(), hash, nullptr, time, unconfirmed});
    m_arena.append(idBytes);
    if (m_pending.size() == kGroup) MatchPending();
}

void ChangeDetector::Finish() {
    if (!m_tableBuilt) BuildTable();
    MatchPending();
}

void ChangeDetector::MatchPending() {
    // Two passes over the group: the slots (requested as the items came) give the candidate
    // texts, which are requested before any is compared.
    for (Pending& p : m_pending) {
        const uint32_t tag = TagOf(p.hash);
        for (std::size_t at = Home(p.hash); m_slots[at].index1 != 0; at = Next(at)) {
            if (m_slots[at].tag != tag) continue;
            p.candidate = &m_slots[at];
            // An entry-id text's stored form spans two lines: ask for both, and for the
            // entry's time, which the match reads next (a large snapshot's array is beyond the L2).
            __builtin_prefetch(m_ids + p.candidate->offset);
            __builtin_prefetch(m_ids + p.candidate->offset + 64);
            __builtin_prefetch(&m_items[p.candidate->index1 - 1].dtModified);
            break;
        }
    }
    for (const Pending& p : m_pending) {
        const std::string_view id(m_arena.data() + p.offset, p.size);
        // The first candidate is nearly always the one; a clash of hash parts takes the full probe.
        const Slot* c = p.candidate;
        const bool first = c && SameBytes(Bytes(*c), id);
        Match(id, p.time, p.unconfirmed, first ? c->index1 - 1 : c ? Find(id, p.hash) : kNone);
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
        std::u16string id;
        if (!ReadStoredId(idBytes, id))
            throw std::invalid_argument("damaged journal: an identifier in neither of the stored forms");
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

void StateDigest::Add(std::string_view idBytes, const ItemTime& time) noexcept {
    // The time as SameTime compares it: every NaN one value, -0 as 0 (they compare equal).
    const double value = std::isnan(time.value) ? std::numeric_limits<double>::quiet_NaN()
                         : time.value == 0      ? 0.0
                                                : time.value;
    unsigned char tail[12];
    std::memcpy(tail, &value, 8);
    std::memcpy(tail + 8, &time.status, 4);
    // One hash of the identifier and the time together: a hash of each, combined, would let an
    // item's two times collide in the time's hash alone.
    XXH128_hash_t h;
    char buffer[256];
    if (idBytes.size() <= sizeof buffer - sizeof tail) {
        std::memcpy(buffer, idBytes.data(), idBytes.size());
        std::memcpy(buffer + idBytes.size(), tail, sizeof tail);
        h = XXH3_128bits(buffer, idBytes.size() + sizeof tail);
    } else {
        XXH3_state_t state;
        XXH3_128bits_reset(&state);
        XXH3_128bits_update(&state, idBytes.data(), idBytes.size());
        XXH3_128bits_update(&state, tail, sizeof tail);
        h = XXH3_128bits_digest(&state);
    }
    low += h.low64;
    high += h.high64;
    ++count;
}

std::string StateDigest::Bytes() const {
    std::string out(24, '\0');
    // Little-endian whatever the machine, so a file moves between machines.
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>(low >> (8 * i));
        out[8 + i] = static_cast<char>(high >> (8 * i));
        out[16 + i] = static_cast<char>(count >> (8 * i));
    }
    return out;
}

bool StateDigest::FromBytes(std::string_view bytes, StateDigest& out) noexcept {
    if (bytes.size() != 24) return false;
    const auto word = [&](std::size_t at) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    out = StateDigest{word(0), word(8), word(16)};
    return true;
}

void ChangeDetector::AllUnchanged() noexcept {
    // Only instead of the known items: they would have classified entries already.
    assert(m_bad == Size() && !m_tableBuilt && m_pending.empty() && m_deleted.empty());
    std::fill(m_change.begin(), m_change.end(), EntryChange::Unchanged);
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
    // The free of a removed entry's text reads and writes the allocator's header, just before the
    // text: at 50k the texts left the caches since the detector read them, so the headers are
    // requested some entries ahead of their frees.
    constexpr int64_t kAhead = 8;
    for (int64_t i = 0; i < array.nSize; ++i) {
        if (i + kAhead < array.nSize)
            __builtin_prefetch(reinterpret_cast<const void*>(
                                   reinterpret_cast<uintptr_t>(array.pData[i + kAhead].pszId) - 16),
                               1);
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
