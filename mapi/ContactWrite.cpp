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
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;

namespace {

const char* Outcome(int result) {
    return result ? "Succeeded" : "Failed";
}

void SetNamedText(IMessage* message, LONG lid, const std::string& text) {
    if (const ULONG tag = NAMESPACE_COMMON::GetNamedPropTag(message, PSETID_Address, lid, PT_UNICODE))
        NAMESPACE_COMMON::SetTextOrDelete(message, tag, text);
}

// The stored modification time as local time; the zero date when the message cannot say.
CDateTime StoredModificationTime(IMessage* message) {
    SizedSPropTagArray<1> tags = {1, {PR_LAST_MODIFICATION_TIME}};
    ULONG count = 0;
    MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
    SYSTEMTIME utc{};
    CDateTime local;
    if (SUCCEEDED(message->GetProps(tags.get(), 0, &count, values.put())) && values && count == 1 &&
        values[0].ulPropTag == PR_LAST_MODIFICATION_TIME &&
        NAMESPACE_COMMON::FileTimeToSystemTime(values[0].Value.ft, utc))
        NAMESPACE_COMMON::UtcToLocal(utc, local);
    return local;
}

}  // namespace

int CMAPIObject::WriteContacts(CContactEx* record) {
    CLogFile::Trace("CMAPIObject::WriteContacts - Begin\r\n");
    int result = 0;
    if (record == nullptr) {
        CLogFile::Trace("CMAPIObject::WriteContacts - NULL Parameter\r\n");
        result = 1;
    } else {
        try {
            // The first bit present decides: a record both new and changed (0x0C) is added.
            const int32_t flags = record->m_lFlag;
            if (flags & NX_LOG_NEW) {
                if (AddContact(record)) record->m_lFlag &= ~NX_LOG_NEW;
            } else if (flags & NX_LOG_CHANGED) {
                if (UpdateContact(record)) record->m_lFlag &= ~NX_LOG_CHANGED;
            } else if (flags & NX_LOG_DELETED) {
                if (DeleteContact(record)) record->m_lFlag &= ~NX_LOG_DELETED;
            }
        } catch (const std::exception&) {
            result = 1;
        }
    }
    CLogFile::Trace("CMAPIObject::WriteContacts - Finish\r\n");
    return result;
}

int CMAPIObject::AddContact(CContactEx* record) {
    CLogFile::Trace("CMAPIObject::AddContact - Begin\r\n");
    int result = 0;
    try {
        ComPtr<IMessage> message;
        if (m_lpContactFolder && record != nullptr && MapiFunctionsComplete() &&
            SUCCEEDED(m_lpContactFolder->CreateMessage(nullptr, 0, message.put())) && message) {
            result = UpdateContactMessage(message.get(), record);
            // The identifier goes back to the host even when the save failed, as far as the new
            // message can tell it.
            SizedSPropTagArray<1> tags = {1, {PR_ENTRYID}};
            ULONG count = 0;
            MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
            if (SUCCEEDED(message->GetProps(tags.get(), 0, &count, values.put())) && values && count == 1 &&
                values[0].ulPropTag == PR_ENTRYID)
                record->m_strPIMID =
                    NAMESPACE_COMMON::BinaryToHexString(values[0].Value.bin.lpb, values[0].Value.bin.cb);
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::AddContact - Finish(%s)\r\n", Outcome(result));
    return result;
}

int CMAPIObject::UpdateContact(CContactEx* record) {
    CLogFile::Trace("CMAPIObject::UpdateContact - Begin\r\n");
    int result = 0;
    try {
        if (m_lpContactFolder && record != nullptr && MapiFunctionsComplete()) {
            // A PIMID that decodes to no byte names nothing: no open is tried.
            const std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(record->m_strPIMID);
            ComPtr<IMessage> message;
            if (!entryId.empty() && SUCCEEDED(NAMESPACE_COMMON::OpenEntryAs(
                                        m_lpContactFolder.get(), static_cast<ULONG>(entryId.size()),
                                        entryId.data(), MAPI_MODIFY | MAPI_BEST_ACCESS, message)))
                result = UpdateContactMessage(message.get(), record);
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::UpdateContact - Finish(%s)\r\n", Outcome(result));
    return result;
}

int CMAPIObject::DeleteContact(CContactEx* record) {
    CLogFile::Trace("CMAPIObject::DeleteContact - Begin\r\n");
    int result = 0;
    try {
        if (m_lpContactFolder && record != nullptr && MapiFunctionsComplete()) {
            // Through the folder that holds the contact: it may sit in a sub-folder.
            if (ComPtr<IMAPIFolder> parent =
                    NAMESPACE_COMMON::OpenParentFolderByHexId(m_lpContactFolder.get(), record->m_strPIMID)) {
                std::vector<uint8_t> entryId = NAMESPACE_COMMON::HexStringToBinary(record->m_strPIMID);
                SBinary id{static_cast<ULONG>(entryId.size()), entryId.data()};
                ENTRYLIST list{1, &id};
                result = parent->DeleteMessages(&list, 0, nullptr, 0) == S_OK ? 1 : 0;
            }
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::DeleteContact - Finish(%s)\r\n", Outcome(result));
    return result;
}

int CMAPIObject::UpdateContactMessage(IMessage* message, CContactEx* record) {
    CLogFile::Trace("CMAPIObject::UpdateContactMessage - Begin\r\n");
    int result = 0;
    try {
        if (message != nullptr && record != nullptr) {
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
            result = message->SaveChanges(KEEP_OPEN_READWRITE) == S_OK ? 1 : 0;
            record->m_dtModified = StoredModificationTime(message);
        }
    } catch (const std::exception&) {
        result = 0;
    }
    CLogFile::Trace("CMAPIObject::UpdateContactMessage - Finish(%s)\r\n", Outcome(result));
    return result;
}

void CMAPIObject::UpdateContactDisplayName(IMessage* message, const tagContactFields& fields) {
    CLogFile::Trace("CMAPIObject::UpdateContactDisplayName - Begin\r\n");
    std::string name;
    std::string initials;
    ComposeContactName(fields, name, initials);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_INITIALS_W, initials);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_DISPLAY_NAME_W, name);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_SUBJECT_W, name);
    NAMESPACE_COMMON::SetTextOrDelete(message, PR_NORMALIZED_SUBJECT_W, name);
    SetNamedText(message, kLidFileUnder, name);
    CLogFile::Trace("CMAPIObject::UpdateContactDisplayName - Finish(%s)\r\n", Outcome(1));
}

}  // namespace NAMESPACE_MAPI
