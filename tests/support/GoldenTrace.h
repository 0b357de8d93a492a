// A trace compared with its golden file line by line, or a document with its golden file whole.
// The first line that differs fails the test with its number, and on any difference the actual
// text is kept beside the binaries for a look (or for updating the golden file when the change is
// meant). The golden files are <NX_TEST_DATA_DIR>/golden/<name> of the test folder that includes
// this.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Files.h"

namespace nx::e2e {

// The bytes of the golden file `name` ("Outlook.xml"), empty when there is none.
inline std::string GoldenText(const std::string& name) {
    return nx::test::ReadWholeFile(std::filesystem::path(NX_TEST_DATA_DIR) / "golden" / name);
}

inline void ExpectTraceMatchesGolden(const std::vector<std::string>& actual, const std::string& goldenName) {
    std::istringstream in(GoldenText(goldenName + ".trace"));
    ASSERT_FALSE(in.str().empty()) << "no golden trace " << goldenName;
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

// `actual` against the golden document `name`; the actual one is kept as <stem>.actual<extension>
// when they differ.
inline void ExpectMatchesGoldenDocument(const std::string& actual, const std::string& name) {
    const std::string golden = GoldenText(name);
    ASSERT_FALSE(golden.empty()) << "no golden document " << name;
    if (actual == golden) return;
    const std::filesystem::path file(name);
    std::ofstream(
        std::filesystem::path(NX_BIN_DIR) / (file.stem().string() + ".actual" + file.extension().string()),
        std::ios::binary)
        << actual;
    EXPECT_EQ(actual, golden) << name;
}

}  // namespace nx::e2e
