// RAII owners for what MAPI hands out: interface pointers (ComPtr), MAPIFreeBuffer memory
// (MapiBuffer) and row sets (RowSetPtr). The memory owners take the free function to call,
// because the agent reaches MAPI through a table of bound function pointers, not by link.
//
//   ComPtr<IMAPITable> table;
//   hr = folder->GetContentsTable(MAPI_UNICODE, table.put());
//   RowSetPtr rows(fns.FreeProws);
//   hr = fns.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put());
//   MapiBuffer<SPropValue> value(fns.MAPIFreeBuffer);
//   hr = fns.HrGetOneProp(folder.get(), PR_ENTRYID, value.put());
#pragma once

#include <utility>

#include "platform/mapi/MapiEntryPoints.h"

// A reference-counted interface pointer: holds one reference and releases it exactly once.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference to p (AddRef); use Attach to adopt one the caller already holds.
    explicit ComPtr(T* p) noexcept : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        if (this != &other) {
            if (other.m_p) other.m_p->AddRef();
            reset();
            m_p = other.m_p;
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    static ComPtr Attach(T* p) noexcept {
        ComPtr r;
        r.m_p = p;
        return r;
    }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }

    // Releases what is held and returns the slot for an out parameter to fill.
    T** put() noexcept {
        reset();
        return &m_p;
    }
    // The same slot seen as IUnknown**, for OpenEntry and OpenProperty.
    IUnknown** put_unknown() noexcept { return reinterpret_cast<IUnknown**>(put()); }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // QueryInterface into another pointer type.
    template <class U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept {
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(iid, out.put_void());
    }

private:
    T* m_p = nullptr;
};

// Memory obtained from MAPIAllocateBuffer (property arrays, tag arrays, entry ids), freed once
// with the given MAPIFreeBuffer.
template <class T>
class MapiBuffer {
public:
    explicit MapiBuffer(LPMAPIFREEBUFFER freeBuffer) noexcept : m_free(freeBuffer) {}
    MapiBuffer(LPMAPIFREEBUFFER freeBuffer, T* p) noexcept : m_free(freeBuffer), m_p(p) {}
    MapiBuffer(const MapiBuffer&) = delete;
    MapiBuffer& operator=(const MapiBuffer&) = delete;
    MapiBuffer(MapiBuffer&& other) noexcept : m_free(other.m_free), m_p(std::exchange(other.m_p, nullptr)) {}
    MapiBuffer& operator=(MapiBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            m_free = other.m_free;
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ~MapiBuffer() { reset(); }

    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr); p && m_free) m_free(p);
    }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }
    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator[](std::size_t i) const noexcept { return m_p[i]; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    LPMAPIFREEBUFFER m_free = nullptr;
    T* m_p = nullptr;
};

// A row set from QueryRows or HrQueryAllRows, freed once with the given FreeProws.
class RowSetPtr {
public:
    explicit RowSetPtr(LPFREEPROWS freeRows) noexcept : m_free(freeRows) {}
    RowSetPtr(const RowSetPtr&) = delete;
    RowSetPtr& operator=(const RowSetPtr&) = delete;
    RowSetPtr(RowSetPtr&& other) noexcept : m_free(other.m_free), m_p(std::exchange(other.m_p, nullptr)) {}
    RowSetPtr& operator=(RowSetPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_free = other.m_free;
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ~RowSetPtr() { reset(); }

    LPSRowSet* put() noexcept {
        reset();
        return &m_p;
    }
    void reset() noexcept {
        if (LPSRowSet p = std::exchange(m_p, nullptr); p && m_free) m_free(p);
    }
    LPSRowSet detach() noexcept { return std::exchange(m_p, nullptr); }
    LPSRowSet get() const noexcept { return m_p; }
    LPSRowSet operator->() const noexcept { return m_p; }
    ULONG size() const noexcept { return m_p ? m_p->cRows : 0; }
    SRow& operator[](ULONG i) const noexcept { return m_p->aRow[i]; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    LPFREEPROWS m_free = nullptr;
    LPSRowSet m_p = nullptr;
};
