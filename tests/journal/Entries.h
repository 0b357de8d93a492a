// Snapshot entries as the journal's tests write them, and the one letter each test reads back for
// an entry's class.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "journal/ChangeList.h"
#include "journal/LogItemArray.h"

namespace nx::test {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Entry {
    std::u16string id;
    double time;
    int32_t status = NX_LOG_TIME_VALID;
};

// One letter per snapshot entry: n new, a new again, c changed, u unchanged, d duplicate.
inline char Letter(journal::EntryChange c) {
    using journal::EntryChange;
    return c == EntryChange::New         ? 'n'
           : c == EntryChange::NewAgain  ? 'a'
           : c == EntryChange::Changed   ? 'c'
           : c == EntryChange::Unchanged ? 'u'
           : c == EntryChange::Duplicate ? 'd'
                                         : '?';
}

inline void Fill(CLogItemArray& a, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) a.Add(e.id, e.time, e.status);
}

}  // namespace nx::test
