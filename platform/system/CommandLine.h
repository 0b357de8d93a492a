// The words of the program's command line, in UTF-8 on every system.
//
// On Linux they are argv as given (the bytes of the user's UTF-8 locale). On Windows argv holds
// the words converted to the process code page, where a name outside it (a folder "Zoë" under a
// code page without ë, any Cyrillic name under 1252) has already turned into question marks: the
// words are taken again from the wide command line (GetCommandLineW, split by
// CommandLineToArgvW as the C runtime splits it).
#pragma once

#include <string>
#include <vector>

namespace nx::sys {

// The program's name first, then its arguments.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace nx::sys
