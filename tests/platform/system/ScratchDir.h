// A fresh, empty folder for each test, m_dir, in a temporary world (tests/support/TempWorld.h).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Files.h"
#include "tests/support/TempWorld.h"

namespace nx::test {

class ScratchDir : public ::testing::Test {
protected:
    TempWorld m_world{"system"};
    const std::filesystem::path m_dir = [this] {
        std::filesystem::create_directories(m_world.Root() / "scratch");
        return m_world.Root() / "scratch";
    }();
};

}  // namespace nx::test
