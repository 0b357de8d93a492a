// A trace compared with its golden file line by line: the first line that differs fails the test
// with its number, and the whole actual trace is kept beside the binaries for a look (or for
// updating the golden file when the change is meant). The golden file is
// <NX_TEST_DATA_DIR>/golden/<goldenName>.trace of the test folder that includes this.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nx::e2e {

inline void ExpectTraceMatchesGolden(const std::vector<std::string>& actual, const std::string& goldenName) {
    std::ifstream in(std::filesystem::path(NX_TEST_DATA_DIR) / "golden" / (goldenName + ".trace"),
                     std::ios::binary);
    ASSERT_TRUE(in) << "no golden trace " << goldenName;
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);) expected.push_back(line);
    if (actual != expected) {
        std::ofstream keep(std::filesystem::path(NX_BIN_DIR) / (goldenName + ".actual.trace"),
                           std::ios::binary);
        for (const auto& l : actual) keep << l << "\n";
    }
    for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        ASSERT_EQ(i < actual.size() ? actual[i] : "<missing>", i < expected.size() ? expected[i] : "<none>")
            << goldenName << " trace line " << i + 1;
    }
}

}  // namespace nx::e2e
