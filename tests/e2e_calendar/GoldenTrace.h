// A trace compared with its golden file line by line: the first line that differs fails the test
// with its number, and the whole actual trace is kept beside the binaries for a look (or for
// updating the golden file when the change is meant).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e_contacts/ContactsWorld.h"

namespace nx::e2e {

inline void ExpectTraceMatchesGolden(const std::vector<std::string>& actual, const std::string& goldenName) {
    const std::string golden = ReadFile(fs::path(NX_TEST_DATA_DIR) / "golden" / (goldenName + ".trace"));
    std::vector<std::string> expected;
    for (std::size_t at = 0; at < golden.size();) {
        const auto nl = golden.find('\n', at);
        expected.push_back(golden.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? golden.size() : nl + 1;
    }
    if (actual != expected) {
        std::ofstream keep(fs::path(NX_BIN_DIR) / (goldenName + ".actual.trace"), std::ios::binary);
        for (const auto& l : actual) keep << l << "\n";
    }
    for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        ASSERT_EQ(i < actual.size() ? actual[i] : "<missing>", i < expected.size() ? expected[i] : "<none>")
            << goldenName << " trace line " << i + 1;
    }
}

}  // namespace nx::e2e
