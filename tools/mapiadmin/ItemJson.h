// The JSON form of an item, read by `mapiadmin item put` and written by `mapiadmin item dump`.
// docs/mapiadmin.md describes the format for fixture authors; in short:
//
// A file holds one item or an array of items. An item:
//
//   { "properties":  [ ENTRY, ... ],
//     "computed":    [ ENTRY, ... ],          written by dump, ignored by put
//     "attachments": [ { "properties": [ ENTRY, ... ], "computed": [ ... ] }, ... ] }
//
//   ENTRY  = { "tag": "PR_SUBJECT_W" | "0x0037001F" | 3604511, ["type": T,] VALUE }
//          | { "named": "PidLidEmail1EmailAddress", VALUE }
//          | { "set": "PSETID_Address" | "{GUID}", "id": 32899 | "0x8083", "type": T, VALUE }
//          | { "set": ..., "name": "Keywords", "type": T, VALUE }
//   VALUE  = "value": <JSON form of the type> | "hex": "0A1B..." | "file": "relative/or/absolute"
//          | "delete": true                  (item update: remove the property)
//
// Reading is strict: an unknown key, a missing or extra value, a value that does not fit its
// type, or a type that cannot be stored is an InputError naming the element
// ("attachments[0].properties[2].value: ...").
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/mapiadmin/ItemModel.h"
#include "tools/mapiadmin/JsonText.h"

namespace nx::mapiadmin {

// Parses an item. Values given as "file" are left unloaded (Prop::file set, no values).
Item ItemFromJson(std::string_view text);
// Parses one item (an object) or several (an array of items, which messages locate as "[3]...").
// *isArray tells which form the text had.
std::vector<Item> ItemsFromJson(std::string_view text, bool* isArray = nullptr);

// Reads every "file" value, relative paths against baseDir. Throws InputError naming the
// element (after prefix, such as "[3]") and the file when a file cannot be read.
void LoadFileValues(Item& item, const std::filesystem::path& baseDir, const std::string& prefix = "");

struct DumpOptions {
    // Offered every PT_BINARY value; returns the text for "file" when it wrote the bytes to a
    // file, or nothing to keep the value inline as hex. attachment is -1 for the message's own
    // properties, else the attachment's index in the item.
    std::function<std::optional<std::string>(const Prop& prop, int attachment, std::string_view bytes)>
        externalize;
};

std::string ItemToJson(const Item& item, const DumpOptions& options = {});

// The display form of one property's identity: "PR_SUBJECT_W", "PidLidFileUnder",
// "PSETID_Address:0x8083", "{GUID}:\"name\"" or "0x12340003"; for messages and errors.
std::string DescribeProp(const Prop& prop);

}  // namespace nx::mapiadmin
