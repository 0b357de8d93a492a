// JSON text with the full range of UTF-16 strings. JSON can spell any UTF-16 code unit as a
// "\uXXXX" escape, unpaired surrogates included, but nlohmann-json (like most JSON libraries)
// rejects an unpaired surrogate. mapiadmin must round-trip every PT_UNICODE value, so:
//
//  - ParseJsonText rewrites each unpaired surrogate escape, before nlohmann-json sees the text,
//    into a private two-character marker (U+FDD0 followed by U+E000 + the surrogate's offset from
//    U+D800; a literal U+FDD0 in the text is doubled). The rewrite keeps the byte length of the
//    escape, so error positions stay exact (except after a literal U+FDD0, which is mapped back).
//  - JsonToUtf16 turns a parsed string (markers included) into its exact UTF-16 units;
//    Utf16ToJson does the reverse for values that are about to be written.
//  - DumpJsonText writes a document and turns each marker back into a "\uXXXX" escape.
//
// The markers never appear in the text a user writes or reads. Comments (// and /* */) are
// allowed in the input.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nx::mapiadmin {

// Bad input: a JSON syntax error (with line and column) or a value that does not fit the item
// format (with the path of the offending element, such as "properties[2].value").
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws InputError "line L, column C: <what is wrong>" for malformed text.
nlohmann::json ParseJsonText(std::string_view text);

std::u16string JsonToUtf16(const std::string& parsed);
std::string Utf16ToJson(std::u16string_view text);

// Pretty-printed (indent 2) and newline-terminated.
std::string DumpJsonText(const nlohmann::ordered_json& doc);

}  // namespace nx::mapiadmin
