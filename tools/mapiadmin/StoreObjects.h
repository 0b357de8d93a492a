// The MAPI objects mapiadmin's commands name: stores of the profile, folders by path or entry id,
// items by entry id. Every open is typed (common/MapiHelpers.h OpenEntryAs): an entry of another
// kind (a message where a folder is wanted) is not found, never an interface of the wrong shape.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/MapiHelpers.h"
#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/MapiRuntime.h"

namespace nx::mapiadmin {

// The typed open of an entry (its bytes; empty: the root folder) in a store or folder, with
// MAPI_BEST_ACCESS: the object as a T, or null with the status in `hr` (MAPI_E_NOT_FOUND also
// for an entry of another kind).
template <class T, class Source>
ComPtr<T> OpenAs(Source* source, const std::string& entryId, HRESULT& hr) {
    ComPtr<T> obj;
    hr = NAMESPACE_COMMON::OpenEntryAs(source, static_cast<ULONG>(entryId.size()), EntryIdData(entryId),
                                       MAPI_BEST_ACCESS, obj);
    if (hr == MAPI_E_INTERFACE_NOT_SUPPORTED) hr = MAPI_E_NOT_FOUND;
    return obj;
}

// The object (a folder or an item) with the given entry id in hex, opened in whichever store of
// the profile holds it. CommandError: kExitUsage for text that is not hex, kExitNotFound when no
// store holds such an object.
template <class T>
std::pair<ComPtr<IMsgStore>, ComPtr<T>> OpenById(const Session& s, const std::string& hex, const char* what);

// A folder as the commands hold it: its store, the folder, its entry id (bytes) and the path or id
// it was named by (for messages).
struct FolderRef {
    ComPtr<IMsgStore> store;
    ComPtr<IMAPIFolder> folder;
    std::string entryId;
    std::string path;
};

// One row of a folder's hierarchy table.
struct ChildFolder {
    std::u16string name;
    std::string entryId;
    std::optional<std::u16string> containerClass;
};
std::vector<ChildFolder> ChildFolders(const Runtime& rt, IMAPIFolder* folder);

// The root folder of a store of the profile.
FolderRef OpenRoot(const Session& s, const StoreInfo& st);

// A FOLDER argument (a path or an entry id in hex) resolved to the folder; CommandError naming
// the first path component that does not exist.
FolderRef ResolveFolder(const Session& s, const std::string& arg);

// Walks parts[1..n) below the root of store parts[0]. Returns how many components exist; `ref`
// ends on the deepest existing folder.
std::size_t Walk(const Session& s, const std::vector<std::string>& parts, FolderRef& ref);

// A path split into its names (ParsePathOrThrow: CommandError(kExitUsage) for a malformed path),
// and the first n names joined back with their escapes.
std::vector<std::string> ParsePathOrThrow(const std::string& path);
std::string JoinPath(const std::vector<std::string>& parts, std::size_t n);

// Splits a folder path at "/" ("\/" is a slash inside a name, "\\" a backslash; a trailing "/"
// is ignored). std::nullopt for an empty component or a dangling backslash.
std::optional<std::vector<std::string>> SplitFolderPath(const std::string& path);

// True when the argument names an object by entry id: hex digits only (an optional 0x prefix),
// an even count, at least 8.
bool LooksLikeEntryId(const std::string& arg);

}  // namespace nx::mapiadmin
