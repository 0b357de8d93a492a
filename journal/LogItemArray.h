// CLogItemArray: the agent's owner of a snapshot / change list (the CArray<tagLogItem> the
// journal works on). Every block it holds comes from DeltatrackAlloc and goes back through
// DeltatrackFree, so the journal may grow, shrink or refill the same array.
#pragma once

#include <cassert>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "journal/Deltatrack.h"

class CLogItemArray {
public:
    CLogItemArray() noexcept { m_a.nGrowBy = 1; }
    CLogItemArray(const CLogItemArray&) = delete;
    CLogItemArray& operator=(const CLogItemArray&) = delete;
    ~CLogItemArray() { RemoveAll(); }

    // Appends an entry with flags 0 and a copy of the identifier. Throws std::bad_alloc.
    void Add(std::u16string_view id, double dtModified, int32_t timeStatus) {
        if (m_a.nSize == m_a.nMaxSize) Grow();
        NxJournalChar* text =
            static_cast<NxJournalChar*>(DeltatrackAlloc((id.size() + 1) * sizeof(NxJournalChar)));
        if (!text) throw std::bad_alloc();
        if (!id.empty()) std::memcpy(text, id.data(), id.size() * sizeof(NxJournalChar));
        text[id.size()] = 0;
        tagLogItem& item = m_a.pData[m_a.nSize++];
        item = tagLogItem{};
        item.pszId = text;
        item.dtModified = dtModified;
        item.lTimeStatus = timeStatus;
    }

    void RemoveAll() noexcept {
        for (int64_t i = 0; i < m_a.nSize; ++i) DeltatrackFree(m_a.pData[i].pszId);
        DeltatrackFree(m_a.pData);
        m_a.pData = nullptr;
        m_a.nSize = m_a.nMaxSize = 0;
    }

    int64_t GetSize() const noexcept { return m_a.nSize; }
    const tagLogItem& operator[](int64_t i) const noexcept {
        assert(i >= 0 && i < m_a.nSize);
        return m_a.pData[i];
    }
    std::u16string_view IdAt(int64_t i) const noexcept {
        const NxJournalChar* p = (*this)[i].pszId;
        return p ? std::u16string_view(p) : std::u16string_view();
    }

    // The C view handed to GetChangeLog.
    tagLogItemArray* get() noexcept { return &m_a; }

private:
    void Grow() {
        // Entries are appended one at a time; the capacity doubles (at least nGrowBy more) so a
        // 50k-item snapshot is not copied 50k times.
        int64_t step = m_a.nGrowBy > 0 ? m_a.nGrowBy : 1;
        int64_t capacity = m_a.nMaxSize + (m_a.nMaxSize > step ? m_a.nMaxSize : step);
        auto* data =
            static_cast<tagLogItem*>(DeltatrackAlloc(static_cast<size_t>(capacity) * sizeof(tagLogItem)));
        if (!data) throw std::bad_alloc();
        if (m_a.nSize) std::memcpy(data, m_a.pData, static_cast<size_t>(m_a.nSize) * sizeof(tagLogItem));
        DeltatrackFree(m_a.pData);
        m_a.pData = data;
        m_a.nMaxSize = capacity;
    }

    tagLogItemArray m_a{};
};
