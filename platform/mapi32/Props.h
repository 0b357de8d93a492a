// Property values inside the runtime and in the store files.
//
// A value is kept as its type plus a payload: the bytes of the value in a fixed little-endian
// form (the same form in memory and on disk):
//   PT_I2 2 bytes, PT_LONG / PT_R4 / PT_ERROR 4, PT_BOOLEAN 2 (0 or 1), PT_DOUBLE / PT_APPTIME /
//   PT_CURRENCY / PT_I8 / PT_SYSTIME 8, PT_CLSID 16 (the GUID's in-memory layout),
//   PT_BINARY the bytes, PT_UNICODE the UTF-16LE code units without terminator (so every text,
//   unpaired surrogates included, round-trips byte-exact);
//   multi-valued types: a 32-bit count, then each element: fixed-size elements as above,
//   PT_MV_BINARY / PT_MV_UNICODE elements as a 32-bit length and the bytes.
// 8-bit text (PT_STRING8, PT_MV_STRING8) is never stored: it is converted to Unicode on the way
// in and back on the way out, with UTF-8 as the 8-bit code page.
//
// An object's properties are stored as one record ("property blob") with an index in front, so
// that one value is found without reading the others:
//   "NXP2", u32 count,
//   count index entries of: u32 tag, u32 offset (from the record's start), u32 length,
//   then the payloads, one after the other in index order.
// The index is sorted by property id (each id once); a value longer than kInlineLimit bytes is
// stored out of line (its own row) and its entry has the length 0xFFFFFFFF, its offset pointing
// at the u64 size of the value; tables and GetProps report such a value as the error
// MAPI_E_NOT_ENOUGH_MEMORY and it is read through a stream. Store files of format 1 held
// "NXP1" records (u32 count, then per value u32 tag, u32 length, payload); DecodeBlobV1 reads
// them for the upgrade of such a file.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/Mapi.h"

namespace nx::mapi32 {

inline constexpr std::size_t kInlineLimit = 32 * 1024;
inline constexpr std::size_t kMaxValueSize = 256u * 1024 * 1024;

// Thrown inside the runtime for a MAPI failure; the method guard turns it into its HRESULT.
class MapiError : public std::runtime_error {
public:
    explicit MapiError(HRESULT hr, const char* what = "MAPI error") : std::runtime_error(what), m_hr(hr) {}
    HRESULT hr() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

struct StoredValue {
    ULONG type = PT_NULL;
    std::string payload;
    bool outOfLine = false;  // payload not loaded: the value lives in its own row
    std::uint64_t size = 0;  // size of an out-of-line value
    std::uint64_t Size() const noexcept { return outOfLine ? size : payload.size(); }
};

// Properties of one object, by property id.
using PropMap = std::map<std::uint16_t, StoredValue>;

// A view of one record of a property blob.
struct PropRef {
    ULONG tag;
    std::string_view payload;
    bool outOfLine;
    std::uint64_t size;
};

bool IsStorableType(ULONG type) noexcept;
// The storage type of a caller's type: PT_STRING8 becomes PT_UNICODE, PT_MV_STRING8 PT_MV_UNICODE.
ULONG StorageType(ULONG type) noexcept;
// ValidPayload's answer for the types it does not check inline.
bool ValidPayloadOfOtherType(ULONG type, std::string_view payload) noexcept;
// True when the payload is well formed for the (storable) type.
inline bool ValidPayload(ULONG type, std::string_view payload) noexcept {
    // The usual single-valued types inline: this runs for every value of every record read,
    // and a table reads thousands of records.
    switch (type) {
        case PT_UNICODE:
            return payload.size() % 2 == 0;
        case PT_BINARY:
            return true;
        case PT_LONG:
        case PT_R4:
            return payload.size() == 4;
        case PT_DOUBLE:
        case PT_APPTIME:
        case PT_CURRENCY:
        case PT_I8:
        case PT_SYSTIME:
            return payload.size() == 8;
        default:
            return ValidPayloadOfOtherType(type, payload);
    }
}

std::string EncodeBlob(const PropMap& props);
// Parses and validates a blob. Returns MAPI_E_CORRUPT_DATA for anything malformed.
HRESULT ParseBlob(std::string_view blob, std::vector<PropRef>& out);
HRESULT DecodeBlob(std::string_view blob, PropMap& out);
// A record of store format 1 ("NXP1"), decoded and validated the same way.
HRESULT DecodeBlobV1(std::string_view blob, PropMap& out);

// A record read in place: Open validates it whole (its index and every value) without copying
// anything, after which values are taken by position or found by id through the index.
class RecordView {
public:
    // False (and an empty view) when the record is damaged.
    bool Open(std::string_view record) noexcept;
    std::size_t Count() const noexcept { return m_count; }
    // The i-th value in id order (i < Count()).
    PropRef At(std::size_t i) const noexcept {
        assert(i < m_count && "a value within the record");
        const char* e = Entry(i);
        const ULONG tag = ReadU32(e);
        const std::uint32_t offset = ReadU32(e + 4);
        const std::uint32_t len = ReadU32(e + 8);
        if (len == kOutOfLineLength) {
            std::uint64_t size;
            std::memcpy(&size, m_record.data() + offset, 8);
            return {tag, {}, true, size};
        }
        // Open checked that every value lies within the record.
        return {tag, std::string_view(m_record.data() + offset, len), false, len};
    }
    // The value of property `id`; false when the record has none.
    bool Find(ULONG id, PropRef& out) const noexcept;
    // The same for ids asked in ascending order: `cursor` (0 at first) walks the index once
    // for all of them instead of a search each. Inline: a table row asks it once per column.
    bool FindFrom(ULONG id, std::size_t& cursor, PropRef& out) const noexcept {
        // Open checked that the index is sorted by id; the ids asked before were no larger.
        for (; cursor < m_count; ++cursor) {
            const ULONG at = PROP_ID(ReadU32(Entry(cursor)));
            if (at == id) {
                out = At(cursor);
                return true;
            }
            if (at > id) return false;
        }
        return false;
    }

