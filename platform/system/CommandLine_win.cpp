// clang-format off
// Win.h (windows.h) before the shell header, which needs its types.
#include "platform/system/Win.h"
#include <shellapi.h>
// clang-format on

#include "platform/system/CommandLine.h"

namespace nx::sys {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    // Without the wide words (no memory), the code page's are all there is.
    if (words == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(win::Narrow(words[i]));
    ::LocalFree(words);
    return out;
}

}  // namespace nx::sys
