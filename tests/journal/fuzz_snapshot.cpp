// Fuzz target: random known states and snapshots (identifiers from a pool of 64, so overlaps and
// duplicates are common; times including NaN, infinities and signed zeros; any status) through
// the change rules and the rewrite of the array. A known item may be an unconfirmed entry (a
// change an unfinished read may have delivered), given to the detector first as the journal does,
// with or without a committed row of its own. Invariant: applying the change list to the committed
// state gives the snapshot's state (its first entry per identifier), each identifier once; an
// unconfirmed entry is always in the list, as its rule says (present: new again, or changed again;
// absent: deleted with its time), whatever the host holds of it. The detectors of successive inputs
// share one table memory. The whole input is also read as a stored identifier (the form the
// journal's file holds): whatever it decodes to must encode back to the same bytes; and as the
// units of one snapshot text at any alignment, which the detector must store as StoredId does.
//
// Input: one byte (known items: the low 7 bits; the array's growth step: the high bit), then
// three bytes per item: identifier, time, and status (bits 0-1) with, for a known item, what it
// is (bits 4-5: 0 committed, 1 unconfirmed new, 2 unconfirmed changed, 3 unconfirmed deleted).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

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
        case 3:
            return u"\u00FFA";  // led by the low byte of the wide form's marker
        case 4:
            return u"\u4241";  // its UTF-16LE bytes are the one-byte form of "AB"
        case 5:
            return u"AB";  // and the hex form's
        case 6:
            return u"0a";  // hex digits, but not upper-case ones
        default:           // an even number of units for an odd b: the hex form when the last is a digit
            return u"00000000ABCDEF" + std::u16string(1 + b % 2, static_cast<char16_t>(u'0' + b % 64));
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
                                 45000.5000001,
                                 -std::numeric_limits<double>::quiet_NaN()};  // a NaN of other bits
    return values[b % 9];
}

struct Reader {
    const uint8_t* p;
    size_t n;
    // `unconfirmed`: 0 for a committed item, else the change the unfinished read reported.
    bool Next(std::u16string& id, ItemTime& t, int32_t& unconfirmed) {
        if (n < 3) return false;
        constexpr int32_t kWhat[] = {0, NX_LOG_NEW, NX_LOG_CHANGED, NX_LOG_DELETED};
        id = PoolId(p[0]);
        t = ItemTime{PoolTime(p[1]), static_cast<int32_t>(p[2] % 4)};
        unconfirmed = kWhat[(p[2] >> 4) % 4];
        p += 3;
        n -= 3;
        return true;
    }
};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// The input's pairs of bytes as the units of one snapshot text (any unit but 0, which ends it),
// placed at size % 8 units from a 16-byte boundary: the detector, which reads a text in aligned
// blocks of 8 units after those before the first boundary, stores it as StoredId does.
void CheckStoredText(const uint8_t* data, size_t size) {
    static std::vector<char16_t> buffer;
    const size_t offset = size % 8, units = size / 2;
    buffer.assign(offset + units + 16, 0);
    char16_t* text = buffer.data() + (8 - reinterpret_cast<uintptr_t>(buffer.data()) / 2 % 8) % 8 + offset;
    size_t length = 0;
    for (; length < units; ++length) {
        const auto unit = static_cast<char16_t>(data[2 * length] | data[2 * length + 1] << 8);
        if (unit == 0) break;
        text[length] = unit;
    }
    text[length] = 0;
    tagLogItem item{};
    item.pszId = text;
    nx::journal::ChangeDetector one(&item, 1);
    Check(one.BadEntry() == 1 &&
          one.StoredIdAt(0) == nx::journal::StoredId(std::u16string_view(text, length)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view stored(reinterpret_cast<const char*>(data), size);
    if (std::u16string decoded; nx::journal::ReadStoredId(stored, decoded))
        Check(nx::journal::StoredId(decoded) == stored);
    CheckStoredText(data, size);
    Reader in{data + 1, size - 1};
    std::map<std::u16string, ItemTime> known, wanted;
    std::map<std::u16string, std::pair<ItemTime, int32_t>> unconfirmed;
    std::u16string id;
    ItemTime t;
    int32_t what = 0;
    // Up to 127 known items: the detector matches them in groups, so group ends are crossed.
    for (int k = data[0] % 128; k > 0 && in.Next(id, t, what); --k) {
        if (what == 0) {
            known.emplace(id, t);
        } else {
            unconfirmed.emplace(id, std::make_pair(t, what));
        }
    }
    CLogItemArray snapshot;
    snapshot.get()->nGrowBy = 1 + data[0] / 128;
    while (in.Next(id, t, what)) {
        snapshot.Add(id, t.value, t.status);
        wanted.emplace(id, t);  // the first entry of an identifier stands for it
    }

    // One table memory for every input, as the library keeps one between change reads: each
    // detector finds the slots of the one before.
    static nx::journal::DetectorMemory memory;
    nx::journal::ChangeDetector changes(snapshot.get()->pData, static_cast<size_t>(snapshot.GetSize()),
                                        &memory);
    Check(changes.BadEntry() == changes.Size());
    // The journal's order: the unconfirmed entries, then every committed row (theirs too).
    for (const auto& [entryId, entry] : unconfirmed)
        changes.Unconfirmed(nx::journal::StoredId(entryId), entry.first, entry.second);
    for (const auto& [knownId, time] : known) changes.Known(knownId, time);
    changes.Finish();
    // The snapshot's digest is the known state's exactly when the snapshot holds the state's
    // items, each once, at the times the rules see as the same.
    nx::journal::StateDigest knownDigest;
    for (const auto& [knownId, time] : known) knownDigest.Add(nx::journal::StoredId(knownId), time);
    bool sameItems =
        static_cast<size_t>(snapshot.GetSize()) == wanted.size() && wanted.size() == known.size();
    for (const auto& [wantedId, time] : wanted) {
        const auto k = known.find(wantedId);
        sameItems = sameItems && k != known.end() && nx::journal::SameTime(k->second, time);
    }
    Check((changes.SnapshotDigest() == knownDigest) == sameItems);
    // Made in a pass of its own, the digest is the same.
    nx::journal::ChangeDetector later(snapshot.get()->pData, static_cast<size_t>(snapshot.GetSize()), nullptr,
                                      false);
    Check(later.SnapshotDigest() == changes.SnapshotDigest());
    const size_t count = changes.ChangeCount();
    std::map<std::u16string, ItemTime> state = known;
    if (count == 0) {
        Check(unconfirmed.empty());
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
            if (const auto u = unconfirmed.find(entry); u != unconfirmed.end()) {
                // The host may hold any version of it, or none: the entry brings it to the snapshot.
                const auto present = wanted.find(entry);
                if (present == wanted.end()) {
                    Check(e.lFlags == NX_LOG_DELETED && nx::journal::SameTime(u->second.first, now));
                    if (old != state.end()) state.erase(old);
                } else {
                    Check(e.lFlags == (u->second.second == NX_LOG_CHANGED ? NX_LOG_CHANGED : NX_LOG_NEW));
                    Check(nx::journal::SameTime(present->second, now));
                    state[entry] = now;
                }
                continue;
            }
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
        for (const auto& [entryId, entry] : unconfirmed) Check(seen.count(entryId) == 1);
    }
    Check(state.size() == wanted.size());
    for (const auto& [wantedId, time] : wanted) {
        const auto got = state.find(wantedId);
        Check(got != state.end() && nx::journal::SameTime(got->second, time));
    }
    return 0;
}
