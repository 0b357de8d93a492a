// Procedure 12: writing one contact from the host's document. The record's change flags pick
// the operation (add, update or delete); add and update both end in UpdateContactMessage, which
// writes every property the write covers, setting what the record holds and removing what it
// does not, so a write is a full replacement of the synchronised properties. Each property is
// set on its own and its result ignored: SaveChanges alone decides, and the store's transaction
// makes a failed save leave the message as it was.
#include "contacts/ContactWrite.h"

#include <exception>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/TimeZone.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactPicture.h"
#include "mapi/ItemWrite.h"
#include "mapi/MAPIObject.h"
#include "mapi/TraceScope.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;

namespace {

void SetNamedText(IMessage* message, LONG lid, const std::string& text) {
    if (const ULONG tag = NAMESPACE_COMMON::GetNamedPropTag(message, PSETID_Address, lid, PT_UNICODE))
        NAMESPACE_COMMON::SetTextOrDelete(message, tag, text);
}

}  // namespace

int CMAPIObject::WriteContacts(CContactEx* record) {
    static constexpr ItemWriteKind kContactWrite{"WriteContacts", true, nullptr, nullptr};
    return DispatchItemWrite(
        kContactWrite, record ? &record->m_lFlag : nullptr,
        {nullptr, [&] { return AddContact(record) != 0; }, [&] { return UpdateContact(record) != 0; },
         [&] { return DeleteContact(record) != 0; }});
}

int CMAPIObject::AddContact(CContactEx* record) {
    CTraceScope scope("AddContact", CTraceScope::Finish::kOutcome);
    try {
        ComPtr<IMessage> message;
        if (!m_lpContactFolder || record == nullptr || !MapiFunctionsComplete() ||
            FAILED(m_lpContactFolder->CreateMessage(nullptr, 0, message.put())) || !message)
            return 0;
        const int result = UpdateContactMessage(message.get(), record);
        // The identifier goes back to the host even when the save failed, as far as the new
        // message can tell it.
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
        if (id && id->ulPropTag == PR_ENTRYID)
            record->m_strPIMID = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
        return scope.Result(result);
    } catch (const std::exception&) {
        return 0;
    }
}

int CMAPIObject::UpdateContact(CContactEx* record) {
    CTraceScope scope("UpdateContact", CTraceScope::Finish::kOutcome);
    try {
        if (!m_lpContactFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        // A PIMID that decodes to no byte names nothing: no open is tried.
        const std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(record->m_strPIMID);
        ComPtr<IMessage> message;
        if (entryId.empty() ||
            FAILED(NAMESPACE_COMMON::OpenEntryAs(m_lpContactFolder.get(), static_cast<ULONG>(entryId.size()),
                                                 entryId.data(), MAPI_MODIFY | MAPI_BEST_ACCESS, message)))
            return 0;
        return scope.Result(UpdateContactMessage(message.get(), record));
    } catch (const std::exception&) {
        return 0;
    }
}

int CMAPIObject::DeleteContact(CContactEx* record) {
    CTraceScope scope("DeleteContact", CTraceScope::Finish::kOutcome);
    try {
        if (!m_lpContactFolder || record == nullptr || !MapiFunctionsComplete()) return 0;
        const std::optional<HRESULT> hr = DeleteItemByHexId(m_lpContactFolder.get(), record->m_strPIMID);
        return scope.Result(hr == S_OK ? 1 : 0);
    } catch (const std::exception&) {
        return 0;
    }
}

int CMAPIObject::UpdateContactMessage(IMessage* message, CContactEx* record) {
    CTraceScope scope("UpdateContactMessage", CTraceScope::Finish::kOutcome);
    try {
        if (message == nullptr || record == nullptr) return 0;
        tagContactFields fields;
        ContactExToFields(fields, *record);
        NAMESPACE_COMMON::SetTextOrDelete(message, PR_MESSAGE_CLASS_W, "IPM.Contact");
        // Every stored field of the table, each once: set from the record or removed.
        for (const ContactField& field : ContactFields()) {
            if (!field.written) continue;
            const std::string& text = field.kind == ContactFieldKind::InstantMessaging
                                          ? fields.strIMAddress
                                          : fields.Text(field.id);
            switch (field.kind) {
                case ContactFieldKind::Text:
                case ContactFieldKind::Body:
                    NAMESPACE_COMMON::SetTextOrDelete(message, field.tag, text);
                    break;
                case ContactFieldKind::NamedText:
                    SetNamedText(message, field.lid, text);
                    break;
                case ContactFieldKind::Email:
                    SetContactEmail(message, field.lid, text);
                    break;
                case ContactFieldKind::InstantMessaging:
                    // One stored address for every service: written with the first of its rows.
                    if (field.id == kFieldIMAddress) SetNamedText(message, field.lid, text);
                    break;
                case ContactFieldKind::Categories:
                    SetContactCategories(message, text);
                    break;
                case ContactFieldKind::Date:
                    NAMESPACE_COMMON::SetLocalTimeOrDelete(message, field.tag, ParseContactDate(text));
                    break;
                case ContactFieldKind::FullName:
                    break;
            }
        }
        UpdateContactDisplayName(message, fields);
        SetContactPicture(message, fields.strPicturePath);
        const int result = message->SaveChanges(KEEP_OPEN_READWRITE) == S_OK ? 1 : 0;
        record->m_dtModified = StoredModificationTime(message);
        return scope.Result(result);
    } catch (const std::exception&) {
        return 0;
    }
}

void CMAPIObject::UpdateContactDisplayName(IMessage* message, const tagContactFields& fields) {
    CTraceScope scope("UpdateContactDisplayName", CTraceScope::Finish::kOutcome);
    std::string name;
    std::string initials;
    ComposeContactName(fields, name, initials);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_INITIALS_W, initials);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_DISPLAY_NAME_W, name);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_SUBJECT_W, name);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_NORMALIZED_SUBJECT_W, name);
    SetNamedText(message, kLidFileUnder, name);
    scope.Result(1);
}

}  // namespace NAMESPACE_MAPI
