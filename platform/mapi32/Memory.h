// MAPI memory: MAPIAllocateBuffer, MAPIAllocateMore and MAPIFreeBuffer. A buffer carries a small
// header; a buffer from MAPIAllocateMore is chained to its parent and freed with it.
#pragma once

#include <cstddef>

#include "platform/mapi/Mapi.h"

namespace nx::mapi32 {

SCODE AllocateBuffer(ULONG cb, void** out) noexcept;
SCODE AllocateMore(ULONG cb, void* parent, void** out) noexcept;
ULONG FreeBuffer(void* p) noexcept;

// Gives the C heap back the freed buffers kept for reuse (the last MAPIUninitialize does).
void DropCachedBuffers() noexcept;

// Allocates a zero-filled buffer or throws std::bad_alloc.
void* AllocOrThrow(std::size_t cb);
// The same without filling it, for a caller that writes every byte it hands out.
void* AllocUnfilledOrThrow(std::size_t cb);
// Allocates a zero-filled buffer chained to `parent` or throws std::bad_alloc.
void* AllocMoreOrThrow(std::size_t cb, void* parent);

// Owns a root buffer until released to the caller.
class BufferGuard {
public:
    explicit BufferGuard(void* p = nullptr) noexcept : m_p(p) {}
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    BufferGuard(BufferGuard&& o) noexcept : m_p(o.release()) {}
    BufferGuard& operator=(BufferGuard&& o) noexcept {
        if (this != &o) {
            if (m_p) FreeBuffer(m_p);
            m_p = o.release();
        }
        return *this;
    }
    ~BufferGuard() {
        if (m_p) FreeBuffer(m_p);
    }
    void* get() const noexcept { return m_p; }
    void* release() noexcept {
        void* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    void* m_p;
};

}  // namespace nx::mapi32
