#include "platform/mapi32/Memory.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace nx::mapi32 {
namespace {

constexpr std::uint64_t kRootMagic = 0x4E584D4150495231ULL;  // live root buffer
constexpr std::uint64_t kMoreMagic = 0x4E584D4150494D31ULL;  // live chained buffer
constexpr std::uint64_t kDeadMagic = 0x4E584D4150494446ULL;  // freed

// 32 bytes keep the caller's memory 16-byte aligned.
struct alignas(16) Header {
    std::uint64_t magic;
    Header* next;          // root: first chained buffer; chained: the next one; cached: the next free
    std::size_t size;      // what the caller asked for
    std::size_t capacity;  // what was allocated, header included
};
static_assert(sizeof(Header) == 32);

// Chains are linked under one lock: MAPIAllocateMore on one parent may come from several threads.
std::mutex g_chainLock;

// Freed blocks kept for the next allocations of their size class instead of going back to the C
// heap. A table's rows are one buffer each, and a caller frees them all at once (FreeProws): given
// back, their memory is returned to the system, and the next table's rows fault every page of it
// in anew, which had cost ten times the rows' own building. Bounded, and emptied by the last
// MAPIUninitialize. Not under AddressSanitizer, which should see every block freed.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCacheBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCacheBlocks = false;
#else
constexpr bool kCacheBlocks = true;
#endif
#else
constexpr bool kCacheBlocks = true;
#endif
constexpr std::size_t kClassBytes = 256;
// Smaller blocks (a row of an entry id or two, a value) are left to the C heap, whose own free
// lists serve them well; kept here in 256-byte classes they would hold several times their size.
constexpr std::size_t kCachedBlockMin = 1024;
constexpr std::size_t kCachedBlockMax = 64 * 1024;  // a row of a table is a few KiB
constexpr std::size_t kCacheMaxBytes = 64u << 20;

struct BlockCache {
    std::mutex lock;
    std::array<Header*, kCachedBlockMax / kClassBytes + 1> free{};  // by capacity / kClassBytes
    std::size_t bytes = 0;
};
BlockCache g_cache;

// The capacity a block of `bytes` (header included) is allocated with: its class's, when cached.
std::size_t CapacityOf(std::size_t bytes) {
    if (!kCacheBlocks || bytes < kCachedBlockMin || bytes > kCachedBlockMax) return bytes;
    return (bytes + kClassBytes - 1) / kClassBytes * kClassBytes;
}

Header* TakeCached(std::size_t capacity) {
    if (!kCacheBlocks || capacity < kCachedBlockMin || capacity > kCachedBlockMax) return nullptr;
    std::lock_guard lock(g_cache.lock);
    Header*& head = g_cache.free[capacity / kClassBytes];
    Header* h = head;
    if (h) {
        head = h->next;
        g_cache.bytes -= capacity;
        // The next block of this class is, as a rule, the next row's: asked for the cache now (for
        // writing), its lines arrive while this row is built instead of one miss at a time
        // then. A freed block was last touched long ago; its lines are rarely still cached. Its
        // first 8 KB at most (a row of a table is a few KB): more would push out what is in use.
        if (head) {
            const char* next = reinterpret_cast<const char*>(head);
            const std::size_t ahead = std::min<std::size_t>(capacity, 8192);
            for (std::size_t at = 0; at < ahead; at += 64) __builtin_prefetch(next + at, 1);
        }
    }
    return h;
}

// Keeps a freed block for reuse or gives it back to the C heap.
void Release(Header* h) {
    h->magic = kDeadMagic;
    if (kCacheBlocks && h->capacity >= kCachedBlockMin && h->capacity <= kCachedBlockMax) {
        std::lock_guard lock(g_cache.lock);
        if (g_cache.bytes + h->capacity <= kCacheMaxBytes) {
            Header*& head = g_cache.free[h->capacity / kClassBytes];
            h->next = head;
            head = h;
            g_cache.bytes += h->capacity;
            return;
        }
    }
    std::free(h);
}

Header* HeaderOf(void* p) {
    return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}

void* NewBlock(std::size_t cb, std::uint64_t magic, bool fill = true) {
    if (cb > (std::size_t{1} << 31)) return nullptr;
    const std::size_t bytes = sizeof(Header) + (cb ? cb : 1);
    const std::size_t capacity = CapacityOf(bytes);
    auto* h = TakeCached(capacity);
    if (!h) h = static_cast<Header*>(std::malloc(capacity));
    if (!h) return nullptr;
    // calloc's promise, for the caller's bytes only.
    if (fill) std::memset(h + 1, 0, cb);
    h->magic = magic;
    h->next = nullptr;
    h->size = cb;
    h->capacity = capacity;
    return h + 1;
}

}  // namespace

void DropCachedBuffers() noexcept {
    std::lock_guard lock(g_cache.lock);
    for (Header*& head : g_cache.free) {
        while (head) {
            Header* next = head->next;
            std::free(head);
            head = next;
        }
    }
    g_cache.bytes = 0;
}

SCODE AllocateBuffer(ULONG cb, void** out) noexcept {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = NewBlock(cb, kRootMagic);
    return *out ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

SCODE AllocateMore(ULONG cb, void* parent, void** out) noexcept {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (!parent) return MAPI_E_INVALID_PARAMETER;
    Header* root = HeaderOf(parent);
    if (root->magic != kRootMagic) return MAPI_E_INVALID_PARAMETER;
    void* p = NewBlock(cb, kMoreMagic);
    if (!p) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::lock_guard lock(g_chainLock);
    Header* h = HeaderOf(p);
    h->next = root->next;
    root->next = h;
    *out = p;
    return S_OK;
}

ULONG FreeBuffer(void* p) noexcept {
    if (!p) return S_OK;
    Header* root = HeaderOf(p);
    // A chained buffer is freed with its parent only; freeing it alone is ignored, as MAPI does.
    if (root->magic != kRootMagic) return root->magic == kMoreMagic ? S_OK : MAPI_E_INVALID_PARAMETER;
    Header* chain;
    {
        std::lock_guard lock(g_chainLock);
        chain = root->next;
        root->next = nullptr;
        root->magic = kDeadMagic;
    }
    while (chain) {
        Header* next = chain->next;
        Release(chain);
        chain = next;
    }
    Release(root);
    return S_OK;
}

void* AllocOrThrow(std::size_t cb) {
    if (cb > 0xFFFFFFFFu) throw std::bad_alloc();
    void* p = nullptr;
    if (AllocateBuffer(static_cast<ULONG>(cb), &p) != S_OK) throw std::bad_alloc();
    return p;
}

void* AllocUnfilledOrThrow(std::size_t cb) {
    if (cb > 0xFFFFFFFFu) throw std::bad_alloc();
    void* p = NewBlock(cb, kRootMagic, false);
    if (!p) throw std::bad_alloc();
    return p;
}

void* AllocMoreOrThrow(std::size_t cb, void* parent) {
    if (cb > 0xFFFFFFFFu) throw std::bad_alloc();
    void* p = nullptr;
    if (AllocateMore(static_cast<ULONG>(cb), parent, &p) != S_OK) throw std::bad_alloc();
    return p;
}

}  // namespace nx::mapi32
