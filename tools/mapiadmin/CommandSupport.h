// What every command of mapiadmin shares: the texts of its messages, the check that turns a
// failed MAPI call into a CommandError, JSON output, and entry ids as bytes.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "platform/mapi/Mapi.h"
#include "tools/mapiadmin/MapiRuntime.h"

namespace nx::mapiadmin {

using ojson = nlohmann::ordered_json;

// "\"text\"": how a name or path is quoted in messages.
std::string Quote(const std::string& s);
std::string Utf8(const std::u16string& s);

// The runtime's text for a warning or error code: "MAPI_E_NOT_FOUND: not found (0x8004010F)".
std::string HrText(HRESULT hr);
// ThrowHr(what, hr) when hr is a failure.
void Check(HRESULT hr, const std::string& what);
// "mapiadmin: warning: <message>" on standard error.
void Warn(const std::string& message);

// The document as mapiadmin writes JSON (two-space indent, a final line end).
void WriteJson(const ojson& doc, std::ostream& out);
// A UTF-8 name from the runtime as a JSON string (bytes that are not UTF-8 become U+FFFD).
std::string JsonName(const std::string& utf8);
// A store as profile list --json and store list --json show it.
ojson StoreJson(const StoreInfo& st);

// The bytes of an entry id (empty for none), and the same bytes as MAPI takes them.
std::string EntryIdBytes(const SBinary& b);
LPENTRYID AsEntryId(const std::string& bytes);
const BYTE* EntryIdData(const std::string& bytes);
// The PR_ENTRYID of an object; CommandError when it has none.
std::string EntryIdOf(const Runtime& rt, IMAPIProp* obj);

}  // namespace nx::mapiadmin
