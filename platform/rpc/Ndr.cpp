#include "platform/rpc/Ndr.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/rpc/Pdu.h"
#include "platform/system/ByteCursor.h"

namespace nx::rpc::ndr {
namespace {

using nx::sys::ByteReader;
using nx::sys::ByteWriter;

// No count announced by a peer may exceed what fits in one call's stub.
constexpr uint64_t kMaxUnits = pdu::kMaxCallStub / 2;

// Where the first NUL unit of a text is (its size when there is none). Four units a word: the
// texts are whole documents, and a unit-by-unit search was a visible part of every call.
std::size_t FirstNul(std::u16string_view text) {
    static_assert(std::endian::native == std::endian::little);
    std::size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        // A lane's top bit is set here only when some lane is zero (the classic test).
        if (((word - 0x0001000100010001ull) & ~word & 0x8000800080008000ull) != 0) break;
    }
    for (; i < text.size(); ++i)
        if (text[i] == u'\0') return i;
    return text.size();
}

// The units of a text up to its first NUL, cut to at most limit units without leaving half
// of a surrogate pair at the end.
std::u16string_view Sendable(const std::u16string& text, std::size_t limit) {
    std::u16string_view v(text);
    v = v.substr(0, FirstNul(v));
    if (v.size() > limit) {
        v = v.substr(0, limit);
        if (!v.empty() && v.back() >= 0xD800 && v.back() <= 0xDBFF) v.remove_suffix(1);
    }
    return v;
}

void WriteVaryingString(ByteWriter& w, std::u16string_view units, uint32_t maxCount) {
    w.Align(4);
    w.Put32(maxCount);
    w.Put32(0);
    w.Put32(static_cast<uint32_t>(units.size() + 1));
    w.Utf16(units);
    w.Put16(0);
}

// Reads a conformant varying string; requiredMax is the max count the table fixes (0: any).
bool ReadVaryingString(ByteReader& r, uint32_t requiredMax, std::u16string& out) {
    uint32_t maxCount, offset, actual;
    if (!r.Align(4) || !r.Read(maxCount) || !r.Read(offset) || !r.Read(actual)) return false;
    if (offset != 0 || actual == 0 || actual > maxCount || maxCount > kMaxUnits) return false;
    if (requiredMax && maxCount != requiredMax) return false;
    if (!r.Utf16(actual, out)) return false;
    if (out.back() != u'\0') return false;
    out.resize(FirstNul(out));
    return true;
}

}  // namespace

bool Travels(const Param& p, Pass pass) {
    if (p.dir == Direction::InOut) return true;
    return pass == Pass::Request ? p.dir == Direction::In : p.dir == Direction::Out;
}

void Marshal(const Procedure& proc, Pass pass, Args& args, std::vector<uint8_t>& out) {
    std::size_t estimate = out.size();
    for (std::size_t i = 0; i < proc.params.size(); ++i) {
        const Param& p = proc.params[i];
        if (!Travels(p, pass)) continue;
        if (p.shape == Shape::String || p.shape == Shape::SizedOutString)
            estimate += 16 + args.Text(i).size() * 2;
        else if (p.shape == Shape::FixedArray)
            estimate += 8 + std::size_t{p.size} * 2;
        else
            estimate += 8;
    }
    out.reserve(estimate);
    ByteWriter w(out);
    for (std::size_t i = 0; i < proc.params.size(); ++i) {
        const Param& p = proc.params[i];
        if (!Travels(p, pass)) continue;
        switch (p.shape) {
            case Shape::WChar:
                w.Align(2);
                w.Put16(static_cast<uint16_t>(args.WChar(i)));
                break;
            case Shape::String: {
                std::u16string_view units = Sendable(args.Text(i), kMaxUnits - 1);
                WriteVaryingString(w, units, static_cast<uint32_t>(units.size() + 1));
                break;
            }
            case Shape::SizedOutString:
                WriteVaryingString(w, Sendable(args.Text(i), p.size - 1), p.size);
                break;
            case Shape::FixedArray: {
                const std::vector<char16_t>& a = args.Array(i);
                std::size_t n = std::min<std::size_t>(a.size(), p.size);
                w.Align(4);
                w.Put32(p.size);
                w.Utf16(std::u16string_view(a.data(), n));
                w.Zeros((p.size - n) * 2);
                break;
            }
            case Shape::Long:
                w.Align(4);
                w.Put32(static_cast<uint32_t>(args.Long(i)));
                break;
        }
    }
}

RpcStatus Unmarshal(const Procedure& proc, Pass pass, std::span<const uint8_t> stub, bool bigEndian,
                    Args& args) {
    ByteReader r(stub, bigEndian ? std::endian::big : std::endian::little);
    for (std::size_t i = 0; i < proc.params.size(); ++i) {
        const Param& p = proc.params[i];
        if (!Travels(p, pass)) continue;
        switch (p.shape) {
            case Shape::WChar: {
                uint16_t v;
                if (!r.Align(2) || !r.Read(v)) return RPC_X_BAD_STUB_DATA;
                args.WChar(i) = static_cast<char16_t>(v);
                break;
            }
            case Shape::String:
                if (!ReadVaryingString(r, 0, args.Text(i))) return RPC_X_BAD_STUB_DATA;
                break;
            case Shape::SizedOutString:
                if (!ReadVaryingString(r, p.size, args.Text(i))) return RPC_X_BAD_STUB_DATA;
                break;
            case Shape::FixedArray: {
                uint32_t count;
                if (!r.Align(4) || !r.Read(count) || count != p.size) return RPC_X_BAD_STUB_DATA;
                std::u16string units;
                if (!r.Utf16(count, units)) return RPC_X_BAD_STUB_DATA;
                args.Array(i).assign(units.begin(), units.end());
                break;
            }
            case Shape::Long: {
                uint32_t v;
                if (!r.Align(4) || !r.Read(v)) return RPC_X_BAD_STUB_DATA;
                args.Long(i) = static_cast<int32_t>(v);
                break;
            }
        }
    }
    return RPC_S_OK;
}

RpcStatus CheckInterface(const Interface& iface) {
    for (const Procedure& proc : iface.procedures) {
        for (const Param& p : proc.params) {
            switch (p.shape) {
                case Shape::FixedArray:
                case Shape::SizedOutString:
                    if (p.size == 0 || p.size > kMaxUnits - 8) return RPC_S_INVALID_ARG;
                    break;
                case Shape::WChar:
                case Shape::String:
                case Shape::Long:
                    break;
                default:
                    return RPC_S_INVALID_ARG;
            }
        }
    }
    return iface.procedures.size() <= 0x10000 ? RPC_S_OK : RPC_S_INVALID_ARG;
}

}  // namespace nx::rpc::ndr
