// Procedure 12: writing one contact from the host's document. The record's change flags pick
// the operation (add, update or delete, mapi/ItemWrite.h, which finds the item an update or a
// deletion names within the selection); add and update both end in UpdateContactMessage. An add
// writes every property the write covers, setting what the record holds and removing what it does
// not. An update writes only the groups whose inbound text differs from what the read sends for
// the stored contact: what the host sent back unchanged stays exactly as stored, what it changed or
// cleared is set or removed, and a write that changes nothing saves nothing. The properties of a
// write are set with one SetProps and removed with one DeleteProps, their names resolved with one
// GetIDsFromNames; the results are ignored (a value the store refuses does not keep the others
// from being set): SaveChanges alone decides, and the store's transaction makes a failed save
// leave the message as it was.
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

int CMAPIObject::WriteContacts(CContactEx* record) {
    ++m_WriteCount;  // a read waiting on the host prepares its next document again
    static constexpr ItemWriteKind kContactWrite{"WriteContacts", true, nullptr, nullptr, kContactFolders};
    const ItemWriteRecord parts =
        record ? ItemWriteRecord{&record->m_lFlag, &record->m_strPIMID, &record->m_dtModified}
               : ItemWriteRecord{};
    return DispatchItemWrite(kContactWrite, parts,
                             {m_lpContactFolder.get(), m_Config.subFolder, m_lpMAPISession.get(),
                              &KeptForContactFolder().selection},
                             {nullptr, [&] { return AddContact(record) != 0; },
                              [&](const ItemTarget& target) { return UpdateContact(record, target) != 0; },
                              [&](const ItemTarget& target) { return DeleteContact(record, target) != 0; }});
}

CMAPIObject::ContactWriteKept& CMAPIObject::KeptForContactFolder() {
    // Names and ids are a store's and a folder's: another selection starts from nothing.
    if (m_ContactWriteKept.selection.folder.get() != m_lpContactFolder.get()) {
        m_ContactWriteKept = {};
        m_ContactWriteKept.selection.folder = m_lpContactFolder;
    }
    return m_ContactWriteKept;
}

