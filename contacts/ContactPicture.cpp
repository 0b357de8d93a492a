#include "contacts/ContactPicture.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactRecord.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"

namespace NAMESPACE_MAPI {
namespace {

// Reads an attachment's data through a stream (the table reports a large value as
// MAPI_E_NOT_ENOUGH_MEMORY instead of its bytes). What came before a failed read is kept; no
// stream gives no bytes.
std::string ReadAttachmentStream(IMessage* message, ULONG attachNum) {
    std::string bytes;
    ComPtr<IAttach> attach;
    if (SUCCEEDED(message->OpenAttach(attachNum, nullptr, MAPI_BEST_ACCESS, attach.put())) && attach)
        NAMESPACE_COMMON::ReadPropertyStream(attach.get(), PR_ATTACH_DATA_BIN, bytes);
    return bytes;
}

// The attachment table's photo rows (number, data, size), or none.
RowSetPtr PhotoRows(IMessage* message) {
    const MapiFunctions& fns = MapiTable();
    RowSetPtr rows(fns.FreeProws);
    if (message == nullptr || !fns.HrQueryAllRows || !fns.FreeProws) return rows;
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.put())) || !table) return rows;
    SizedSPropTagArray<3> columns = {3, {PR_ATTACH_NUM, PR_ATTACH_DATA_BIN, PR_ATTACH_SIZE}};
    NAMESPACE_COMMON::EqualsRestriction isPhoto(PR_ATTACHMENT_CONTACTPHOTO, true);
    if (FAILED(fns.HrQueryAllRows(table.get(), columns.get(), isPhoto.get(), nullptr, 0, rows.put())))
        rows.reset();
    return rows;
}

// The photo rows' data, read whole: the bytes of one row (its PR_ATTACH_DATA_BIN, or through a
// stream when the table leaves it out for its size); none for a row without data.
std::string PhotoBytes(IMessage* message, const SRow& row, ULONG attachNum) {
    std::string bytes;
    if (const SBinary* data = NAMESPACE_COMMON::FindBinary(row, PR_ATTACH_DATA_BIN)) {
        if (data->cb > 0 && data->lpb) bytes.assign(reinterpret_cast<const char*>(data->lpb), data->cb);
    } else if (const SPropValue* err =
                   NAMESPACE_COMMON::FindProp(row, PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_DATA_BIN)));
               err && NAMESPACE_COMMON::IsOutOfLine(*err)) {
        bytes = ReadAttachmentStream(message, attachNum);
    }
    return bytes;
}

}  // namespace

std::string PictureFileName(ULONG attachNum) {
    return "PIC" + std::to_string(attachNum) + ".jpg";
}

bool PictureFileExists(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

std::string ExportContactPicture(IMessage* message, const std::string& workFolder,
                                 const std::function<bool()>& beforeWrite) {
    std::string result;
    if (workFolder.empty()) return result;
    const RowSetPtr rows = PhotoRows(message);
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SPropValue* num = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACH_NUM);
        if (num == nullptr) continue;
        const ULONG attachNum = static_cast<ULONG>(num->Value.l);
        const std::string path = nx::sys::JoinPath(workFolder, PictureFileName(attachNum));
        const std::string bytes = PhotoBytes(message, rows[i], attachNum);
        // The host reads the file during the callback that names it, and this one is written
        // before that callback and never during one (a read that prepares a document while the
        // host still has the one before waits for its answer here first), so a picture written
        // over in place is never seen half-written; private, never written through a link; not
        // flushed (the next read makes it again) and not renamed over the last one (which would
        // flush it).
        if (beforeWrite && !beforeWrite()) return std::string();
        if (nx::sys::WriteFileForReader(path, bytes)) result = path;
    }
    return result;
}

bool StoredPicture(IMessage* message, std::string& bytes) {
    bytes.clear();
    const RowSetPtr rows = PhotoRows(message);
    // The read reports the last photo row's file: that is the photo the host has.
    for (ULONG i = rows.size(); i-- > 0;) {
        const SPropValue* num = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACH_NUM);
        if (num == nullptr) continue;
        bytes = PhotoBytes(message, rows[i], static_cast<ULONG>(num->Value.l));
        return true;
    }
    return false;
}

const char* PictureFileText(PictureFile file) {
    switch (file) {
        case PictureFile::None:
            return "no picture";
        case PictureFile::Read:
            return "a picture";
        case PictureFile::NotAbsolute:
            return "not an absolute path";
        case PictureFile::Missing:
            return "no such file";
        case PictureFile::NotAFile:
            return "not a regular file";
        case PictureFile::TooLarge:
            static_assert(kMaxPictureBytes == 8u << 20, "the refusal text names the limit");
            return "larger than 8 MiB";
        case PictureFile::Unreadable:
            return "not readable";
        case PictureFile::NotAPicture:
            return "not a picture";
    }
    return "";
}

PictureFile ReadPictureFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    if (path.empty()) return PictureFile::None;
    if (!std::filesystem::path(path).is_absolute()) return PictureFile::NotAbsolute;
    switch (nx::sys::ReadRegularFile(path, kMaxPictureBytes, bytes)) {
        case nx::sys::ReadFileResult::Read:
            break;
        case nx::sys::ReadFileResult::Missing:
            return PictureFile::Missing;
        case nx::sys::ReadFileResult::NotAFile:
            return PictureFile::NotAFile;
        case nx::sys::ReadFileResult::TooLarge:
            return PictureFile::TooLarge;
        case nx::sys::ReadFileResult::Unreadable:
            return PictureFile::Unreadable;
    }
    if (IsPictureBytes(bytes)) return PictureFile::Read;
    bytes.clear();
    return PictureFile::NotAPicture;
}

