// How deep the agent follows a folder tree. Every recursive walk (the folder tree of
// GetAppFolder, the sub-folder counts, the item reads) counts its nesting with one guard, so a
// store whose hierarchy nests deeper than any real one (only a damaged or hostile store does)
// cannot exhaust the stack: the folders below the cap are left out, as a folder that cannot be
// opened is.
#pragma once

#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

// The folder a walk starts from is level 1.
inline constexpr int kMaxFolderDepth = 256;

// One level of the calling thread's walk, for as long as the guard lives. Walks nest on one
// thread only (a read runs on the thread of its call), so the count is the thread's.
class FolderDepthGuard {
public:
    FolderDepthGuard() { ++Depth(); }
    ~FolderDepthGuard() { --Depth(); }
    FolderDepthGuard(const FolderDepthGuard&) = delete;
    FolderDepthGuard& operator=(const FolderDepthGuard&) = delete;

    bool TooDeep() const { return Depth() > kMaxFolderDepth; }

private:
    static int& Depth() {
        thread_local int depth = 0;
        return depth;
    }
};

}  // namespace NAMESPACE_MAPI
