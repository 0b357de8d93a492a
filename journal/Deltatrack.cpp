// The C ABI of the change journal: argument checks, the one process-wide lock, and the boundary
// where every failure becomes a result value and a text on the debug output.
#include "journal/Deltatrack.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "journal/JournalStore.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Files.h"
#include "platform/system/Utf.h"

namespace {

using namespace nx::journal;

// The host makes one call at a time; the lock only keeps two threads of one process from
// interleaving a change read and its commit, and guards the open journal below.
std::mutex g_lock;

// The journal stays open between calls: a first connection to a WAL database replays the whole
// WAL, and a connection kept open keeps its page cache. It is opened again when the file at the
// journal's place is another one (a new XDG_DATA_HOME, a journal deleted or replaced), in a
// child process after fork, and after any failure.
struct OpenJournal {
    std::string path;
    nx::sys::FileIdentity identity;
    uint64_t process = 0;
    std::unique_ptr<JournalStore> store;
};
OpenJournal g_open;
// The change detector's table, kept between change reads (see DetectorMemory) until the logoff.
DetectorMemory g_detectorMemory;

// Closes the open journal. A connection inherited across fork belongs to the parent: neither used
// nor closed here.
void CloseJournal() noexcept {
    if (g_open.store && g_open.process != nx::sys::CurrentProcessId())
        static_cast<void>(g_open.store.release());
    g_open = OpenJournal{};
}

JournalStore& Journal() {
    const std::string path = DefaultJournalPath();
    const uint64_t process = nx::sys::CurrentProcessId();
    nx::sys::FileIdentity now;
    const bool exists = nx::sys::IdentifyFile(path, now);
    if (g_open.store && g_open.process == process && exists && g_open.path == path && g_open.identity == now)
        return *g_open.store;
    CloseJournal();
    auto store = std::make_unique<JournalStore>(path, true);
    if (!nx::sys::IdentifyFile(path, now))
        throw JournalError("the journal " + path + " vanished while being opened");
    g_open = OpenJournal{path, now, process, std::move(store)};
    return *g_open.store;
}

// Runs `work` on the open journal; a failure closes it, so the next call starts afresh.
template <class Work>
auto WithJournal(Work work) {
    try {
        return work(Journal());
    } catch (...) {
        g_open.store.reset();
        throw;
    }
}

void Debug(const char* call, const std::string& why) {
    nx::sys::OutputDebugString(std::string("Deltatrack: ") + call + ": " + why + "\n");
}

bool ReadKeyText(const NxJournalChar* text, const char* name, bool mayBeEmpty, std::string& out,
                 std::string& why) {
    if (!text) {
        why = std::string("the request has no ") + name;
        return false;
    }
    const std::size_t length = BoundedLength(text, kMaxIdLength);
    if (length > kMaxIdLength) {
        why = std::string("the request's ") + name + " is longer than " + std::to_string(kMaxIdLength) +
              " units";
        return false;
    }
    if (length == 0 && !mayBeEmpty) {
        why = std::string("the request's ") + name + " is empty";
        return false;
    }
    out = nx::sys::Utf16ToUtf8(std::u16string_view(text, length));
    return true;
}

bool ReadRequest(const tagChangeRequest* request, JournalKey& key, std::string& why) {
    if (!request) {
        why = "no request";
        return false;
    }
    return ReadKeyText(request->pszCategory, "category", false, key.category, why) &&
           ReadKeyText(request->pszSource, "source", true, key.source, why) &&
           ReadKeyText(request->pszAnchor, "anchor", false, key.anchor, why);
}

// Checks the identifiers a commit leaves unconfirmed and views them (into `kept`).
bool ReadUndelivered(const NxJournalChar* const* ids, int32_t count, std::vector<std::u16string_view>& kept,
                     std::string& why) {
    if (count < 0 || (count > 0 && !ids)) {
        why = "the list of undelivered entries is inconsistent (count " + std::to_string(count) + ")";
        return false;
    }
    kept.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const std::size_t length = ids[i] ? BoundedLength(ids[i], kMaxIdLength) : 0;
        if (!ids[i] || length > kMaxIdLength) {
            why = "undelivered entry " + std::to_string(i) +
                  (ids[i] ? " has an identifier that is too long" : " has no identifier");
            return false;
        }
        kept.emplace_back(ids[i], length);
    }
    return true;
}

