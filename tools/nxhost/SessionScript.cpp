#include "tools/nxhost/SessionScript.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/system/Paths.h"
#include "tools/nxhost/Output.h"

namespace nx::host {
namespace {

struct Line {
    std::string text;
    std::string where;    // "script.txt:3" or "-e 1"
    std::string baseDir;  // where its @file paths start
};

bool ReadFileContent(const std::string& base, const std::string& path, std::string& content,
                     std::string& error) {
    const std::string full = (path.empty() || std::filesystem::path(path).has_root_path() || base.empty())
                                 ? path
                                 : nx::sys::JoinPath(base, path);
    std::ifstream in(full, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    return true;
}

// The call given as words, as one line: the procedure, then each argument quoted.
std::string CallLine(const std::vector<std::string>& words) {
    std::string call = words[0];
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string quoted = "\"";
        for (char c : words[i]) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        call += " " + quoted + "\"";
    }
    return call;
}

// The lines of the script file ('-': standard input); false when it cannot be read.
bool ReadScript(const std::string& script, std::vector<Line>& lines) {
    std::istream* in = &std::cin;
    std::ifstream file;
    std::string base;
    if (script != "-") {
        file.open(script);
        if (!file) {
            PrintError("cannot read the script " + script + ": " + std::strerror(errno));
            return false;
        }
        in = &file;
        base = nx::sys::FolderWithSeparator(script);
    }
    std::string text;
    for (int n = 1; std::getline(*in, text); ++n) {
        if (n == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a UTF-8 byte-order mark
        lines.push_back({text, (script == "-" ? "stdin" : script) + ":" + std::to_string(n), base});
    }
    return true;
}

}  // namespace

bool ReadSession(const Options& opt, std::vector<SessionStep>& steps, std::size_t& lineCount) {
    std::vector<Line> lines;
    for (std::size_t i = 0; i < opt.execLines.size(); ++i)
        lines.push_back({opt.execLines[i], "-e " + std::to_string(i + 1), ""});
    if (!opt.call.empty()) lines.push_back({CallLine(opt.call), "command line", ""});
    if (opt.script && !ReadScript(*opt.script, lines)) {
        PrintUsageHint();
        return false;
    }
    lineCount = lines.size();
    bool ok = true;
    for (const Line& l : lines) {
        std::optional<ScriptStep> step;
        std::string error;
        const FileReader reader = [&l](const std::string& p, std::string& c, std::string& e) {
            return ReadFileContent(l.baseDir, p, c, e);
        };
        if (!ParseScriptLine(l.text, reader, step, error)) {
            PrintError(l.where + ": " + error);
            ok = false;
            continue;
        }
        if (step) steps.push_back({std::move(*step), l.text.empty() ? l.where : l.text});
    }
    if (!ok) PrintUsageHint("--list", "the procedures and their arguments");
    return ok;
}

}  // namespace nx::host
