#include "platform/system/CommandLine.h"

namespace nx::sys {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace nx::sys
