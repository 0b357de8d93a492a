// The properties of a MAPI object as mapiadmin's item model (ItemModel.h): every property read
// (large values through the property's stream, named properties with their names), and a list
// of properties set (named ones resolved on the message first, values the store refuses for
// their size written through a stream).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/mapi/Mapi.h"
#include "tools/mapiadmin/ItemModel.h"
#include "tools/mapiadmin/MapiRuntime.h"

namespace nx::mapiadmin {

// Every property of obj, sorted (tags in numeric order, then named properties by set and id or
// name), split into settable properties and those the store computes. A property a dump cannot
// carry is left out with a warning naming `what`.
void ReadAllProps(const Session& s, IMAPIProp* obj, const std::string& what, std::vector<Prop>& props,
                  std::vector<Prop>& computed);

// A named property's name as a map key.
struct NameKey {
    NamedId name;
    bool operator<(const NameKey& o) const {
        return std::tie(name.set, name.isString, name.id, name.name) <
               std::tie(o.name.set, o.name.isString, o.name.id, o.name.name);
    }
};
// The store's ids of named properties, by name.
using NamedIds = std::map<NameKey, std::uint16_t>;

// Resolves every named property of the item (message and attachments) with GetIDsFromNames and
// MAPI_CREATE on the message: named-property ids belong to the store.
NamedIds ResolveNames(const Session& s, IMessage* msg, const Item& item);

// The property's tag on this store: its own, or the one its name resolved to.
ULONG TagFor(const Prop& p, const NamedIds& ids);

// Sets props on obj in one SetProps; a value the store refuses because of its size is written
// through a stream. `what` names the object in messages.
void SetAll(const Session& s, IMAPIProp* obj, const std::vector<Prop>& props, const NamedIds& ids,
            const std::string& what);

// Writes bytes as the whole value of the property, through its stream, and commits.
void WriteStream(IMAPIProp* obj, ULONG tag, const std::string& bytes, const std::string& what);

}  // namespace nx::mapiadmin
