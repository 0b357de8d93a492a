// nxhost's command line: the options, the help text, and where the pipes live (the hints of
// several messages depend on it).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nx::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The project's own runtime keeps the pipes as sockets in a folder of the user's, which
// NX_PIPE_DIR can move (and the hints name); on Windows they are the system's named pipes, and
// no folder is involved.
#ifdef _WIN32
inline constexpr bool kPipesInAFolder = false;
#else
inline constexpr bool kPipesInAFolder = true;
#endif

struct Options {
    std::vector<std::string> execLines;  // -e, in order
    std::vector<std::string> call;       // the procedure and arguments given as words
    std::optional<std::string> script;
    std::optional<std::string> agentPath;
    unsigned waitSeconds = 10;
    std::optional<std::string> saveDir;
    bool callback = true;
    bool keepGoing = false;
    std::optional<unsigned> dropAfter;
    std::optional<unsigned> hangAfter;
};

// The help text (`nxhost --help`).
std::string Usage();

// Reads the command line into `opt`. std::nullopt to go on with the session; otherwise the exit
// status nxhost ends with: 0 after --help or --list (printed), 2 after a usage error (reported
// with its hint).
std::optional<int> ParseOptions(int argc, char** argv, Options& opt);

}  // namespace nx::host
