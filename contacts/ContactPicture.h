// Contact photos as files. A photo is an attachment marked with PR_ATTACHMENT_CONTACTPHOTO; the
// read side writes each one to "<work folder>/PIC<attachment number>.jpg" and reports that path
// in PICPath; the write side replaces the photos of a message with the file the host names in
// PICPath. The bytes travel unchanged both ways (no check that they are a JPEG).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// Writes every photo attachment of the message to "<workFolder>/PIC<n>.jpg" (replacing a file of
// that name) and returns the path of the last one written; "" when the message has no photo, the
// work folder is unknown, or no file could be written (a file that cannot be written is skipped).
// Values the attachment table leaves out for their size are read whole through a stream. The file
// is private to the user and never written through a link; it is written over in place
// (nx::sys::WriteFileForReader) before the callback that names it, which the host reads it in.
std::string ExportContactPicture(IMessage* message, const std::string& workFolder);

// True when a file system entry of that name exists and is not a folder.
bool PictureFileExists(const std::string& path);

// The file name of a photo attachment's export: "PIC<n>.jpg".
std::string PictureFileName(ULONG attachNum);

// The largest picture file a write takes (8 MiB). Contact photos are a few kilobytes to a few
// hundred; a larger file is taken for a mistake and treated as a missing one.
inline constexpr std::size_t kMaxPictureBytes = 8u << 20;

// Removes every photo attachment of the message, and PR_HASATTACH when there was one. Always 1.
int RemoveContactPictures(IMessage* message);

// Replaces the photos of the message with one holding the bytes of the file at `path`: every
// photo is removed first, then a new photo attachment is made from the file. 1 when the
// attachment was made and its properties set; 0 when the path names no usable picture (empty,
// not absolute, missing, unreadable, not a regular file, or larger than kMaxPictureBytes), and
// the message then has no photo.
int AttachContactPicture(IMessage* message, const std::string& path);

// The photo of a write: AttachContactPicture, then the has-picture flag (PSETID_Address 0x8015)
// TRUE or FALSE by its outcome, and PR_HASATTACH TRUE when a photo was attached.
void SetContactPicture(IMessage* message, const std::string& path);

}  // namespace NAMESPACE_MAPI
