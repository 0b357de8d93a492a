// The exception attachments of a series: for each modified occurrence, a hidden attachment
// embedding a message with the occurrence's own values, as [MS-OXOCAL] publishes them (the
// Exception Attachment object and the Exception Embedded Message object). Other clients of the
// store show a modified occurrence from its attachment; the pattern's exception entries alone
// are not enough for them.
#pragma once

#include <cstdint>

#include "calendar/RecurrencePattern.h"
#include "common/TimeZone.h"
#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

inline constexpr int32_t kAttachmentFlagException = 0x00000002;  // afException (PR_ATTACHMENT_FLAGS)
inline constexpr const char* kExceptionMessageClass = "IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}";

// Replaces the message's exception attachments (those whose PR_ATTACHMENT_FLAGS has afException)
// by one per exception entry of `pattern` (none for a null pattern). Each attachment and its
// embedded message are saved into the message; saving the message is the caller's. The pattern's
// times are local minutes of this machine's zone (`zone` converts them to UTC).
void WriteExceptionAttachments(IMessage* message, const tagRecurrencePattern* pattern,
                               const NAMESPACE_COMMON::TimeZoneSource& zone);

}  // namespace NAMESPACE_MAPI