bool IsPictureBytes(std::string_view bytes) {
    const auto starts = [&](std::string_view magic) { return bytes.substr(0, magic.size()) == magic; };
    if (starts("\xFF\xD8\xFF") || starts("\x89PNG\r\n\x1A\n") || starts("GIF87a") || starts("GIF89a"))
        return true;
    // "BM" is two letters a text may start with too: the size of the header after the 14-byte
    // file header must be one a BMP has.
    if (!starts("BM") || bytes.size() < 18) return false;
    const uint32_t header = static_cast<uint8_t>(bytes[14]) | static_cast<uint8_t>(bytes[15]) << 8 |
                            static_cast<uint32_t>(static_cast<uint8_t>(bytes[16])) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(bytes[17])) << 24;
    return header == 12 || header == 40 || header == 52 || header == 56 || header == 64 || header == 108 ||
           header == 124;
}

int RemoveContactPictures(IMessage* message) {
    const RowSetPtr rows = PhotoRows(message);
    for (ULONG i = 0; i < rows.size(); ++i)
        if (const SPropValue* num = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACH_NUM))
            message->DeleteAttach(static_cast<ULONG>(num->Value.l), 0, nullptr, 0);
    if (rows.size() > 0) NAMESPACE_COMMON::DeleteOneProp(message, PR_HASATTACH);
    return 1;
}

int AttachContactPicture(IMessage* message, std::string_view bytes) {
    if (message == nullptr) return 0;
    RemoveContactPictures(message);  // a message never keeps more than the new photo
    ComPtr<IAttach> attach;
    ULONG attachNum = 0;
    if (FAILED(message->CreateAttach(nullptr, MAPI_DEFERRED_ERRORS, &attachNum, attach.put())) || !attach)
        return 0;
    FILETIME now{};
    CurrentLocalTime().GetAsFileTime(now);
    std::u16string name = u"ContactPicture.jpg";
    std::u16string extension = u".jpg";
    std::u16string noName;
    SPropValue props[14] = {};
    props[0].ulPropTag = PR_DISPLAY_NAME_W;
    props[0].Value.lpszW = name.data();
    props[1].ulPropTag = PR_ATTACH_ENCODING;  // empty binary
    props[2].ulPropTag = PR_ATTACH_EXTENSION_W;
    props[2].Value.lpszW = extension.data();
    props[3].ulPropTag = PR_ATTACH_FILENAME_W;
    props[3].Value.lpszW = noName.data();
    props[4].ulPropTag = PR_ATTACH_METHOD;
    props[4].Value.l = ATTACH_BY_VALUE;
    props[5].ulPropTag = PR_ATTACH_LONG_FILENAME_W;
    props[5].Value.lpszW = name.data();
    props[6].ulPropTag = PR_RENDERING_POSITION;
    props[6].Value.l = -1;
    props[7].ulPropTag = PR_ATTACH_FLAGS;
    props[8].ulPropTag = PR_ATTACHMENT_LINKID;
    props[9].ulPropTag = PR_ATTACHMENT_FLAGS;
    props[10].ulPropTag = PR_ATTACHMENT_HIDDEN;
    props[11].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
    props[11].Value.b = 1;
    props[12].ulPropTag = PR_EXCEPTION_STARTTIME;
    props[12].Value.ft = now;
    props[13].ulPropTag = PR_EXCEPTION_ENDTIME;
    props[13].Value.ft = now;
    if (FAILED(attach->SetProps(14, props, nullptr))) return 0;
    ComPtr<IStream> stream;
    if (SUCCEEDED(NAMESPACE_COMMON::OpenPropertyStream(
            attach.get(), PR_ATTACH_DATA_BIN, MAPI_MODIFY | MAPI_CREATE | MAPI_BEST_ACCESS, stream))) {
        // A write that stops early still commits what the stream took, and the size says so.
        ULONG total = 0;
        NAMESPACE_COMMON::WriteWholeStream(stream.get(), bytes, total);
        stream->Commit(0);
        stream = nullptr;
        SPropValue size{};
        size.ulPropTag = PR_ATTACH_SIZE;
        size.Value.l = static_cast<LONG>(total);
        attach->SetProps(1, &size, nullptr);
        attach->SaveChanges(KEEP_OPEN_READWRITE);
    }
    return 1;
}

void SetContactPicture(IMessage* message, const std::string* bytes) {
    const int attached = bytes != nullptr ? AttachContactPicture(message, *bytes) : 0;
    if (bytes == nullptr) RemoveContactPictures(message);
    if (const ULONG tag =
            NAMESPACE_COMMON::GetNamedPropTag(message, NAMESPACE_COMMON::NamedProp("PidLidHasPicture"))) {
        SPropValue flag{};
        flag.ulPropTag = tag;
        flag.Value.b = attached ? 1 : 0;
        NAMESPACE_COMMON::SetOneProp(message, flag);
    }
    if (attached) {
        SPropValue hasAttach{};
        hasAttach.ulPropTag = PR_HASATTACH;
        hasAttach.Value.b = 1;
        NAMESPACE_COMMON::SetOneProp(message, hasAttach);
    }
}

}  // namespace NAMESPACE_MAPI
