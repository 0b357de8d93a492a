// What every handler of a CMAPIObject procedure shares: the received texts as the agent's UTF-8,
// and running one operation of the process-wide object under its lock.
#pragma once

#include <exception>
#include <mutex>
#include <string>

#include "agent/Procedures.h"
#include "agent/SessionHandlers.h"
#include "mapi/MAPIObject.h"
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

// Runs one operation of the process-wide object (with the process configuration applied) under
// its lock. An operation reports its own failures through its result; anything that still escapes
// (an allocation failure) becomes the procedure's failure value, so nothing crosses the RPC
// boundary. Everything a handler does that can throw (the conversion of the received text, its
// trace lines) belongs inside `operation`: the RPC runtime turns an exception that leaves a
// handler into a failed call.
template <typename Operation>
int32_t RunLocked(int32_t failure, Operation&& operation) {
    try {
        const std::lock_guard<std::recursive_mutex> guard(NAMESPACE_MAPI::MAPIObjectLock());
        ApplyMapiConfig();
        return operation(NAMESPACE_MAPI::GetMAPIObject());
    } catch (const std::exception&) {
        return failure;
    }
}

}  // namespace nx::agent
