// Test support for the change journal: a private data folder per test (XDG_DATA_HOME), snapshot
// builders and readers of a change list.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "journal/LogItemArray.h"
#include "tests/journal/Snapshots.h"
#include "tests/support/ScopedEnv.h"

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

// A fresh XDG_DATA_HOME for the test, removed afterwards.
class JournalWorld : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = fs::temp_directory_path() / ("nxjournal-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / "data");
        m_env.Set("XDG_DATA_HOME", (m_root / "data").string());
    }
    void TearDown() override {
        fs::permissions(m_root, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(m_root);
    }
    fs::path DbPath() const { return m_root / "data" / "nxjournal" / "journal.db"; }

    fs::path m_root;
    ScopedEnv m_env;
};

}  // namespace nx::test
