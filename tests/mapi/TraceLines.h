// The agent's trace lines, caught in a test (the debugger channel, without a log file).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "common/LogFile.h"
#include "platform/system/DebugOutput.h"

namespace nx::test {

// The trace lines written while it lives, without the tag and the line end.
class TraceLines {
public:
    TraceLines() {
        CLogFile::InitWithModulePath("", LOG_TO_DEBUGGER);
        nx::sys::SetDebugOutputSinkForTesting([this](std::string_view text) {
            text.remove_prefix(std::min(text.size(), std::string_view(CLogFile::kTag).size()));
            if (text.ends_with("\r\n")) text.remove_suffix(2);
            m_lines.emplace_back(text);
        });
    }
    ~TraceLines() {
        nx::sys::SetDebugOutputSinkForTesting(nullptr);
        CLogFile::InitWithModulePath("", 0);
    }
    // The lines so far, `id` written as "{id}"; then none.
    std::vector<std::string> Take(const std::string& id = "") {
        std::vector<std::string> lines = std::move(m_lines);
        m_lines.clear();
        for (std::string& line : lines)
            if (const auto at = id.empty() ? std::string::npos : line.find(id); at != std::string::npos)
                line.replace(at, id.size(), "{id}");
        return lines;
    }

private:
    std::vector<std::string> m_lines;
};

}  // namespace nx::test
