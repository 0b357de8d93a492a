#include "calendar/ExceptionAttachments.h"

#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/NamedProps.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::NamedProp;
using NAMESPACE_COMMON::NamedProperty;

namespace {

enum EmbeddedSlot : std::size_t {
    kLocation,
    kStartWhole,
    kEndWhole,
    kReplaceTime,
    kSubType,
    kExceptionalBody,
    kReminderSet,
    kReminderDelta,
    kEmbeddedSlotCount
};

constexpr std::array<NamedProperty, kEmbeddedSlotCount> kEmbeddedNames = {
    NamedProp("PidLidLocation"),
    NamedProp("PidLidAppointmentStartWhole"),
    NamedProp("PidLidAppointmentEndWhole"),
    NamedProp("PidLidExceptionReplaceTime"),
    NamedProp("PidLidAppointmentSubType"),
    NamedProp("PidLidFExceptionalBody"),
    NamedProp("PidLidReminderSet"),
    NamedProp("PidLidReminderDelta"),
};

// The numbers of the message's exception attachments.
std::vector<ULONG> ExceptionAttachmentNumbers(IMessage* message) {
    std::vector<ULONG> nums;
    const MapiFunctions& fns = MapiTable();
    if (!fns.HrQueryAllRows || !fns.FreeProws) return nums;
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.put())) || !table) return nums;
    SizedSPropTagArray<2> columns = {2, {PR_ATTACH_NUM, PR_ATTACHMENT_FLAGS}};
    RowSetPtr rows(fns.FreeProws);
    if (FAILED(fns.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.put()))) return nums;
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SPropValue* num = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACH_NUM);
        const SPropValue* flags = NAMESPACE_COMMON::FindProp(rows[i], PR_ATTACHMENT_FLAGS);
        if (num && flags && (flags->Value.l & kAttachmentFlagException) != 0)
            nums.push_back(static_cast<ULONG>(num->Value.l));
    }
    return nums;
}

// Minutes of local wall-clock time as a PT_SYSTIME value that holds them unconverted, as
// PR_EXCEPTION_STARTTIME and PR_EXCEPTION_ENDTIME do.
FILETIME LocalMinutesAsFileTime(uint32_t minutes) {
    constexpr uint64_t kTicksPerMinute = 600000000ULL;
    const uint64_t ticks = static_cast<uint64_t>(minutes) * kTicksPerMinute;
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

SPropValue LongValue(ULONG tag, int32_t v) {
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.l = v;
    return value;
}
SPropValue BoolValue(ULONG tag, bool v) {
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.b = v ? 1 : 0;
    return value;
}
SPropValue TimeValue(ULONG tag, const FILETIME& ft) {
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.ft = ft;
    return value;
}

// The occurrence's own values on its embedded message; a value not set there is the series'.
bool WriteEmbeddedMessage(IAttach* attach, const tagExceptionInfo& e,
                          const NAMESPACE_COMMON::TimeZoneSource& zone) {
    ComPtr<IMessage> embedded;
    if (FAILED(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                    reinterpret_cast<IUnknown**>(embedded.put()))) ||
        !embedded)
        return false;
    std::vector<ULONG> named;
    NAMESPACE_COMMON::ResolveNamedProps(embedded.get(), kEmbeddedNames, 0, named);
    NAMESPACE_COMMON::SetTextOrDelete(embedded.get(), PR_MESSAGE_CLASS_W, kExceptionMessageClass);
    NAMESPACE_COMMON::SetTextOrDelete(embedded.get(), PR_SUBJECT_W, nx::sys::Utf16ToUtf8(e.Subject));
    const auto setNamed = [&](EmbeddedSlot slot, SPropValue value) {
        if (named[slot] == 0) return;  // a name the store did not resolve is skipped
        value.ulPropTag = named[slot];
        NAMESPACE_COMMON::SetOneProp(embedded.get(), value);
    };
    if (named[kLocation] != 0)
        NAMESPACE_COMMON::SetTextOrDelete(embedded.get(), named[kLocation], nx::sys::Utf16ToUtf8(e.Location));
    // The times in UTC, as every time of an appointment is stored.
    const auto setTime = [&](EmbeddedSlot slot, uint32_t minutes) {
        if (named[slot] == 0) return;
        CDateTime local;
        MinutesToDate(minutes, local);
        NAMESPACE_COMMON::SetLocalTimeOrDelete(embedded.get(), named[slot], local, zone);
    };
    setTime(kStartWhole, e.StartDateTime);
    setTime(kEndWhole, e.EndDateTime);
    setTime(kReplaceTime, e.OriginalStartDate);
    setNamed(kSubType, BoolValue(0, e.SubType != 0));
    setNamed(kExceptionalBody, BoolValue(0, false));  // the body is the series'
    setNamed(kReminderSet, BoolValue(0, e.ReminderSet != 0));
    setNamed(kReminderDelta, LongValue(0, e.ReminderDelta));
    return SUCCEEDED(embedded->SaveChanges(KEEP_OPEN_READWRITE));
}

void AddExceptionAttachment(IMessage* message, const tagExceptionInfo& e,
                            const NAMESPACE_COMMON::TimeZoneSource& zone) {
    ComPtr<IAttach> attach;
    ULONG num = 0;
    if (FAILED(message->CreateAttach(nullptr, 0, &num, attach.put())) || !attach) return;
    SPropValue values[] = {
        LongValue(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG),
        BoolValue(PR_ATTACHMENT_HIDDEN, true),
        LongValue(PR_ATTACHMENT_FLAGS, kAttachmentFlagException),
        LongValue(PR_ATTACHMENT_LINKID, 0),
        LongValue(PR_RENDERING_POSITION, -1),  // 0xFFFFFFFF: not rendered in the body
        TimeValue(PR_EXCEPTION_STARTTIME, LocalMinutesAsFileTime(e.StartDateTime)),
        TimeValue(PR_EXCEPTION_ENDTIME, LocalMinutesAsFileTime(e.EndDateTime)),
    };
    attach->SetProps(static_cast<ULONG>(std::size(values)), values, nullptr);
    NAMESPACE_COMMON::SetTextOrDelete(attach.get(), PR_DISPLAY_NAME_W, nx::sys::Utf16ToUtf8(e.Subject));
    CDateTime original;
    MinutesToDate(e.OriginalStartDate, original);
    NAMESPACE_COMMON::SetLocalTimeOrDelete(attach.get(), PR_EXCEPTION_REPLACETIME, original, zone);
    // The embedded message first, then the attachment: each saves into the one above it.
    if (!WriteEmbeddedMessage(attach.get(), e, zone)) return;
    attach->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace

void WriteExceptionAttachments(IMessage* message, const tagRecurrencePattern* pattern,
                               const NAMESPACE_COMMON::TimeZoneSource& zone) {
    if (message == nullptr) return;
    for (ULONG num : ExceptionAttachmentNumbers(message)) message->DeleteAttach(num, 0, nullptr, 0);
    if (pattern == nullptr) return;
    for (const tagExceptionInfo& e : pattern->Exceptions) AddExceptionAttachment(message, e, zone);
}

}  // namespace NAMESPACE_MAPI
