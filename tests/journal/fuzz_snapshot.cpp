// Fuzz target: random known states and snapshots (identifiers from a pool of 64, so overlaps and
// duplicates are common; times including NaN, infinities and signed zeros; any status) through
// the change rules and the rewrite of the array. Invariant: applying the change list to the old
// state gives the snapshot's state (its first entry per identifier), each identifier once.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include "journal/ChangeList.h"
#include "journal/LogItemArray.h"

namespace {

using nx::journal::ItemTime;

std::u16string PoolId(uint8_t b) {
    switch (b % 64) {
        case 0:
            return u"";
        case 1:
            return u"AB\xD800";  // an unpaired surrogate
        case 2:
            return std::u16string(300, u'F');
        default:
            return u"00000000ABCDEF" + std::u16string(1, static_cast<char16_t>(u'0' + b % 64));
    }
}

double PoolTime(uint8_t b) {
    constexpr double values[] = {0.0,
                                 -0.0,
                                 1.0,
                                 45000.5,
                                 std::numeric_limits<double>::quiet_NaN(),
                                 std::numeric_limits<double>::infinity(),
                                 -1e300,
                                 45000.5000001};
    return values[b % 8];
}

struct Reader {
    const uint8_t* p;
    size_t n;
    bool Next(std::u16string& id, ItemTime& t) {
        if (n < 3) return false;
        id = PoolId(p[0]);
        t = ItemTime{PoolTime(p[1]), static_cast<int32_t>(p[2] % 4)};
        p += 3;
        n -= 3;
        return true;
    }
};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Reader in{data + 1, size - 1};
    std::map<std::u16string, ItemTime> known, wanted;
    std::u16string id;
    ItemTime t;
    // Up to 127 known items: the detector matches them in groups, so group ends are crossed.
    for (int k = data[0] % 128; k > 0 && in.Next(id, t); --k) known.emplace(id, t);
    CLogItemArray snapshot;
    snapshot.get()->nGrowBy = 1 + data[0] / 128;
    while (in.Next(id, t)) {
        snapshot.Add(id, t.value, t.status);
        wanted.emplace(id, t);  // the first entry of an identifier stands for it
    }

    nx::journal::ChangeDetector changes(snapshot.get()->pData, static_cast<size_t>(snapshot.GetSize()));
    for (const auto& [knownId, time] : known) changes.Known(knownId, time);
    changes.Finish();
    const size_t count = changes.ChangeCount();
    std::map<std::u16string, ItemTime> state = known;
    if (count == 0) {
        Check(state.size() == wanted.size());
    } else {
        nx::journal::ChangeListWriter writer;
        Check(writer.Prepare(*snapshot.get(), changes));
        Check(writer.Apply(*snapshot.get(), changes) == static_cast<int64_t>(count));
        std::map<std::u16string, int> seen;
        for (int64_t i = 0; i < snapshot.GetSize(); ++i) {
            const tagLogItem& e = snapshot[i];
            const std::u16string entry(snapshot.IdAt(i));
            Check(++seen[entry] == 1);
            const ItemTime now{e.dtModified, e.lTimeStatus};
            const auto old = state.find(entry);
            switch (e.lFlags) {
                case NX_LOG_NEW:
                    Check(old == state.end());
                    state.emplace(entry, now);
                    break;
                case NX_LOG_CHANGED:
                    Check(old != state.end() && !nx::journal::SameTime(old->second, now));
                    old->second = now;
                    break;
                case NX_LOG_DELETED:
                    Check(old != state.end() && nx::journal::SameTime(old->second, now));
                    state.erase(old);
                    break;
                default:
                    Check(false);
            }
        }
    }
    Check(state.size() == wanted.size());
    for (const auto& [wantedId, time] : wanted) {
        const auto got = state.find(wantedId);
        Check(got != state.end() && nx::journal::SameTime(got->second, time));
    }
    return 0;
}
