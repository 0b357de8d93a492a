// mapiadmin's command line: the help text, the table of commands and their options, and the
// parser that turns the arguments into Options and the command to run.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "tools/mapiadmin/Commands.h"

namespace nx::mapiadmin {

// What `mapiadmin --help` prints.
extern const char* const kUsage;

struct Command {
    const char* group;
    const char* verb;  // nullptr: a command of one word
    unsigned options;  // the options that apply (bits of the option table)
    std::size_t minArgs, maxArgs;
    const char* argNames;
    void (*run)(const Options&, std::ostream&);
};

// A command line mapiadmin cannot run; the message names what is wrong.
struct UsageError {
    std::string message;
};

// True when the arguments ask for the help text (-h, --help or the word help before any "--").
bool WantsHelp(const std::vector<std::string>& args);

// Parses the arguments (without the program name) into `o` and returns the command they name.
// Options may come anywhere; "--name=value" and "--name value" are both accepted; "--" ends the
// options. UsageError for an unknown command or option, a missing or extra argument, or an
// option the command does not take.
const Command& ParseCommandLine(const std::vector<std::string>& args, Options& o);

}  // namespace nx::mapiadmin
