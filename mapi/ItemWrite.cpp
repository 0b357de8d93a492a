#include "mapi/ItemWrite.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <initializer_list>

#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "journal/Deltatrack.h"
#include "mapi/FolderDepth.h"
#include "mapi/TraceScope.h"
#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

namespace {

// A few properties of one object, read in one GetProps (MAPI_UNICODE).
class Props {
public:
    Props(IMAPIProp* object, std::initializer_list<ULONG> tags) : m_values(MapiTable().MAPIFreeBuffer) {
        std::vector<ULONG> array(1 + tags.size());
        array[0] = static_cast<ULONG>(tags.size());
        std::copy(tags.begin(), tags.end(), array.begin() + 1);
        if (object == nullptr || FAILED(object->GetProps(reinterpret_cast<LPSPropTagArray>(array.data()),
                                                         MAPI_UNICODE, &m_count, m_values.put())))
            m_values.reset();
        if (!m_values) m_count = 0;
    }
    // The binary value of the tag, or null.
    const SBinary* Binary(ULONG tag) const {
        const SRow row{0, m_count, m_values.get()};
        return NAMESPACE_COMMON::FindBinary(row, tag);
    }
    std::string Text(ULONG tag) const {
        const SRow row{0, m_count, m_values.get()};
        return NAMESPACE_COMMON::FindText(row, tag);
    }

private:
    MapiBuffer<SPropValue> m_values;
    ULONG m_count = 0;
};

// Record keys and entry ids compared byte for byte: equal bytes name the same object (record keys
// are made to be compared so; two forms of one entry id differ and are told apart by record key).
bool SameBytes(const SBinary* a, const SBinary* b) {
    return a != nullptr && b != nullptr && a->cb == b->cb && a->cb > 0 &&
           std::memcmp(a->lpb, b->lpb, a->cb) == 0;
}

// A message or container class as the read's equality restriction matches it: the whole text,
// in any case.
bool SameClass(const std::string& stored, const char16_t* kindClass) {
    return nx::sys::EqualsIgnoreAsciiCase(stored, nx::sys::Utf16ToUtf8(kindClass));
}

// A binary value's bytes; none for a missing value.
std::vector<uint8_t> Bytes(const SBinary* value) {
    return value && value->lpb ? std::vector<uint8_t>(value->lpb, value->lpb + value->cb)
                               : std::vector<uint8_t>();
}

// Kept bytes as a binary value (SameBytes never matches an empty one).
SBinary View(std::vector<uint8_t>& bytes) {
    return SBinary{static_cast<ULONG>(bytes.size()), bytes.data()};
}

// Runs one operation, in its own trace scope when the kind has one, and clears its bit in the
// record's flags when it went through.
template <typename Operation>
bool Apply(int32_t& flags, int32_t bit, const char* scopeName, Operation&& operation) {
    bool done = false;
    if (scopeName != nullptr) {
        CTraceScope scope(scopeName, CTraceScope::Finish::kOutcome);
        done = scope.Result(operation());
    } else {
        done = operation();
    }
    if (done) flags &= ~bit;
    return done;
}

// An update or a deletion: the item in scope, or the refusal traced.
bool ApplyToTarget(const ItemWriteKind& kind, const CTraceScope& write, const ItemWriteSelection& selection,
                   const std::string& pimid, const char* what,
                   const std::function<bool(const ItemTarget&)>& operation) {
    ItemTarget target;
    const ScopeRefusal refusal = FindItemInScope(kind.folders, selection, pimid, target);
    if (refusal != ScopeRefusal::None) {
        // No identifier in the line: the writes trace none, so a trace reads the same in every store.
        const std::string line = std::string(what) + " refused: " + ScopeRefusalText(refusal);
        write.Line(line.c_str());
        return false;
    }
    return operation(target);
}

}  // namespace

