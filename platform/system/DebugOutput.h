// The debugger-output channel: a diagnostic sink for texts that Windows would hand to the
// debug-string facility. Silent unless switched on, so a normal run prints nothing.
//
// Switch: the environment variable NX_DEBUG_OUTPUT, read once, at the first text sent:
//   unset or ""   silent (the texts are dropped)
//   "stderr"      each text is written to standard error
//   "stdout"      each text is written to standard output
//   anything else the path of a file; each text is appended to it (created if missing); a FIFO
//                 is written without blocking (no reader, or a full pipe: the text is dropped)
// Texts are written exactly as given (UTF-8, no line end added, nothing prefixed), each with one
// write under a lock so texts from several threads never mix. A target that cannot take a text
// (a full disk, a pipe nobody reads) drops it; a process using the channel ignores SIGPIPE so
// such a pipe never ends it (the agent does, in its main). On Windows every text also goes to
// the debugger (OutputDebugStringW), whatever the switch says.
#pragma once

#include <functional>
#include <string_view>

namespace nx::sys {

void OutputDebugString(std::string_view text);

// Tests: route every text to `sink` instead of the switch's target (null restores the switch).
void SetDebugOutputSinkForTesting(std::function<void(std::string_view)> sink);

}  // namespace nx::sys
