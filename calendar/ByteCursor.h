// Little-endian cursors over the stored binary values of an appointment (the recurrence pattern
// and the zone struct). The reader never reads past its bytes: a field that does not fit is left
// as it was and the position stays; the writer never writes past its fixed buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace NAMESPACE_MAPI {

class ByteReader {
public:
    ByteReader(const uint8_t* bytes, std::size_t size) : m_bytes(bytes), m_size(bytes ? size : 0) {}

    std::size_t Position() const { return m_pos; }
    std::size_t Remaining() const { return m_size - m_pos; }

    // One little-endian integer (2 or 4 bytes); false when it does not fit.
    template <typename T>
    bool Read(T& value) {
        static_assert(std::is_integral_v<T> && (sizeof(T) == 2 || sizeof(T) == 4));
        if (Remaining() < sizeof(T)) return false;
        std::make_unsigned_t<T> v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            v |= static_cast<std::make_unsigned_t<T>>(m_bytes[m_pos + i]) << (8 * i);
        value = static_cast<T>(v);
        m_pos += sizeof(T);
        return true;
    }
    bool Skip(std::size_t count) {
        if (Remaining() < count) return false;
        m_pos += count;
        return true;
    }
    // A 32-bit size and that many bytes after it (a reserved or ignored block).
    void SkipSized() {
        uint32_t size = 0;
        if (Read(size)) Skip(size);
    }
    // `units` UTF-16 code units, only when all of them fit.
    bool ReadUtf16(std::size_t units, std::u16string& text) {
        if (Remaining() / 2 < units) return false;
        text.resize(units);
        for (std::size_t i = 0; i < units; ++i)
            text[i] = static_cast<char16_t>(m_bytes[m_pos + 2 * i] | (m_bytes[m_pos + 2 * i + 1] << 8));
        m_pos += 2 * units;
        return true;
    }

private:
    const uint8_t* m_bytes;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

class ByteWriter {
public:
    ByteWriter(uint8_t* buffer, std::size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

    std::size_t Position() const { return m_pos; }
    bool Put16(uint16_t value) { return Put(value, 2); }
    bool Put32(uint32_t value) { return Put(value, 4); }

private:
    bool Put(uint32_t value, std::size_t size) {
        if (m_capacity - m_pos < size) return false;  // checked before each field
        for (std::size_t i = 0; i < size; ++i) m_buffer[m_pos + i] = static_cast<uint8_t>(value >> (8 * i));
        m_pos += size;
        return true;
    }

    uint8_t* m_buffer;
    std::size_t m_capacity;
    std::size_t m_pos = 0;
};

// Gives a caller's output buffer `size` zero bytes to be written; false for a null buffer or
// when memory runs out.
inline bool AssignZeroed(std::vector<uint8_t>* out, std::size_t size) {
    if (out == nullptr) return false;
    try {
        out->assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace NAMESPACE_MAPI
