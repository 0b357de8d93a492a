// mapiadmin: creates and inspects the profiles, stores, folders and items of the MAPI runtime
// (libmapi32.so). docs/mapiadmin.md is the manual; the usage text (CommandLine.cpp) is its summary.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "NxVersion.h"
#include "platform/system/CommandLine.h"
#include "tools/mapiadmin/CommandLine.h"
#include "tools/mapiadmin/JsonText.h"
#include "tools/mapiadmin/MapiRuntime.h"

using namespace nx::mapiadmin;

int main(int argc, char** argv) {
    // The words in UTF-8 (on Windows from the wide command line: a path outside the code page).
    std::vector<std::string> args = nx::sys::ProgramArguments(argc, argv);
    if (!args.empty()) args.erase(args.begin());  // the program's name
    if (WantsHelp(args)) {
        std::cout << kUsage;
        return kExitOk;
    }
    // --version, like --help, anywhere before "--".
    const auto optionsEnd = std::find(args.begin(), args.end(), "--");
    if (std::find(args.begin(), optionsEnd, "--version") != optionsEnd) {
        std::cout << nx::VersionLine("mapiadmin") << "\n";
        return kExitOk;
    }
    Options o;
    const Command* cmd = nullptr;
    try {
        cmd = &ParseCommandLine(args, o);
    } catch (const UsageError& e) {
        std::cerr << "mapiadmin: " << e.message << "\n(run \"mapiadmin --help\" for the commands)\n";
        return kExitUsage;
    }
    try {
        cmd->run(o, std::cout);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "mapiadmin: error: cannot write the output\n";
            return kExitFailure;
        }
        return kExitOk;
    } catch (const CommandError& e) {
        std::cerr << "mapiadmin: error: " << e.what() << "\n";
        return e.ExitStatus();
    } catch (const InputError& e) {
        // Only item put and item update read an input file (their second argument).
        const std::string source = o.args.size() > 1 ? (o.args[1] == "-" ? "<stdin>" : o.args[1]) + ": " : "";
        std::cerr << "mapiadmin: error: " << source << e.what() << "\n";
        return kExitInput;
    } catch (const std::exception& e) {
        std::cerr << "mapiadmin: error: " << e.what() << "\n";
        return kExitFailure;
    }
}
