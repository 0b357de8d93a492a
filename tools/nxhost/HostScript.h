// nxhost's session language: one call of the agent interface per line.
//
//   # a comment; blank lines are skipped
//   GetAppProfile x
//   MAPILogOn                    (no character: the zero unit, the default profile)
//   MAPILogOn O
//   SetContactFolder "<id>00AB</id>"
//   ReadContacts "" ""
//   WriteContacts @contact.xml   (the argument is the UTF-8 content of the file)
//   GetContactFolder @buffer.txt
//   GetContactCount => count 3 result 0
//                                (after "=>": expected [out] values, name and value pairs;
//                                a difference makes the call count as failed)
//   sleep 250                    (milliseconds; not a call)
//   Shutdown
//
// A line is a procedure name (any case, as listed by `nxhost --list`) followed by one token per
// [in] parameter; a missing trailing argument is the empty text (or the zero unit). A token is
//   word        a run of characters without blanks
//   "text"      with the escapes \" \\ \n \r \t \0 \xHH \uHHHH (one UTF-16 unit, surrogates
//               allowed) and \UHHHHHH (a code point)
//   @path       the content of the file at path (relative paths from the script's folder)
// In any text (a file's content included), {identifier} stands for the identifier the last
// WriteContacts or WriteCalendars of the session answered with, so a session can update, read
// and delete the item it added; a call that holds it before any write gave one fails.
// A single-character parameter takes a token of exactly one UTF-16 unit (or "" for zero);
// the 3000-unit buffer of GetContactFolder takes a text of at most 3000 units, padded with
// zero units.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace nx::host {

struct ScriptStep {
    enum class Kind { Call, Sleep };
    Kind kind = Kind::Call;
    uint16_t opnum = 0;
    // One value per [in] or [in, out] parameter, in parameter order.
    std::vector<std::u16string> inputs;
    // Expected [out] values: parameter index and the value as nxhost prints it (a number for a
    // long, the text for a string or buffer, the buffer read up to its first zero unit).
    std::vector<std::pair<std::size_t, std::u16string>> expectations;
    unsigned sleepMs = 0;
};

// The [out] values of a call that differ from the step's expectations, one message each
// ("result is 1, expected 0"); empty when all match.
std::vector<std::string> CheckExpectations(const ScriptStep& step, nx::rpc::Args& args);

// Reads a file for an @path token; false with a message when it cannot.
using FileReader = std::function<bool(const std::string& path, std::string& content, std::string& error)>;

// Parses one line. Returns true with `step` empty for a blank or comment line; false with
// `error` for a line that cannot be run.
bool ParseScriptLine(std::string_view line, const FileReader& readFile, std::optional<ScriptStep>& step,
                     std::string& error);

// The placeholder of the last write's identifier.
inline constexpr std::u16string_view kIdentifierPlaceholder = u"{identifier}";

// Replaces every placeholder in the step's inputs with `identifier`. False (and the step as it
// was) when an input holds the placeholder and `identifier` is empty: there is nothing to fill in.
bool FillIdentifier(ScriptStep& step, std::u16string_view identifier);

// The call's Args with the step's inputs in place (outputs at their defaults).
nx::rpc::Args MakeArgs(const ScriptStep& step);

// Procedure lookup by name, any case; -1 when unknown.
int FindProcedure(std::string_view name);

// Names of a procedure's parameters for printing, aligned with its params.
const std::vector<std::string>& ParamNames(uint16_t opnum);

// One line per procedure: name and its arguments, for --list and the usage text.
std::string ProcedureList();

}  // namespace nx::host
