// The item model of mapiadmin: an item (message) as an ordered list of properties plus its
// attachments, independent of the MAPI ABI so that the JSON reader and writer can be tested and
// fuzzed without a runtime. MapiBinding.h converts between this model and SPropValue.
//
// Property types use MAPI's numeric codes (0x0002 a 16-bit integer, 0x001F UTF-16 text, 0x1000
// the multi-value flag, ...); the constants are named kPt* so that they never collide with the
// PT_* macros of the ABI.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace nx::mapiadmin {

using PropType = std::uint16_t;
constexpr PropType kPtUnspecified = 0x0000;
constexpr PropType kPtNull = 0x0001;
constexpr PropType kPtI2 = 0x0002;
constexpr PropType kPtLong = 0x0003;
constexpr PropType kPtR4 = 0x0004;
constexpr PropType kPtDouble = 0x0005;
constexpr PropType kPtCurrency = 0x0006;
constexpr PropType kPtAppTime = 0x0007;
constexpr PropType kPtError = 0x000A;
constexpr PropType kPtBoolean = 0x000B;
constexpr PropType kPtObject = 0x000D;
constexpr PropType kPtI8 = 0x0014;
constexpr PropType kPtString8 = 0x001E;
constexpr PropType kPtUnicode = 0x001F;
constexpr PropType kPtSysTime = 0x0040;
constexpr PropType kPtClsid = 0x0048;
constexpr PropType kPtBinary = 0x0102;
constexpr PropType kMvFlag = 0x1000;

constexpr PropType PropTypeOf(std::uint32_t tag) {
    return static_cast<PropType>(tag & 0xFFFF);
}
constexpr std::uint16_t PropIdOf(std::uint32_t tag) {
    return static_cast<std::uint16_t>(tag >> 16);
}
constexpr std::uint32_t MakeTag(std::uint16_t id, PropType type) {
    return (static_cast<std::uint32_t>(id) << 16) | type;
}
constexpr bool IsMultiValued(PropType t) {
    return (t & kMvFlag) != 0;
}
constexpr PropType BaseType(PropType t) {
    return static_cast<PropType>(t & ~kMvFlag);
}

// The property types mapiadmin reads and writes as values (single or, with kMvFlag, multi).
bool IsValueType(PropType base);

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
    auto operator<=>(const Guid&) const = default;
    bool operator==(const Guid&) const = default;
};

// A named property's name: a property set and either a numeric id (MNID_ID) or a string name
// (MNID_STRING), kept as UTF-16 so that any name survives.
struct NamedId {
    Guid set;
    bool isString = false;
    std::uint32_t id = 0;
    std::u16string name;
    bool operator==(const NamedId&) const = default;
};

// One value of a property. Which alternative a type uses:
//   int64_t        PT_I2, PT_LONG, PT_BOOLEAN (0, 1 or any other stored 16-bit value), PT_I8,
//                  PT_CURRENCY, PT_ERROR (the SCODE), PT_SYSTIME (FILETIME ticks, as bits)
//   double         PT_R4, PT_DOUBLE, PT_APPTIME
//   std::string    PT_STRING8 and PT_BINARY: the raw bytes
//   std::u16string PT_UNICODE: UTF-16 code units, unpaired surrogates included
//   Guid           PT_CLSID
using Scalar = std::variant<std::int64_t, double, std::string, std::u16string, Guid>;

struct Prop {
    // The full property tag. For a named property the id half is 0 until the name is resolved
    // against a store; the type half is always the value's type.
    std::uint32_t tag = 0;
    std::optional<NamedId> named;
    // One element for a single-valued type, any number (also none) for a multi-valued one.
    std::vector<Scalar> values;
    // Set by the reader when the value comes from a file ("file": ...): the path as written in
    // the JSON, resolved and loaded by LoadFileValues. values is empty until then.
    std::optional<std::string> file;
    // "delete": true: item update removes the property (no values).
    bool remove = false;

    PropType Type() const { return PropTypeOf(tag); }
    bool operator==(const Prop&) const = default;
};

// The message an attachment embeds (PR_ATTACH_DATA_OBJ opened as a message); a dump reports it,
// its own attachments aside.
struct EmbeddedMessage {
    std::vector<Prop> props;
    std::vector<Prop> computed;
    bool operator==(const EmbeddedMessage&) const = default;
};

struct Attachment {
    std::vector<Prop> props;     // properties to set (PR_ATTACH_DATA_BIN included)
    std::vector<Prop> computed;  // read-only values a dump reports; ignored on put
    std::optional<EmbeddedMessage> embedded;
    bool operator==(const Attachment&) const = default;
};

struct Item {
    std::vector<Prop> props;
    std::vector<Prop> computed;
    std::vector<Attachment> attachments;
    bool operator==(const Item&) const = default;
};

// Properties the store computes or assigns itself (entry ids, keys, PR_HASATTACH, the message
// size, the creation and modification times, ...). A dump lists them under "computed", which put
// ignores, so that a copy of an item gets its own ids and times.
bool IsComputedTag(std::uint32_t tag);
// The computed properties put refuses under "properties", so that a fixture never silently
// expects a value the store overwrites. The creation and modification times and the message size
// are not among them: the store keeps values a caller sets explicitly (fixtures of change reads
// set times).
bool IsReadOnlyTag(std::uint32_t tag);

// FILETIME ticks (100 ns since 1601-01-01 UTC) <-> ISO-8601 UTC text
// "YYYY-MM-DDTHH:MM:SS[.f{1,7}]Z" (also "YYYY-MM-DD" for midnight on input). Years 1601 to 9999.
std::optional<std::uint64_t> ParseIsoUtc(std::string_view text);
std::optional<std::string> FormatIsoUtc(std::uint64_t ticks);

// GUID text "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional on input, any case).
std::optional<Guid> ParseGuid(std::string_view text);
std::string FormatGuid(const Guid& g);

// Upper-case hex, two digits per byte, and back (even length, either case, optional 0x prefix).
std::string ToHex(std::string_view bytes);
std::optional<std::string> FromHex(std::string_view hex);

}  // namespace nx::mapiadmin
