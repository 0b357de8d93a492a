# The Windows build: the agent half (common/, contacts/, calendar/, ...) on the Windows side of
# every seam in platform/ (the *_win.cpp files), third-party libraries from third_party/ and
# GoogleTest from Debian's /usr/src/googletest, and the agent half's unit tests, which ctest
# runs through the toolchain's emulator (Wine) when cross-compiling. docs/windows.md is the manual.
#
# Included by the top-level CMakeLists.txt in place of the Linux dependencies and layers.

if(NOT MINGW)
  message(FATAL_ERROR "The Windows build is made with mingw-w64 (docs/windows.md)")
endif()

# Each program and library carries its own C, C++ and thread runtime: a copied folder runs on
# any Windows machine (and under Wine) without the compiler's DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)
# Unicode entry points; no min/max macros; the Windows 7 API level (GetDynamicTimeZoneInformation).
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

find_package(Threads REQUIRED)

# ---- third-party libraries, built here, under the names the Linux build finds them by --------
set(NX_THIRD_PARTY ${CMAKE_SOURCE_DIR}/third_party)

add_library(nx_pugixml STATIC ${NX_THIRD_PARTY}/pugixml/pugixml.cpp)
target_include_directories(nx_pugixml SYSTEM PUBLIC ${NX_THIRD_PARTY}/pugixml)
target_compile_options(nx_pugixml PRIVATE -w)
add_library(pugixml::pugixml ALIAS nx_pugixml)

add_library(nx_sqlite3 STATIC ${NX_THIRD_PARTY}/sqlite/sqlite3.c)
target_include_directories(nx_sqlite3 SYSTEM PUBLIC ${NX_THIRD_PARTY}/sqlite)
target_compile_definitions(nx_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0)
target_compile_options(nx_sqlite3 PRIVATE -w)
add_library(PkgConfig::SQLITE3 ALIAS nx_sqlite3)

set(NX_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources compiled with the cross compiler")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${NX_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(CTest)
include_directories(${CMAKE_SOURCE_DIR})

# ---- layers -----------------------------------------------------------------------------------
foreach(dir platform/system platform/registry platform/mapi common contacts calendar)
  add_subdirectory(${dir})
endforeach()

# ---- tests ------------------------------------------------------------------------------------
# nx_win_test(NAME n SOURCES ... LIBS ... [ARGS ...]): one GoogleTest program, one ctest test
# (label "windows"), run under the emulator with its folder as the working folder.
function(nx_win_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE
    NX_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    NX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    NX_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/${T_NAME}")
  add_test(NAME win.${T_NAME} COMMAND ${T_NAME} ${T_ARGS} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(win.${T_NAME} PROPERTIES LABELS "windows;unit" TIMEOUT 600)
endfunction()

set(NX_TESTS ${CMAKE_SOURCE_DIR}/tests)
# The common layer. The zone cases of tests/common pin the zone through TZ and expect ICU's
# Linux table; the Windows zone source has its own cases in windows_seams.
nx_win_test(NAME common
  SOURCES ${NX_TESTS}/common/encoding_test.cpp ${NX_TESTS}/common/datetime_test.cpp
          ${NX_TESTS}/common/golden_test.cpp
  LIBS nx_common)
nx_win_test(NAME calendar
  SOURCES ${NX_TESTS}/calendar/calendar_record_test.cpp ${NX_TESTS}/calendar/recurrence_conformance_test.cpp
          ${NX_TESTS}/calendar/exceptions_golden_test.cpp
  LIBS nx_calendar)
nx_win_test(NAME windows_seams
  SOURCES ${NX_TESTS}/windows/seams_win_test.cpp ${NX_TESTS}/windows/zones_win_test.cpp
  LIBS nx_common nx_registry nx_system)
