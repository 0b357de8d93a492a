// The calls of one nxhost session, gathered from the command line (-e lines, then the call given
// as words) and the script (--script), and parsed, every line before the first runs, so a typo on
// line 9 is reported before line 1 runs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/nxhost/HostScript.h"
#include "tools/nxhost/Options.h"

namespace nx::host {

// One call (or pause) to run, with the text the session prints for it: the line as written, or
// where it came from for an empty one.
struct SessionStep {
    ScriptStep step;
    std::string source;
};

// The session's steps in the order they run, and how many lines it has (blank and comment lines
// included: a script of none leaves nothing to do). False, with each problem reported (and the
// usage hint after them), when the script cannot be read or a line cannot be run.
bool ReadSession(const Options& opt, std::vector<SessionStep>& steps, std::size_t& lineCount);

}  // namespace nx::host
