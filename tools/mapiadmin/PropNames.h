// Names mapiadmin accepts and writes for property tags, property types, property sets and
// well-known named properties. The numeric values are those of the public MAPI reference and
// [MS-OXPROPS]. The tag and type tables are mapiadmin's own, so the tool never depends on which
// PR_* macros the ABI headers happen to define; the sets are the ABI's GUIDs, and the well-known
// named properties are the agent's own table (common/NamedProps.h), so a fixture names a
// property exactly as the agent reads and writes it.
//
// Tag names: "PR_SUBJECT_W" (PT_UNICODE), "PR_SUBJECT_A" (PT_STRING8), and the bare "PR_SUBJECT"
// for the Unicode form. Names of other types carry no suffix ("PR_IMPORTANCE", "PR_ENTRYID").
// Several names may share one tag (PR_BUSINESS_ADDRESS_CITY and PR_LOCALITY); a dump writes the
// first name the table lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/mapiadmin/ItemModel.h"

namespace nx::mapiadmin {

std::optional<std::uint32_t> TagFromName(std::string_view name);
std::optional<std::string> NameFromTag(std::uint32_t tag);

// "PT_UNICODE", "PT_MV_UNICODE", the aliases PT_SHORT, PT_I4, PT_FLOAT, PT_R8, PT_LONGLONG,
// PT_TSTRING (= PT_UNICODE), or a number ("0x001F", "31").
std::optional<PropType> TypeFromName(std::string_view name);
// The PT_* name of a type, or "0x%04X" when it has none.
std::string TypeName(PropType type);

// "PSETID_Address" and the other known set names, or GUID text.
std::optional<Guid> SetFromName(std::string_view name);
// The known name of a set, or its GUID text.
std::string SetName(const Guid& set);

// Well-known named properties by their [MS-OXPROPS] canonical name ("PidLidEmail1EmailAddress",
// "PidNameKeywords"): the name and the type of its value.
struct NamedAlias {
    NamedId name;
    PropType type;
};
std::optional<NamedAlias> NamedFromAlias(std::string_view alias);
std::optional<std::string> AliasFromNamed(const NamedId& name, PropType type);

}  // namespace nx::mapiadmin
