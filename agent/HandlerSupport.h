// What every handler of a CMAPIObject procedure shares: the received texts as the agent's UTF-8,
// running one operation of the process-wide object under its lock (with the process configuration
// applied), and the answer of the two item writes (procedures 12 and 13).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

#include "agent/Procedures.h"
#include "common/DateTime.h"
#include "mapi/MAPIObject.h"
#include "platform/system/ComApartment.h"
#include "platform/system/Utf.h"

namespace nx::agent {

// A received wide text as the agent's UTF-8.
inline std::string TextOf(InText text) {
    return nx::sys::Utf16ToUtf8(AsUtf16(text));
}

// One received UTF-16 unit as a text of that one character; a zero unit is the empty text.
inline std::string CharacterOf(WireChar unit) {
    return unit == 0 ? std::string() : TextOf(InText(&unit, 1));
}

// Hands the process-wide configuration (sub-folder switch, document paths, work folder) to the
// MAPI object, so that it always works with what start-up read from PIMProfile.ini. The caller
// holds the object's lock.
void ApplyMapiConfig(NAMESPACE_MAPI::CMAPIObject& object);

// Runs one operation of the process-wide object (with the process configuration applied) under
// its lock: `operation(object)`, or `operation(object, held)` for one that hands the lock's guard
// on (a read releases it while a document is with the host). An operation reports its own failures
// through its result; anything that still escapes (an allocation failure) becomes the procedure's
// failure value, so nothing crosses the RPC boundary. Everything a handler does that can throw
// (the conversion of the received text, its trace lines) belongs inside `operation`: the RPC
// runtime turns an exception that leaves a handler into a failed call.
template <typename Operation>
int32_t RunLocked(int32_t failure, Operation&& operation) {
    using NAMESPACE_MAPI::CMAPIObject;
    using NAMESPACE_MAPI::MAPIObjectGuard;
    try {
        MAPIObjectGuard held = NAMESPACE_MAPI::LockMAPIObject();
        CMAPIObject& object = NAMESPACE_MAPI::GetMAPIObject();
        ApplyMapiConfig(object);
        if constexpr (std::is_invocable_v<Operation, CMAPIObject&, MAPIObjectGuard&>) {
            return operation(object, held);
        } else {
            return operation(object);
        }
    } catch (const std::exception&) {
        return failure;
    }
}

// What a write procedure answers: the item's identifier (its PIMID: for an add the new item's,
// otherwise the one the document named), its modification time (local time; null gives the
// empty text, invalid "Invalid DateTime") and the result. The defaults are the failure answer.
struct ItemWriteAnswer {
    std::string identifier;
    NAMESPACE_COMMON::CDateTime modified = NAMESPACE_COMMON::CDateTime::Null();
    int32_t result = 1;
};

// The text as it goes into a host buffer of `bufferUnits` UTF-16 units with its terminating zero:
// whole, or empty when it does not fit. An identifier cut short would name another item or none;
// the empty identifier is what the host already reads as "no item".
std::u16string BufferText(std::string_view text, std::size_t bufferUnits);

// Puts the answer's identifier and time text into the host's buffers (400 and 40 units), each
// whole or empty, and returns its result. `procedure` names the call in the trace line of an
// identifier that does not fit.
int32_t AnswerItemWrite(const ItemWriteAnswer& answer, IdentifierOut identifier, TimeTextOut time,
                        const char* procedure);

// Runs a write procedure: under the object's lock, with COM entered on the calling thread around
// the parse and the write, `write(object, xml)` turns the received document (UTF-8) into the
// answer. Anything that escapes it (the document object cannot be created, an allocation
// failure) answers result 1 with both texts empty; the host sees a failed add as the empty
// identifier.
template <typename Write>
int32_t RunItemWrite(InText xml, IdentifierOut identifier, TimeTextOut time, const char* procedure,
                     Write&& write) {
    ItemWriteAnswer answer;
    try {
        const NAMESPACE_MAPI::MAPIObjectGuard held = NAMESPACE_MAPI::LockMAPIObject();
        NAMESPACE_MAPI::CMAPIObject& object = NAMESPACE_MAPI::GetMAPIObject();
        ApplyMapiConfig(object);
        const std::string text = TextOf(xml);
        const nx::sys::ComApartment com;
        answer = write(object, text);
    } catch (const std::exception&) {
        answer = ItemWriteAnswer{};
    }
    return AnswerItemWrite(answer, identifier, time, procedure);
}

}  // namespace nx::agent
