#include "contacts/ContactPicture.h"

#include <filesystem>
#include <system_error>

#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"

namespace NAMESPACE_MAPI {
namespace {

// Reads an attachment's data through a stream (the table reports a large value as
// MAPI_E_NOT_ENOUGH_MEMORY instead of its bytes).
bool ReadAttachmentStream(IMessage* message, ULONG attachNum, std::string& bytes) {
    ComPtr<IAttach> attach;
    if (FAILED(message->OpenAttach(attachNum, nullptr, MAPI_BEST_ACCESS, attach.put())) || !attach)
        return false;
    ComPtr<IStream> stream;
    if (FAILED(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, stream.put_unknown())) || !stream)
        return false;
    char chunk[1024];
    for (;;) {
        ULONG read = 0;
        if (FAILED(stream->Read(chunk, sizeof chunk, &read)) || read == 0) break;
        bytes.append(chunk, std::min<ULONG>(read, sizeof chunk));
    }
    return true;
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

std::string ExportContactPicture(IMessage* message, const std::string& workFolder) {
    std::string result;
    const MapiFunctions& fns = MapiTable();
    if (message == nullptr || workFolder.empty() || !fns.HrQueryAllRows || !fns.FreeProws) return result;
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.put())) || !table) return result;
    SizedSPropTagArray<3> columns = {3, {PR_ATTACH_NUM, PR_ATTACH_DATA_BIN, PR_ATTACH_SIZE}};
    NAMESPACE_COMMON::EqualsRestriction isPhoto(PR_ATTACHMENT_CONTACTPHOTO, true);
    RowSetPtr rows(fns.FreeProws);
    if (FAILED(fns.HrQueryAllRows(table.get(), columns.get(), isPhoto.get(), nullptr, 0, rows.put())))
        return result;
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SPropValue* num = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACH_NUM);
        if (num == nullptr) continue;
        const ULONG attachNum = static_cast<ULONG>(num->Value.l);
        std::string bytes;
        if (const SBinary* data = NAMESPACE_COMMON::FindBinary(rows[i], PR_ATTACH_DATA_BIN)) {
            if (data->cb > 0 && data->lpb) bytes.assign(reinterpret_cast<const char*>(data->lpb), data->cb);
        } else if (const SPropValue* err =
                       NAMESPACE_COMMON::FindProp(rows[i], PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_DATA_BIN)));
                   err && err->Value.err == MAPI_E_NOT_ENOUGH_MEMORY) {
            if (!ReadAttachmentStream(message, attachNum, bytes)) bytes.clear();
        }
        const std::string path = nx::sys::JoinPath(workFolder, PictureFileName(attachNum));
        // Private, and replaced whole: a host never reads half a picture, and a link planted
        // at the path is replaced, not written through. Not flushed: the next read makes it
        // again, and an fsync per picture would cost more than the rest of the read.
        if (nx::sys::WriteFileAtomically(path, bytes, nx::sys::FileDurability::ReplacedOnly)) result = path;
    }
    return result;
}

}  // namespace NAMESPACE_MAPI
