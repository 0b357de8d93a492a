// A temporary MAPI world for tests that run against the real runtime (libmapi32.so in the build's
// bin folder; on Windows MAPI32.dll and mapiadmin.exe in their own folder, NX_MAPI_RUNTIME_DIR):
// a temporary world (tests/support/TempWorld.h) whose stores are built with the mapiadmin tool, and
// the process-wide MAPI entry-point table bound to the runtime once per test process.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "common/MapiFunctions.h"
#include "tests/support/MapiAdmin.h"
#include "tests/support/TempWorld.h"

namespace nx::test {

namespace fs = std::filesystem;

#ifndef NX_MAPI_RUNTIME_DIR
#define NX_MAPI_RUNTIME_DIR NX_BIN_DIR
#endif
#ifdef _WIN32
inline constexpr const char* kMapiAdminFileName = "mapiadmin.exe";
#else
inline constexpr const char* kMapiAdminFileName = "mapiadmin";
#endif

class MapiTestWorld : public TempWorld, public MapiAdmin {
public:
    MapiTestWorld()
        : TempWorld("mapi"), MapiAdmin(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiAdminFileName, Root()) {}

    // The runtime and the tool are built.
    static bool Available() {
        return fs::exists(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiRuntimeFileName) &&
               fs::exists(fs::path(NX_MAPI_RUNTIME_DIR) / kMapiAdminFileName);
    }
    // Binds the entry-point table to the runtime (once per process).
    static bool Bind() {
        static const bool bound = LoadMapiLibrary(NX_MAPI_RUNTIME_DIR) && LoadMapiFunctions();
        return bound;
    }
};

#define NX_REQUIRE_MAPI_RUNTIME()                                                         \
    do {                                                                                  \
        ASSERT_TRUE(::nx::test::MapiTestWorld::Available())                               \
            << "the MAPI runtime or mapiadmin is missing from the build";                 \
        ASSERT_TRUE(::nx::test::MapiTestWorld::Bind()) << "cannot bind the MAPI runtime"; \
    } while (0)

}  // namespace nx::test
