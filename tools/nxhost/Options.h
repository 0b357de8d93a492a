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
inline constexpr int kExitNoAnswer = 3;  // the agent stopped answering (silent past --timeout)

// How long the agent may stay silent during a call (no reply and no document delivered) before
// nxhost gives up on it. Reads of large stores keep talking (each document is a sign of life),
// so the bound only has to cover the longest pause inside one step: for 10,000 contacts 11 ms in
// a full read and 0.14 s before a change read's first document, and Shutdown's own 1 s wait
// (docs/rpc.md); two minutes leave room for slow disks, far larger folders and a hung host.
inline constexpr int kDefaultSilenceMs = 120000;
// The test knob: a whole number of milliseconds above 0 replaces the default (--timeout wins).
inline constexpr const char* kSilenceKnob = "NX_HOST_TIMEOUT_MS";

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
    int silenceMs = kDefaultSilenceMs;  // -1: no bound (--timeout 0)
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