int CMAPIObject::AddContact(CContactEx* record) {
    CTraceScope scope("AddContact", CTraceScope::Finish::kOutcome);
    try {
        ComPtr<IMessage> message;
        if (!m_lpContactFolder || record == nullptr || !MapiFunctionsComplete() ||
            FAILED(m_lpContactFolder->CreateMessage(nullptr, 0, message.put())) || !message)
            return 0;
        const int result = UpdateContactMessage(message.get(), record, nullptr, LocalZone());
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

int CMAPIObject::UpdateContact(CContactEx* record, const ItemTarget& target) {
    CTraceScope scope("UpdateContact", CTraceScope::Finish::kOutcome);
    try {
        if (record == nullptr || !target.message) return 0;
        // One zone for every time of the write: the machine's, taken once.
        const NAMESPACE_COMMON::TimeZoneSource zone = LocalZone();
        // What the read sends for the contact as it is stored: what the host sent back of it stays.
        const CContactSentFields stored(target.message.get(), zone, &KeptForContactFolder().readNamedTags);
        return scope.Result(UpdateContactMessage(target.message.get(), record, &stored, zone));
    } catch (const std::exception&) {
        return 0;
    }
}

int CMAPIObject::DeleteContact(CContactEx* record, const ItemTarget& target) {
    CTraceScope scope("DeleteContact", CTraceScope::Finish::kOutcome);
    try {
        if (record == nullptr || !target.parent) return 0;
        return scope.Result(DeleteTarget(target) == S_OK ? 1 : 0);
    } catch (const std::exception&) {
        return 0;
    }
}

int CMAPIObject::UpdateContactMessage(IMessage* message, CContactEx* record, const CContactSentFields* stored,
                                      const NAMESPACE_COMMON::TimeZoneSource& zone) {
    CTraceScope scope("UpdateContactMessage", CTraceScope::Finish::kOutcome);
    try {
        if (message == nullptr || record == nullptr) return 0;
        tagContactFields fields;
        ContactExToFields(fields, *record);
        // Every stored field of the table, each once, unless the host sent back what the read
        // sends for it. One stored address serves every instant-messaging service: it is written
        // with the first of their rows.
        std::vector<const ContactField*> changed;
        for (const ContactField& field : ContactFields()) {
            if (!field.written) continue;
            if (field.kind == ContactFieldKind::InstantMessaging && field.id != kFieldIMAddress) continue;
            if (stored != nullptr && ContactFieldSentBack(field, fields, *stored)) continue;
            changed.push_back(&field);
        }
        const bool names = stored == nullptr || !ContactNamesSentBack(fields, *stored);
        // The names of what is written, resolved in one call.
        // The message is the selected folder's store's (a new one, or one in scope).
        CContactWriteNames named(&KeptForContactFolder().writeNames);
        for (const ContactField* field : changed) named.Want(*field);
        if (names) named.WantLid(kLidFileUnder);
        named.Resolve(message);

        // Every property set from the record or removed, then all of them in one SetProps and one
        // DeleteProps: the message ends as the same writes made one by one would leave it.
        NAMESPACE_COMMON::CPropEdits edits;
        // An update acts on a contact only (mapi/ItemWrite.h): its class stays as it is.
        if (stored == nullptr) edits.SetText(PR_MESSAGE_CLASS_W, "IPM.Contact");
        for (const ContactField* field : changed) {
            const std::string_view text = field->kind == ContactFieldKind::InstantMessaging
                                              ? std::string_view(fields.strIMAddress)
                                              : fields.Text(field->id);
            switch (field->kind) {
                case ContactFieldKind::Text:
                case ContactFieldKind::Body:
                    edits.SetText(field->tag, text);
                    break;
                case ContactFieldKind::NamedText:
                case ContactFieldKind::InstantMessaging:
                    if (const ULONG tag = named.Tag(field->lid)) edits.SetText(tag, text);
                    break;
                case ContactFieldKind::Email:
                    SetContactEmail(edits, named, field->lid, text);
                    break;
                case ContactFieldKind::Categories:
                    SetContactCategories(edits, named.KeywordsTag(), text);
                    break;
                case ContactFieldKind::Date:
                    edits.SetLocalTime(field->tag, ParseContactDate(text), zone);
                    break;
                case ContactFieldKind::FullName:
                    break;
            }
        }
        if (names) UpdateContactDisplayName(edits, named, fields);
        const bool written = stored == nullptr || !changed.empty() || names;
        edits.Apply(message);
        const bool pictureWritten = UpdateContactPicture(message, fields.strPicturePath, stored, scope);
        int result = 1;
        // Nothing differs from what is stored: nothing is saved, and the item keeps its time.
        if (written || pictureWritten) result = message->SaveChanges(KEEP_OPEN_READWRITE) == S_OK ? 1 : 0;
        record->m_dtModified = StoredModificationTime(message, zone);
        return scope.Result(result);
    } catch (const std::exception&) {
        return 0;
    }
}

bool CMAPIObject::UpdateContactPicture(IMessage* message, const std::string& path,
                                       const CContactSentFields* stored, const CTraceScope& scope) {
    std::string bytes;
    const PictureFile file = ReadPictureFile(path, bytes);
    if (file != PictureFile::None && file != PictureFile::Read) {
        // A picture the agent will not take leaves the stored one (and its flag) as they are.
        const std::string line = "PICPath refused(" + path + "): " + PictureFileText(file);
        scope.Line(line.c_str());
        if (stored != nullptr) return false;
        SetContactPicture(message, nullptr);  // a new contact has none
        return true;
    }
    if (stored != nullptr) {
        // The host sent back the photo it read, or none for a contact without one: it stays.
        std::string storedBytes;
        const bool hasPicture = stored->MayHaveAttachments() && StoredPicture(message, storedBytes);
        if (file == PictureFile::Read ? hasPicture && storedBytes == bytes : !hasPicture) return false;
    }
    SetContactPicture(message, file == PictureFile::Read ? &bytes : nullptr);
    return true;
}

void CMAPIObject::UpdateContactDisplayName(NAMESPACE_COMMON::CPropEdits& edits,
                                           const CContactWriteNames& named, const tagContactFields& fields) {
    CTraceScope scope("UpdateContactDisplayName", CTraceScope::Finish::kOutcome);
    std::string name;
    std::string initials;
    ComposeContactName(fields, name, initials);
    edits.SetText(PR_INITIALS_W, initials);
    edits.SetText(PR_DISPLAY_NAME_W, name);
    edits.SetText(PR_SUBJECT_W, name);
    edits.SetText(PR_NORMALIZED_SUBJECT_W, name);
    if (const ULONG tag = named.Tag(kLidFileUnder)) edits.SetText(tag, name);
    scope.Result(1);
}

}  // namespace NAMESPACE_MAPI
