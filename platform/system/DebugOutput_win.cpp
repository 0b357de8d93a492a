// The debugger's own channel on Windows; the switch and its target are DebugOutput.cpp's.
#include <string_view>

#include "platform/system/Win.h"

namespace nx::sys {

void SendToDebugger(std::string_view text) {
    ::OutputDebugStringW(win::Wide(text).c_str());
}

}  // namespace nx::sys