// Checks the array's frame (its entries are checked as the detector reads them).
bool CheckSnapshot(const tagLogItemArray* array, std::string& why) {
    if (!array) {
        why = "no snapshot array";
        return false;
    }
    if (array->nSize < 0 || array->nMaxSize < array->nSize || (array->nSize > 0 && !array->pData)) {
        why = "the snapshot array is inconsistent (size " + std::to_string(array->nSize) + ", capacity " +
              std::to_string(array->nMaxSize) + ")";
        return false;
    }
    if (array->nSize > INT32_MAX) {
        why = "the snapshot has more than 2^31-1 entries";
        return false;
    }
    return true;
}

// Why entry `i` stopped the detector: no identifier, or one too long.
std::string BadEntryReason(const tagLogItemArray& array, std::size_t i) {
    return "snapshot entry " + std::to_string(i) +
           (array.pData[i].pszId ? " has an identifier that is too long" : " has no identifier");
}

}  // namespace

extern "C" {

NX_DELTATRACK_API void* DeltatrackAlloc(size_t bytes) {
    return std::malloc(bytes ? bytes : 1);
}

NX_DELTATRACK_API void DeltatrackFree(void* block) {
    std::free(block);
}

NX_DELTATRACK_API int32_t GetChangeLog(tagLogItemArray* snapshot, const tagChangeRequest* request) {
    try {
        JournalKey key;
        std::string why;
        if (!ReadRequest(request, key, why) || !CheckSnapshot(snapshot, why)) {
            Debug("GetChangeLog", why);
            return 0;
        }
        const std::lock_guard<std::mutex> hold(g_lock);
        // The snapshot's digest is made in the detector's pass only when the state may be known
        // by it: a read that compares rows has no use for it (a read after a commit, or one with
        // changes staged).
        const bool byDigest = WithJournal([&](JournalStore& store) { return store.MayPassByDigest(key); });
        ChangeDetector changes(snapshot->pData, static_cast<std::size_t>(snapshot->nSize), &g_detectorMemory,
                               byDigest);
        if (changes.BadEntry() != changes.Size()) {
            Debug("GetChangeLog", BadEntryReason(*snapshot, changes.BadEntry()));
            return 0;
        }
        ChangeListWriter writer;
        WithJournal([&](JournalStore& store) { store.Stage(key, *snapshot, changes, writer); });
        if (changes.ChangeCount() == 0) return 0;
        return static_cast<int32_t>(writer.Apply(*snapshot, changes));
    } catch (const std::exception& e) {
        Debug("GetChangeLog", e.what());
    } catch (...) {
        Debug("GetChangeLog", "unexpected failure");
    }
    return 0;
}

NX_DELTATRACK_API int32_t CommitChangeLog(const tagChangeRequest* request) {
    return CommitChangeLogExcept(request, nullptr, 0);
}

NX_DELTATRACK_API int32_t CommitChangeLogExcept(const tagChangeRequest* request,
                                                const NxJournalChar* const* undelivered, int32_t count) {
    try {
        JournalKey key;
        std::string why;
        std::vector<std::u16string_view> kept;
        if (!ReadRequest(request, key, why) || !ReadUndelivered(undelivered, count, kept, why)) {
            Debug("CommitChangeLog", why);
            return -1;
        }
        const std::lock_guard<std::mutex> hold(g_lock);
        return WithJournal([&](JournalStore& store) { return store.Commit(key, kept) ? 1 : 0; });
    } catch (const std::exception& e) {
        Debug("CommitChangeLog", e.what());
    } catch (...) {
        Debug("CommitChangeLog", "unexpected failure");
    }
    return -1;
}

NX_DELTATRACK_API void CloseChangeLog(void) {
    const std::lock_guard<std::mutex> hold(g_lock);
    CloseJournal();
    g_detectorMemory = DetectorMemory{};
}

}  // extern "C"
