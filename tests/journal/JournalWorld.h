// Test support for the change journal: a temporary world per test (its data folder holds the
// journal), snapshot builders and readers of a change list.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "journal/LogItemArray.h"
#include "tests/journal/Snapshots.h"
#include "tests/support/TempWorld.h"

namespace nx::test {

namespace fs = std::filesystem;

inline std::u16string U16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// id -> flags of a change list.
inline std::map<std::u16string, int32_t> FlagsById(CLogItemArray& list) {
    std::map<std::u16string, int32_t> out;
    for (int64_t i = 0; i < list.GetSize(); ++i) out[std::u16string(list.IdAt(i))] = list[i].lFlags;
    return out;
}

// A temporary world for the test.
class JournalWorld : public ::testing::Test {
protected:
    fs::path DbPath() const { return m_world.Data() / "nxjournal" / "journal.db"; }

    TempWorld m_world{"journal"};
};

}  // namespace nx::test
