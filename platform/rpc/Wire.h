// Byte-level readers and writers shared by the PDU codec and the NDR engine.
//
// Readers check the remaining length before every read and report failure by returning false;
// they never throw and never read past their span. Integers are read in the sender's integer
// representation (the drep of the PDU): little-endian, or big-endian byte-swapped. Writers always
// write little-endian, the representation this runtime announces in every PDU it sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace nx::rpc::wire {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& buf) : m_buf(buf), m_base(buf.size()) {}

    std::size_t Size() const { return m_buf.size() - m_base; }  // relative to where this writer began
    void U8(uint8_t v) { m_buf.push_back(v); }
    void U16(uint16_t v) {
        m_buf.push_back(static_cast<uint8_t>(v));
        m_buf.push_back(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_buf.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void Bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        m_buf.insert(m_buf.end(), b, b + n);
    }
    void Zeros(std::size_t n) { m_buf.insert(m_buf.end(), n, 0); }
    // Pads with zero bytes until Size() is a multiple of a (a power of two).
    void Align(std::size_t a) { Zeros((a - (Size() & (a - 1))) & (a - 1)); }
    void Uuid(const rpc::Uuid& u) { Bytes(u.bytes.data(), u.bytes.size()); }

private:
    std::vector<uint8_t>& m_buf;
    std::size_t m_base;
};

class Reader {
public:
    Reader(std::span<const uint8_t> data, bool bigEndian) : m_data(data), m_big(bigEndian) {}

    std::size_t Pos() const { return m_pos; }
    std::size_t Remaining() const { return m_data.size() - m_pos; }
    bool BigEndian() const { return m_big; }

    bool U8(uint8_t& v) {
        if (Remaining() < 1) return false;
        v = m_data[m_pos++];
        return true;
    }
    bool U16(uint16_t& v) {
        if (Remaining() < 2) return false;
        const uint8_t* p = m_data.data() + m_pos;
        v = m_big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
        m_pos += 2;
        return true;
    }
    bool U32(uint32_t& v) {
        if (Remaining() < 4) return false;
        const uint8_t* p = m_data.data() + m_pos;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[m_big ? 3 - i : i]) << (8 * i);
        m_pos += 4;
        return true;
    }
    bool Skip(std::size_t n) {
        if (Remaining() < n) return false;
        m_pos += n;
        return true;
    }
    // Skips the padding up to the next multiple of a (a power of two) from the span's start.
    bool Align(std::size_t a) { return Skip((a - (m_pos & (a - 1))) & (a - 1)); }
    bool Bytes(std::size_t n, std::span<const uint8_t>& out) {
        if (Remaining() < n) return false;
        out = m_data.subspan(m_pos, n);
        m_pos += n;
        return true;
    }
    // A GUID: three integers in the sender's representation, then eight plain bytes. The
    // result is in the little-endian wire layout that Uuid keeps.
    bool Uuid(rpc::Uuid& u) {
        uint32_t d1;
        uint16_t d2, d3;
        std::span<const uint8_t> d4;
        if (!U32(d1) || !U16(d2) || !U16(d3) || !Bytes(8, d4)) return false;
        for (int i = 0; i < 4; ++i) u.bytes[i] = static_cast<uint8_t>(d1 >> (8 * i));
        u.bytes[4] = static_cast<uint8_t>(d2);
        u.bytes[5] = static_cast<uint8_t>(d2 >> 8);
        u.bytes[6] = static_cast<uint8_t>(d3);
        u.bytes[7] = static_cast<uint8_t>(d3 >> 8);
        std::memcpy(u.bytes.data() + 8, d4.data(), 8);
        return true;
    }

private:
    std::span<const uint8_t> m_data;
    std::size_t m_pos = 0;
    bool m_big;
};

}  // namespace nx::rpc::wire
