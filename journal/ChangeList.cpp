#include "journal/ChangeList.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <functional>
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

ChangeDetector::ChangeDetector(const tagLogItem* items, std::size_t count)
    : m_items(items), m_length(count), m_hash(count), m_change(count, EntryChange::New) {
    // Twice as many slots as entries keeps probe runs short.
    m_slots.assign(std::bit_ceil(count * 2 + 2), 0);
    const std::hash<std::u16string_view> hasher;
    for (std::size_t i = 0; i < count; ++i) {
        assert(items[i].pszId);
        const std::size_t length = BoundedLength(items[i].pszId, kMaxIdLength);
        assert(length <= kMaxIdLength);
        m_length[i] = static_cast<uint32_t>(length);
        const std::u16string_view id(items[i].pszId, length);
        m_hash[i] = hasher(id);
        const std::size_t mask = m_slots.size() - 1;
        std::size_t slot = m_hash[i] & mask;
        for (;; slot = (slot + 1) & mask) {
            const uint32_t at = m_slots[slot];
            if (at == 0) {
                m_slots[slot] = static_cast<uint32_t>(i + 1);
                break;
            }
            if (m_hash[at - 1] == m_hash[i] && IdAt(at - 1) == id) {
                m_change[i] = EntryChange::Duplicate;
                break;
            }
        }
    }
}

std::size_t ChangeDetector::Find(std::u16string_view id, std::size_t hash) const noexcept {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t at = m_slots[slot];
        if (at == 0) return static_cast<std::size_t>(-1);
        if (m_hash[at - 1] == hash && IdAt(at - 1) == id) return at - 1;
    }
}

void ChangeDetector::Known(std::u16string_view id, const ItemTime& time) {
    const std::size_t i = Find(id, std::hash<std::u16string_view>()(id));
    if (i == static_cast<std::size_t>(-1)) {
        m_deleted.push_back(DeletedItem{std::u16string(id), time});
        return;
    }
    // A state names each identifier once; should a damaged one repeat it, the first counts.
    if (m_change[i] != EntryChange::New) return;
    const ItemTime now{m_items[i].dtModified, m_items[i].lTimeStatus};
    m_change[i] = SameTime(now, time) ? EntryChange::Unchanged : EntryChange::Changed;
}

std::size_t ChangeDetector::ChangeCount() const noexcept {
    std::size_t n = m_deleted.size();
    for (EntryChange c : m_change) n += (c == EntryChange::New || c == EntryChange::Changed);
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
        switch (changes.At(static_cast<std::size_t>(i))) {
            case EntryChange::New:
                item.lFlags = NX_LOG_NEW;
                break;
            case EntryChange::Changed:
                item.lFlags = NX_LOG_CHANGED;
                break;
            case EntryChange::Unchanged:
            case EntryChange::Duplicate:
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
