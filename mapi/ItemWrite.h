// The one write dispatch of both item kinds (procedures 12 and 13), mapi/ItemWrite.cpp: the
// record's change flags pick one operation, the first bit present in the order new (0x08),
// changed (0x04), deleted (0x20); none writes nothing. The bit of an operation that went through is
// cleared. A kind brings its operations and the trace texts where the kinds differ.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/DateTime.h"
#include "common/TimeZone.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

struct ItemWriteKind {
    const char* write;         // the procedure's operation: Begin, "NULL Parameter", Finish
    bool finishWithoutRecord;  // the Finish line also after "NULL Parameter"
    const char* addScope;      // null, or the operation an add runs in (its Begin and Finish(%s))
    const char* updateScope;   // the same for an update
};

// The operations on one record, each true when it went through. `prepare` runs first, also for a
// missing record.
struct ItemWriteOperations {
    std::function<void()> prepare;
    std::function<bool()> add;
    std::function<bool()> update;
    std::function<bool()> remove;
};

// 0 handled (whatever the operation gave), 1 for a missing record (`flags` null) or when something
// escaped an operation.
int DispatchItemWrite(const ItemWriteKind& kind, int32_t* flags, const ItemWriteOperations& operations);

// Deletes the item the PIMID names from the folder that holds it (below `base`: it may sit in a
// sub-folder). The status of DeleteMessages; nullopt when no folder holds such an item.
std::optional<HRESULT> DeleteItemByHexId(IMAPIFolder* base, const std::string& pimid);

// What a write answers as the item's time: the stored modification time in local time (converted
// with `zone`), the zero date when the message cannot tell it.
NAMESPACE_COMMON::CDateTime StoredModificationTime(
    IMessage* message,
    const NAMESPACE_COMMON::TimeZoneSource& zone = NAMESPACE_COMMON::SystemTimeZoneSource());

}  // namespace NAMESPACE_MAPI
