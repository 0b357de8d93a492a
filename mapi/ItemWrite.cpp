#include "mapi/ItemWrite.h"

#include <exception>

#include "common/Encoding.h"
#include "common/MapiHelpers.h"
#include "journal/Deltatrack.h"
#include "mapi/TraceScope.h"

namespace NAMESPACE_MAPI {

namespace {

// Runs one operation, in its own trace scope when the kind has one, and clears its bit in the
// record's flags when it went through.
void Apply(int32_t& flags, int32_t bit, const char* scopeName, const std::function<bool()>& operation) {
    bool done = false;
    if (scopeName != nullptr) {
        CTraceScope scope(scopeName, CTraceScope::Finish::kOutcome);
        done = scope.Result(operation());
    } else {
        done = operation();
    }
    if (done) flags &= ~bit;
}

}  // namespace

int DispatchItemWrite(const ItemWriteKind& kind, int32_t* flags, const ItemWriteOperations& operations) {
    CTraceScope scope(kind.write);
    try {
        if (operations.prepare) operations.prepare();
        if (flags == nullptr) {
            scope.Line("NULL Parameter");
            if (!kind.finishWithoutRecord) scope.NoFinish();
            return 1;
        }
        // The first bit present decides: a record both new and changed (0x0C) is added.
        if (*flags & NX_LOG_NEW) {
            Apply(*flags, NX_LOG_NEW, kind.addScope, operations.add);
        } else if (*flags & NX_LOG_CHANGED) {
            Apply(*flags, NX_LOG_CHANGED, kind.updateScope, operations.update);
        } else if (*flags & NX_LOG_DELETED) {
            Apply(*flags, NX_LOG_DELETED, nullptr, operations.remove);
        }
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}

std::optional<HRESULT> DeleteItemByHexId(IMAPIFolder* base, const std::string& pimid) {
    ComPtr<IMAPIFolder> parent = NAMESPACE_COMMON::OpenParentFolderByHexId(base, pimid);
    if (!parent) return std::nullopt;
    std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(pimid);
    SBinary id{static_cast<ULONG>(entryId.size()), entryId.data()};
    ENTRYLIST list{1, &id};
    return parent->DeleteMessages(&list, 0, nullptr, 0);
}

NAMESPACE_COMMON::CDateTime StoredModificationTime(IMessage* message,
                                                   const NAMESPACE_COMMON::TimeZoneSource& zone) {
    NAMESPACE_COMMON::CDateTime local;
    MapiBuffer<SPropValue> modified = NAMESPACE_COMMON::GetOneProp(message, PR_LAST_MODIFICATION_TIME);
    SYSTEMTIME utc{};
    if (modified && modified->ulPropTag == PR_LAST_MODIFICATION_TIME &&
        NAMESPACE_COMMON::FileTimeToSystemTime(modified->Value.ft, utc))
        NAMESPACE_COMMON::UtcToLocal(utc, local, zone);
    return local;
}

}  // namespace NAMESPACE_MAPI
