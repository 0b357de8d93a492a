// The one bounded reader of bytes that come from outside, and the one writer of the byte layouts
// the agent sends or stores: the RPC runtime's PDUs and NDR stubs, the registry's "TZI" values,
// and an appointment's stored recurrence pattern and zone struct. Here, below every layer that
// reads such bytes (the calendar may not use the RPC runtime, the runtime may not use the
// calendar).
//
// The reader checks the remaining length before every read and reports a read that does not fit
// by returning false; the destination and the position then stay as they were, so a caller may
// go on from the same place. It never throws and never reads past its span. Integers are read in
// the byte order it was made with: the sender's (a PDU's drep), little-endian for everything
// stored. The writer appends little-endian integers, the order this runtime announces in every
// PDU it sends and the order of every stored layout.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace nx::sys {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes, std::endian order = std::endian::little)
        : m_bytes(bytes), m_big(order == std::endian::big) {
        assert(bytes.data() != nullptr || bytes.empty());  // callers turn a null value into no bytes
    }

    std::size_t Position() const { return m_pos; }
    std::size_t Remaining() const { return m_bytes.size() - m_pos; }

    // One integer of 1, 2 or 4 bytes, the size of `value`'s type.
    template <typename T>
    bool Read(T& value) {
        static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                      (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4));
        using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint16_t>;  // wide enough to shift
        if (Remaining() < sizeof(T)) return false;
        const uint8_t* p = m_bytes.data() + m_pos;
        Bits bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            bits |= static_cast<Bits>(static_cast<Bits>(p[m_big ? sizeof(T) - 1 - i : i]) << (8 * i));
        value = static_cast<T>(bits);
        Advance(sizeof(T));
        return true;
    }
    bool Skip(std::size_t count) {
        if (Remaining() < count) return false;
        Advance(count);
        return true;
    }
    // Skips the padding up to the next multiple of `alignment` (a power of two) from the span's
    // start.
    bool Align(std::size_t alignment) {
        assert(std::has_single_bit(alignment));
        return Skip((alignment - (m_pos & (alignment - 1))) & (alignment - 1));
    }
    // The next `count` bytes, as a view into the reader's span.
    bool Bytes(std::size_t count, std::span<const uint8_t>& out) {
        if (Remaining() < count) return false;
        out = m_bytes.subspan(m_pos, count);
        Advance(count);
        return true;
    }
    // `units` UTF-16 code units in the reader's byte order, only when all of them fit (the text is
    // never sized from a count the bytes do not back).
    bool Utf16(std::size_t units, std::u16string& text) {
        if (Remaining() / 2 < units) return false;
        const uint8_t* p = m_bytes.data() + m_pos;
        text.resize(units);
        if (!m_big && std::endian::native == std::endian::little) {
            std::memcpy(text.data(), p, units * 2);
        } else {
            for (std::size_t i = 0; i < units; ++i) {
                const uint8_t first = p[2 * i], second = p[2 * i + 1];
                text[i] = static_cast<char16_t>(m_big ? first << 8 | second : second << 8 | first);
            }
        }
        Advance(units * 2);
        return true;
    }

private:
    void Advance(std::size_t count) {
        assert(count <= Remaining());  // every caller checked the length first
        m_pos += count;
    }

    std::span<const uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_big;
};

class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& bytes) : m_bytes(bytes), m_base(bytes.size()) {}

    std::size_t Size() const { return m_bytes.size() - m_base; }  // counted from where this writer began

    void Put8(uint8_t value) { m_bytes.push_back(value); }
    void Put16(uint16_t value) {
        m_bytes.push_back(static_cast<uint8_t>(value));
        m_bytes.push_back(static_cast<uint8_t>(value >> 8));
    }
    void Put32(uint32_t value) {
        for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void Bytes(const void* data, std::size_t count) {
        const auto* first = static_cast<const uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), first, first + count);
    }
    void Utf16(std::u16string_view units) {
        if constexpr (std::endian::native == std::endian::little) {
            Bytes(units.data(), units.size() * 2);
        } else {
            for (char16_t unit : units) Put16(static_cast<uint16_t>(unit));
        }
    }
    void Zeros(std::size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
    // Pads with zero bytes until Size() is a multiple of `alignment` (a power of two).
    void Align(std::size_t alignment) {
        assert(std::has_single_bit(alignment));
        Zeros((alignment - (Size() & (alignment - 1))) & (alignment - 1));
    }

private:
    std::vector<uint8_t>& m_bytes;
    std::size_t m_base;
};

// Empties a caller's output and gives it room for `capacity` bytes, so that writing up to that
// many never allocates (a writer over it cannot throw); false for a null output or when memory
// runs out.
inline bool StartOutput(std::vector<uint8_t>* out, std::size_t capacity) noexcept {
    if (out == nullptr) return false;
    out->clear();
    try {
        out->reserve(capacity);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace nx::sys
