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

#include <cstdint>
#include <deque>
#include <map>
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
// True when the payload is well formed for the (storable) type.
bool ValidPayload(ULONG type, std::string_view payload) noexcept;

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
    PropRef At(std::size_t i) const noexcept;
    // The value of property `id`; false when the record has none.
    bool Find(ULONG id, PropRef& out) const noexcept;
    // The same for ids asked in ascending order: `cursor` (0 at first) walks the index once
    // for all of them instead of a search each.
    bool FindFrom(ULONG id, std::size_t& cursor, PropRef& out) const noexcept;

private:
    std::string_view m_record;
    std::size_t m_count = 0;
};

// Converts a caller's value to (storage type, payload). Throws MapiError(MAPI_E_INVALID_TYPE or
// MAPI_E_BAD_VALUE) for a value that cannot be stored.
StoredValue FromSPropValue(const SPropValue& v);

// What a caller asked for and what is there: the type to hand out for a stored type given the
// requested tag type (PT_UNSPECIFIED takes the stored type; string width follows `unicode`).
// Returns PT_ERROR when the stored value cannot be given as the requested type.
ULONG OutputType(ULONG requestedType, ULONG storedType, bool unicode) noexcept;

// Builds one SPropValue array in a single MAPI buffer. Add values, then Build.
class PropArrayBuilder {
public:
    // The payload is in storage form and must stay alive until Build.
    void AddValue(ULONG tag, ULONG outType, std::string_view payload);
    void AddError(ULONG propId, SCODE err);
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
    LPSPropValue Build(void* parent = nullptr);

private:
    struct Item {
        ULONG tag;
        ULONG outType;
        std::string_view payload;  // storage form, or in m_owned: the UTF-8 text of PT_STRING8 values
        SCODE err;
        std::string_view Payload() const noexcept { return payload; }
    };
    std::vector<Item> m_items;
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
