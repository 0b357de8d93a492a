// Fuzz target: nxhost's script line parser must survive any line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/nxhost/HostScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::optional<nx::host::ScriptStep> step;
    std::string error;
    const nx::host::FileReader noFiles = [](const std::string&, std::string&, std::string& e) {
        e = "no files here";
        return false;
    };
    if (nx::host::ParseScriptLine(line, noFiles, step, error) && step &&
        step->kind == nx::host::ScriptStep::Kind::Call)
        (void)nx::host::MakeArgs(*step);
    return 0;
}