int DispatchItemWrite(const ItemWriteKind& kind, const ItemWriteRecord& record,
                      const ItemWriteSelection& selection, const ItemWriteOperations& operations) {
    CTraceScope scope(kind.write);
    try {
        if (operations.prepare) operations.prepare();
        if (record.flags == nullptr) {
            scope.Line("NULL Parameter");
            if (!kind.finishWithoutRecord) scope.NoFinish();
            return 1;
        }
        assert(record.pimid != nullptr && record.modified != nullptr);  // a record brings all three
        int32_t& flags = *record.flags;
        // The first bit present decides: a record both new and changed (0x0C) is added.
        bool done = true;
        if (flags & NX_LOG_NEW) {
            Apply(flags, NX_LOG_NEW, kind.addScope, operations.add);
        } else if (flags & NX_LOG_CHANGED) {
            done = Apply(flags, NX_LOG_CHANGED, kind.updateScope, [&] {
                return ApplyToTarget(kind, scope, selection, *record.pimid, "Update", operations.update);
            });
        } else if (flags & NX_LOG_DELETED) {
            done = Apply(flags, NX_LOG_DELETED, nullptr, [&] {
                return ApplyToTarget(kind, scope, selection, *record.pimid, "Delete", operations.remove);
            });
        }
        if (!done) {
            // The host reads the empty identifier as "no item", as for a failed add; there is no
            // time of a write that did not happen.
            record.pimid->clear();
            *record.modified = NAMESPACE_COMMON::CDateTime::Null();
        }
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}

const char* ScopeRefusalText(ScopeRefusal refusal) {
    switch (refusal) {
        case ScopeRefusal::None:
            return "in scope";
        case ScopeRefusal::NoIdentifier:
            return "no identifier";
        case ScopeRefusal::NoSuchItem:
            return "no such item";
        case ScopeRefusal::OtherStore:
            return "an item of another store";
        case ScopeRefusal::OtherKind:
            return "an item of another class";
        case ScopeRefusal::OtherFolder:
            return "an item of another folder";
    }
    return "";
}

ScopeRefusal FindItemInScope(const FolderKind& kind, const ItemWriteSelection& selection,
                             const std::string& pimid, ItemTarget& target) {
    target = ItemTarget{};
    target.entryId = NAMESPACE_COMMON::HexStringToBinary(pimid);
    // No identifier names no item: an empty id would open the store's root folder.
    if (target.entryId.empty()) return ScopeRefusal::NoIdentifier;
    if (selection.folder == nullptr || !MapiFunctionsComplete()) return ScopeRefusal::NoSuchItem;
    const auto cbId = static_cast<ULONG>(target.entryId.size());
    if (FAILED(NAMESPACE_COMMON::OpenEntryAs(selection.folder, cbId, target.entryId.data(),
                                             MAPI_MODIFY | MAPI_BEST_ACCESS, target.message))) {
        // The selection's store opens only its own items; the session opens those of every store.
        ComPtr<IMessage> elsewhere;
        if (selection.session != nullptr &&
            SUCCEEDED(NAMESPACE_COMMON::OpenEntryAs(selection.session, cbId, target.entryId.data(),
                                                    MAPI_BEST_ACCESS, elsewhere)))
            return ScopeRefusal::OtherStore;
        return ScopeRefusal::NoSuchItem;
    }

    KeptSelectionIds local;
    KeptSelectionIds& ids = selection.kept ? *selection.kept : local;
    if (ids.folder.get() != selection.folder || ids.entryId.empty()) {
        const Props selected(selection.folder, {PR_ENTRYID, PR_RECORD_KEY, PR_STORE_RECORD_KEY});
        const SBinary* store = selected.Binary(PR_STORE_RECORD_KEY);
        ids = KeptSelectionIds{ComPtr<IMAPIFolder>(selection.folder), Bytes(selected.Binary(PR_ENTRYID)),
                               Bytes(selected.Binary(PR_RECORD_KEY)), Bytes(store), store != nullptr};
    }
    const SBinary selectedId = View(ids.entryId);
    const SBinary selectedKey = View(ids.recordKey);
    const SBinary selectedStore = View(ids.storeKey);
    const Props item(target.message.get(), {PR_MESSAGE_CLASS_W, PR_PARENT_ENTRYID, PR_STORE_RECORD_KEY});
    const SBinary* itemStore = item.Binary(PR_STORE_RECORD_KEY);
    if (itemStore && ids.hasStoreKey && !SameBytes(itemStore, &selectedStore))
        return ScopeRefusal::OtherStore;
    // The read takes the whole class, so a derived class ("IPM.Contact.Custom") is not read; its
    // equality restriction ignores case, so a class another program wrote in another case is.
    if (!SameClass(item.Text(PR_MESSAGE_CLASS_W), kind.itemClass)) return ScopeRefusal::OtherKind;

    // Up from the item's folder: each folder is the selection, or one the read's walk descends
    // through (the switch on, the kind's container class exactly) on its way to the selection.
    std::vector<uint8_t> folderId = Bytes(item.Binary(PR_PARENT_ENTRYID));
    for (int level = 1; !folderId.empty() && level <= kMaxFolderDepth; ++level) {
        const SBinary current{static_cast<ULONG>(folderId.size()), folderId.data()};
        if (SameBytes(&current, &selectedId)) {
            // The item's own folder is the selection itself.
            if (level == 1) target.parent = ComPtr<IMAPIFolder>(selection.folder);
            return ScopeRefusal::None;
        }
        ComPtr<IMAPIFolder> folder;
        if (FAILED(NAMESPACE_COMMON::OpenEntryAs(selection.folder, current.cb, current.lpb, MAPI_BEST_ACCESS,
                                                 folder)))
            return ScopeRefusal::OtherFolder;
        if (level == 1) target.parent = folder;
        const Props props(folder.get(), {PR_RECORD_KEY, PR_CONTAINER_CLASS_W, PR_PARENT_ENTRYID});
        if (SameBytes(props.Binary(PR_RECORD_KEY), &selectedKey)) return ScopeRefusal::None;
        if (!selection.subFolders || !SameClass(props.Text(PR_CONTAINER_CLASS_W), kind.containerClass))
            return ScopeRefusal::OtherFolder;
        const SBinary* above = props.Binary(PR_PARENT_ENTRYID);
        // A folder that is its own parent is the store's root: the selection is not above it.
        if (SameBytes(above, &current)) return ScopeRefusal::OtherFolder;
        folderId = Bytes(above);
    }
    // Deeper than a read walks (or no folder at all): the read would not deliver it.
    return ScopeRefusal::OtherFolder;
}

HRESULT DeleteTarget(const ItemTarget& target) {
    assert(target.parent && !target.entryId.empty());  // FindItemInScope found both
    std::vector<uint8_t> entryId = target.entryId;
    SBinary id{static_cast<ULONG>(entryId.size()), entryId.data()};
    ENTRYLIST list{1, &id};
    return target.parent->DeleteMessages(&list, 0, nullptr, 0);
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
