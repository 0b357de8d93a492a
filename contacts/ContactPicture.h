// Contact photos as files. A photo is an attachment marked with PR_ATTACHMENT_CONTACTPHOTO; the
// read side writes each one to "<work folder>/PIC<attachment number>.jpg" and reports that path
// in PICPath; the write side replaces the photos of a message with the file the host names in
// PICPath. The bytes travel unchanged both ways; an inbound file must be a picture (JPEG, PNG, GIF
// or BMP by its first bytes), and one that is not, or cannot be read, is refused whole.
#pragma once

#include <cstddef>
#include <functional>
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
// `beforeWrite` (may be empty) is called before each file is written: false stops the export,
// writes nothing more and answers "" (a read whose host failed the document before).
std::string ExportContactPicture(IMessage* message, const std::string& workFolder,
                                 const std::function<bool()>& beforeWrite = {});

// True when a file system entry of that name exists and is not a folder.
bool PictureFileExists(const std::string& path);

// The file name of a photo attachment's export: "PIC<n>.jpg".
std::string PictureFileName(ULONG attachNum);

// The largest picture file a write takes (8 MiB). Contact photos are a few kilobytes to a few
// hundred; a larger file is taken for a mistake and refused.
inline constexpr std::size_t kMaxPictureBytes = 8u << 20;

// What a write finds at the host's picture path.
enum class PictureFile {
    None,         // no path: the host sends no picture
    Read,         // a picture, read whole
    NotAbsolute,  // a relative path would be taken from the agent's working folder, not the host's
    Missing,
    NotAFile,  // a folder, a FIFO, a device (never waited on)
    TooLarge,  // more than kMaxPictureBytes (also one that grows past it while read)
    Unreadable,
    NotAPicture,  // none of the formats below
};
// The words a refusal's trace line names it by.
const char* PictureFileText(PictureFile file);

// Reads the picture file at `path` whole into `bytes` (cleared unless Read). A picture starts as
// one of the formats a host sends does: JPEG (FF D8 FF), PNG (its 8-byte signature), GIF
// ("GIF87a", "GIF89a") or BMP ("BM" and a known header size at offset 14).
PictureFile ReadPictureFile(const std::string& path, std::string& bytes);
// Whether bytes start as such a picture does.
bool IsPictureBytes(std::string_view bytes);

// The photo a read exports for the message (the last photo attachment's bytes, read whole); false
// when the message has none.
bool StoredPicture(IMessage* message, std::string& bytes);

// Removes every photo attachment of the message, and PR_HASATTACH when there was one. Always 1.
int RemoveContactPictures(IMessage* message);

// Replaces the photos of the message with one photo attachment holding `bytes`: every photo is
// removed first. 1 when the attachment was made and its properties set, else 0 (the message then
// has no photo).
int AttachContactPicture(IMessage* message, std::string_view bytes);

// The photo of a write: the photo `bytes` (AttachContactPicture) or, with null, none (every photo
// removed); then the has-picture flag (PSETID_Address 0x8015) TRUE or FALSE by the outcome, and
// PR_HASATTACH TRUE when a photo was attached.
void SetContactPicture(IMessage* message, const std::string* bytes);

}  // namespace NAMESPACE_MAPI
