#include <gtest/gtest.h>

#include <string>

#include "common/MapiFunctions.h"
#include "platform/system/DebugOutput.h"

namespace {

class MapiFunctionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetMapiFunctionsForTesting();
        nx::sys::SetDebugOutputSinkForTesting(
            [this](std::string_view t) { m_debug += std::string(t) + "|"; });
    }
    void TearDown() override {
        nx::sys::SetDebugOutputSinkForTesting(nullptr);
        ResetMapiFunctionsForTesting();
    }
    std::string m_debug;
};

TEST_F(MapiFunctionsTest, BindsAllTenByNameFromTheFolderGiven) {
    ASSERT_TRUE(LoadMapiLibrary(NX_FAKE_FULL_DIR));
    EXPECT_TRUE(LoadMapiFunctions());
    EXPECT_TRUE(MapiFunctionsComplete());
    EXPECT_EQ(m_debug,
              "#### Load dovlib32.dll function enter ####|#### Load dovlib32.dll function return TRUE ####|");
    EXPECT_NE(MapiTable().HrQueryAllRows, nullptr);
}

TEST_F(MapiFunctionsTest, AMissingEntryLeavesTheTableIncomplete) {
    ASSERT_TRUE(LoadMapiLibrary(NX_FAKE_PARTIAL_DIR));
    EXPECT_FALSE(LoadMapiFunctions());
    EXPECT_FALSE(MapiFunctionsComplete());
    EXPECT_EQ(m_debug, "#### Load dovlib32.dll function enter ####|");
    EXPECT_NE(MapiTable().MAPIAdminProfiles, nullptr) << "entries before the missing one stay bound";
    EXPECT_EQ(MapiTable().HrGetOneProp, nullptr);
}

TEST_F(MapiFunctionsTest, NothingBindsWithoutAModule) {
    EXPECT_FALSE(MapiLibraryLoaded());
    EXPECT_FALSE(LoadMapiFunctions());
    EXPECT_FALSE(MapiFunctionsComplete());
}

}  // namespace
