// mapiadmin for a test world: runs the tool and puts items from their JSON text (docs/mapiadmin.md),
// the JSON files written in a folder of the world's.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/Process.h"

namespace nx::test {

class MapiAdmin {
public:
    MapiAdmin(std::filesystem::path program, std::filesystem::path scratch)
        : m_program(std::move(program)), m_scratch(std::move(scratch)) {}

    // Runs mapiadmin with the arguments; the last line it printed (the entry id of a create
    // command). A failure is recorded with the arguments and what the tool said.
    std::string Admin(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {m_program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = RunProcess(argv, 60);
        std::string joined;
        for (const auto& a : args) joined += " " + a;
        EXPECT_EQ(r.exitCode, 0) << "mapiadmin" << joined << ":\n" << r.out << r.err;
        std::string out = r.out;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        const auto nl = out.rfind('\n');
        return nl == std::string::npos ? out : out.substr(nl + 1);
    }

    // Puts an item from its JSON text into the folder (a path or an entry id) of the profile given,
    // else of the default one; its entry id.
    std::string Put(const std::string& folder, const std::string& json, const std::string& profile = "") {
        const std::filesystem::path file = m_scratch / ("item" + std::to_string(m_items++) + ".json");
        WriteWholeFile(file, json);
        std::vector<std::string> args;
        if (!profile.empty()) args = {"--profile", profile};
        args.insert(args.end(), {"item", "put", folder, file.string()});
        return Admin(args);
    }

    // An item of the class with a subject.
    std::string PutItem(const std::string& folder, const std::string& messageClass,
                        const std::string& subject, const std::string& profile = "") {
        return Put(folder,
                   R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")" + messageClass +
                       R"("},{"tag":"PR_SUBJECT_W","value":")" + subject + R"("}]})",
                   profile);
    }

private:
    std::filesystem::path m_program;
    std::filesystem::path m_scratch;
    int m_items = 0;
};

}  // namespace nx::test
