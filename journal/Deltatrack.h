// The change journal's C ABI (libDeltatrack64.so; Deltatrack64.dll on Windows), shared by the
// library and the agent.
//
// The agent hands the journal a snapshot of a folder (one tagLogItem per item: identifier and
// local modification time) together with a request naming the state to compare against
// (category, source, anchor). GetChangeLog turns the array into the change list in place.
//
// Memory: every block reachable from a tagLogItemArray (the element buffer and each identifier
// text) is allocated and freed by the library's own DeltatrackAlloc / DeltatrackFree, whichever
// side does the work, so neither side ever frees what the other's allocator handed out. The
// C++ owner CLogItemArray below (used by the agent) follows that rule; the library's code does
// too when it grows the array, drops entries or appends deletions.
//
// Texts are NUL-terminated UTF-16 (the platform's wide string; char16_t here, wchar_t's size on
// Windows), so an identifier or anchor carries exactly what the agent received, unpaired
// surrogates included.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(NX_DELTATRACK_STATIC)
#define NX_DELTATRACK_API
#elif defined(_WIN32)
#if defined(NX_DELTATRACK_BUILD)
#define NX_DELTATRACK_API __declspec(dllexport)
#else
#define NX_DELTATRACK_API __declspec(dllimport)
#endif
#else
#define NX_DELTATRACK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef char16_t NxJournalChar;

// The change flags: the one home of these bits for the whole agent. A journal entry, a record's
// lFlag and a document's lFlag all carry them (the host and the journal agree on the values).
enum {
    NX_LOG_CHANGED = 0x04,
    NX_LOG_NEW = 0x08,
    NX_LOG_DELETED = 0x20,
};

// Time status of a date value: 0 valid, 1 invalid, 2 null.
enum {
    NX_LOG_TIME_VALID = 0,
    NX_LOG_TIME_INVALID = 1,
    NX_LOG_TIME_NULL = 2,
};

// One entry of a snapshot or change list: 32 bytes, entries contiguous.
typedef struct tagLogItem {
    int32_t lFlags;        // 0 in a snapshot; set by the journal (NX_LOG_*)
    int32_t lReserved;     // neither set nor read by the agent
    NxJournalChar* pszId;  // entry-id text (upper-case hex); owned by the array
    double dtModified;     // local modification time as a date value (days since 1899-12-30)
    int32_t lTimeStatus;   // NX_LOG_TIME_*
    int32_t lFiller;       // alignment
} tagLogItem;

// The growable array the snapshot travels in: element pointer, size, capacity, growth step.
typedef struct tagLogItemArray {
    tagLogItem* pData;  // DeltatrackAlloc'd; null when the capacity is 0
    int64_t nSize;      // entries in use
    int64_t nMaxSize;   // entries allocated
    int64_t nGrowBy;    // entries added when full (at least 1)
} tagLogItemArray;

// The request: three texts in a row.
typedef struct tagChangeRequest {
    const NxJournalChar* pszCategory;  // "contact" or "calendar"
    const NxJournalChar* pszSource;    // "pim"
    const NxJournalChar* pszAnchor;    // the host's anchor text
} tagChangeRequest;

// Memory shared across the boundary (see above). DeltatrackAlloc returns null when out of
// memory; DeltatrackFree(null) does nothing.
NX_DELTATRACK_API void* DeltatrackAlloc(size_t bytes);
NX_DELTATRACK_API void DeltatrackFree(void* block);

// Compares the snapshot with the last committed state of (category, source, anchor) and stages
// the difference as that key's next state. Result > 0: the array now holds the change list, of that
// size: every entry flagged NX_LOG_NEW or NX_LOG_CHANGED (snapshot order, entries without change
// removed), then one NX_LOG_DELETED entry per known item the snapshot lacks (identifier and last
// known time). Of several entries with one identifier the first stands for the item and the
// others are removed. Result 0: nothing changed, or the call failed (the reason goes to the debug
// output); the array is then left as the snapshot was. Never negative.
//
// Two-phase: the committed state moves only with CommitChangeLog. A reader calls it once every
// item of the change list has been delivered. Until then the staged entries are unconfirmed (the
// host may have received any of them) and stand in the base of the next difference: each is
// reported again, whatever its time: present in the snapshot, a new or deleted one as new and a
// changed one as changed; absent, as deleted. So a read that breaks off (a killed process, a
// failed delivery) loses nothing, neither its changes nor the later changes and deletions of the
// items it delivered.
NX_DELTATRACK_API int32_t GetChangeLog(tagLogItemArray* snapshot, const tagChangeRequest* request);

// Makes the state staged by the last GetChangeLog of (category, source, anchor) the committed
// one (one transaction). Until then a repeated change read reports the same changes again.
// Result 1: committed; 0: nothing was staged for that key (or a later read found nothing to
// stage); -1: the call failed and the committed state is unchanged.
NX_DELTATRACK_API int32_t CommitChangeLog(const tagChangeRequest* request);

// CommitChangeLog, except for the staged entries named in `undelivered` (`count` identifiers,
// as the change list carries them): those stay staged and unconfirmed, so the next change read
// reports them again (an item that is in the snapshot but could not be read and sent). A name
// the staged difference lacks is ignored; with `count` 0 it is CommitChangeLog. Results as
// CommitChangeLog's; a null list with a count above 0, or an identifier that is null or too
// long, fails the call (-1) with the committed state unchanged.
NX_DELTATRACK_API int32_t CommitChangeLogExcept(const tagChangeRequest* request,
                                                const NxJournalChar* const* undelivered, int32_t count);

// Closes the journal file the library keeps open between calls (the next call opens it again).
// The agent calls it when it logs off, so no file of the journal stays open while no session is
// (on Windows an open file keeps its folder from being removed).
NX_DELTATRACK_API void CloseChangeLog(void);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(tagLogItem) == 32, "the host-side layout of a log entry is 32 bytes");
static_assert(offsetof(tagLogItem, lFlags) == 0);
static_assert(offsetof(tagLogItem, lReserved) == 4);
static_assert(offsetof(tagLogItem, pszId) == 8);
static_assert(offsetof(tagLogItem, dtModified) == 16);
static_assert(offsetof(tagLogItem, lTimeStatus) == 24);
static_assert(offsetof(tagLogItem, lFiller) == 28);
static_assert(sizeof(tagChangeRequest) == 3 * sizeof(void*));
#endif
