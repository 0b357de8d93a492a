// Declarations shared by the store, folder and message implementations.
#pragma once

#include "platform/mapi32/Objects.h"

namespace nx::mapi32 {

class MessageObj;

// Current time as a FILETIME payload.
std::string NowPayload();

FolderObj* NewFolder(StoreCtxPtr ctx, std::int64_t id);
ComBase<IMessage>* NewMessage(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind, PropMap props,
                              bool readOnly = false);
// A message of the file from its stored record; null when the record is damaged.
ComBase<IMessage>* NewStoredMessage(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind,
                                    std::string record, bool readOnly);

// Computed properties every object of a store carries.
void AddStoreIdentity(const StoreCtx& ctx, PropMap& out);

// Row sources of a store's tables: a folder's contents (messages, or associated ones), and the
// rows of a loader (run with the store's mutex held), both sharing the store's read snapshot.
std::unique_ptr<RowSource> NewContentsSource(StoreCtxPtr ctx, std::int64_t folder, int kind);
std::unique_ptr<RowSource> NewStoreSource(StoreCtxPtr ctx, RowLoader loader);
std::vector<TableRow> LoadHierarchyRows(const StoreCtx& ctx, std::int64_t folder);

// PR_INSTANCE_KEY payload of a row.
std::string InstanceKey(std::int64_t key);

}  // namespace nx::mapi32
