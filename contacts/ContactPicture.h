// Contact photos as files. A photo is an attachment marked with PR_ATTACHMENT_CONTACTPHOTO; the
// read side writes each one to "<work folder>/PIC<attachment number>.jpg" and reports that path
// in PICPath. The bytes are written unchanged (no check that they are a JPEG).
#pragma once

#include <string>
#include <string_view>

#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// Writes every photo attachment of the message to "<workFolder>/PIC<n>.jpg" (replacing a file of
// that name) and returns the path of the last one written; "" when the message has no photo, the
// work folder is unknown, or no file could be written (a file that cannot be written is skipped).
// Values the attachment table leaves out for their size are read whole through a stream. The file
// is private to the user and replaced in one step, so a reader never sees half a picture.
std::string ExportContactPicture(IMessage* message, const std::string& workFolder);

// True when a file system entry of that name exists and is not a folder.
bool PictureFileExists(const std::string& path);

// The file name of a photo attachment's export: "PIC<n>.jpg".
std::string PictureFileName(ULONG attachNum);

}  // namespace NAMESPACE_MAPI