    // An index entry: tag, offset, length; the length of a value kept out of line.
    static constexpr std::size_t kEntrySize = 12;
    static constexpr std::uint32_t kOutOfLineLength = 0xFFFFFFFFu;

private:
    static std::uint32_t ReadU32(const char* p) noexcept {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    const char* Entry(std::size_t i) const noexcept { return m_record.data() + 8 + kEntrySize * i; }

    std::string_view m_record;
    std::size_t m_count = 0;
};

// Converts a caller's value to (storage type, payload). Throws MapiError(MAPI_E_INVALID_TYPE or
// MAPI_E_BAD_VALUE) for a value that cannot be stored.
StoredValue FromSPropValue(const SPropValue& v);

// What a caller asked for and what is there: the type to hand out for a stored type given the
// requested tag type (PT_UNSPECIFIED takes the stored type; string width follows `unicode`).
// Returns PT_ERROR when the stored value cannot be given as the requested type.
inline ULONG OutputType(ULONG requested, ULONG stored, bool unicode) noexcept {
    if (requested == PT_UNSPECIFIED) {
        if (!unicode && stored == PT_UNICODE) return PT_STRING8;
        if (!unicode && stored == PT_MV_UNICODE) return PT_MV_STRING8;
        return stored;
    }
    if (requested == stored) return stored;
    if (requested == PT_STRING8 && stored == PT_UNICODE) return PT_STRING8;
    if (requested == PT_MV_STRING8 && stored == PT_MV_UNICODE) return PT_MV_STRING8;
    return PT_ERROR;
}

// One value of an SPropValue array to build: the tag handed out, the type it is handed out as,
// and its payload (storage form; for PT_STRING8 / PT_MV_STRING8 the 8-bit form, EightBitPayload)
// or, for PT_ERROR, its error. The payload must stay alive until the array is built.
struct OutValue {
    ULONG tag;
    ULONG outType;
    std::string_view payload;
    SCODE err;
};

// Builds the SPropValue array of `values` in a single MAPI buffer: MAPIAllocateBuffer (parent
// null) or MAPIAllocateMore (parent set).
LPSPropValue BuildPropArray(std::span<const OutValue> values, void* parent = nullptr);

// The UTF-8 form of a PT_UNICODE or PT_MV_UNICODE payload handed out as PT_STRING8 or
// PT_MV_STRING8, kept in `owned` (a deque: growing it moves no payload handed out before).
std::string_view EightBitPayloadOf(ULONG outType, std::string_view payload, std::deque<std::string>& owned);
// The payload of a stored value handed out as `outType`: the same bytes, or for 8-bit text its
// UTF-8 form.
inline std::string_view EightBitPayload(ULONG outType, std::string_view payload,
                                        std::deque<std::string>& owned) {
    if (outType != PT_STRING8 && outType != PT_MV_STRING8) return payload;
    return EightBitPayloadOf(outType, payload, owned);
}

inline OutValue ErrorAnswer(ULONG id, SCODE err) noexcept {
    return {PROP_TAG(PT_ERROR, id), PT_ERROR, {}, err};
}

// What a caller who asked for `requestedType` gets for a stored value of property `id`: the
// value as OutputType says, MAPI_E_NOT_FOUND when it cannot be given as that type, or
// MAPI_E_NOT_ENOUGH_MEMORY when it is too large for an answer (out of line, over the inline
// limit). Inline: a table asks it for every column of every row.
inline OutValue StoredAnswer(ULONG requestedType, ULONG id, ULONG storedType, std::string_view payload,
                             std::uint64_t size, bool unicode, std::deque<std::string>& owned) {
    const ULONG outType = OutputType(requestedType, storedType, unicode);
    if (outType == PT_ERROR) return ErrorAnswer(id, MAPI_E_NOT_FOUND);
    if (size > kInlineLimit) return ErrorAnswer(id, MAPI_E_NOT_ENOUGH_MEMORY);
    return {PROP_TAG(outType, id), outType, EightBitPayload(outType, payload, owned), 0};
}

// Builds one SPropValue array in a single MAPI buffer. Add values, then Build.
class PropArrayBuilder {
public:
    // The payload is in storage form and must stay alive until Build.
    void AddValue(ULONG tag, ULONG outType, std::string_view payload) {
        m_items.push_back(
            {PROP_TAG(outType, PROP_ID(tag)), outType, EightBitPayload(outType, payload, m_owned), 0});
    }
    void AddError(ULONG propId, SCODE err) {
        m_items.push_back(ErrorAnswer(propId, err));
        m_errors = true;
    }
    // StoredAnswer, added.
    void AddStored(ULONG requestedType, ULONG id, ULONG storedType, std::string_view payload,
                   std::uint64_t size, bool unicode) {
        const OutValue& v = m_items.emplace_back(
            StoredAnswer(requestedType, id, storedType, payload, size, unicode, m_owned));
        m_errors = m_errors || v.outType == PT_ERROR;
    }
    void Reserve(std::size_t values) { m_items.reserve(values); }
    // Empty again, keeping its room for the next array.
    void Clear() noexcept {
        m_items.clear();
        m_owned.clear();
        m_errors = false;
    }
    std::size_t Count() const noexcept { return m_items.size(); }
    bool HasErrors() const noexcept { return m_errors; }
    // Allocates with MAPIAllocateBuffer (parent null) or MAPIAllocateMore (parent set).
    LPSPropValue Build(void* parent = nullptr) const { return BuildPropArray(m_items, parent); }

private:
    std::vector<OutValue> m_items;
    // Converted payloads; a deque, so that growing it moves none that an item views.
    std::deque<std::string> m_owned;
    bool m_errors = false;
};

// Copies value `src` (its pointers included) into `dst`, allocating with MAPIAllocateMore on
// `parent`. Used for row sets and restrictions handed back to callers.
void CopyPropValue(const SPropValue& src, SPropValue& dst, void* parent);

// Compares two payloads of the same storage type: <0, 0, >0. Strings compare case-insensitively
// when ignoreCase is set.
int ComparePayload(ULONG type, std::string_view a, std::string_view b, bool ignoreCase);

// UTF-16LE payload <-> text.
std::u16string PayloadToU16(std::string_view payload);
std::string U16ToPayload(std::u16string_view text);
std::string StringPayload(const char16_t* s);  // from a NUL-terminated wide string
std::string Utf8Payload(std::string_view utf8);

// Little-endian helpers.
std::string PayloadLong(LONG v);
std::string PayloadBool(bool v);
std::string PayloadI8(std::int64_t v);

}  // namespace nx::mapi32
