#include "platform/mapi32/Memory.h"

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
    Header* next;  // root: first chained buffer; chained: the next one
    std::size_t size;
    std::uint64_t pad;
};
static_assert(sizeof(Header) == 32);

// Chains are linked under one lock: MAPIAllocateMore on one parent may come from several threads.
std::mutex g_chainLock;

Header* HeaderOf(void* p) {
    return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}

void* NewBlock(std::size_t cb, std::uint64_t magic, bool fill = true) {
    if (cb > (std::size_t{1} << 31)) return nullptr;
    const std::size_t bytes = sizeof(Header) + (cb ? cb : 1);
    auto* h = static_cast<Header*>(fill ? std::calloc(1, bytes) : std::malloc(bytes));
    if (!h) return nullptr;
    h->magic = magic;
    h->next = nullptr;
    h->size = cb;
    h->pad = 0;
    return h + 1;
}

}  // namespace

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
        chain->magic = kDeadMagic;
        std::free(chain);
        chain = next;
    }
    std::free(root);
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
