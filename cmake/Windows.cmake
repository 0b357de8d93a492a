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
# The C runtime's printf family with the C99 conversions the portable code uses ("%zu").
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)

find_package(Threads REQUIRED)
# The version resources of the programs and libraries (nx_version_resource below).
enable_language(RC)

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

# nlohmann-json is header-only: Debian's copy (nlohmann-json3-dev), its own folder copied into the
# build so that the cross compiler never searches the Linux /usr/include.
# xxHash is used header-only as well: Debian's header (libxxhash-dev), copied the same way.
set(NX_XXHASH_HEADER /usr/include/xxhash.h CACHE FILEPATH "xxHash's header (libxxhash-dev)")
file(COPY ${NX_XXHASH_HEADER} DESTINATION ${CMAKE_BINARY_DIR}/xxhash)
add_library(nx_xxhash INTERFACE)
target_include_directories(nx_xxhash SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/xxhash)

set(NX_NLOHMANN_DIR /usr/include/nlohmann CACHE PATH "nlohmann-json's header folder (nlohmann/)")
file(COPY ${NX_NLOHMANN_DIR} DESTINATION ${CMAKE_BINARY_DIR}/nlohmann-json)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/nlohmann-json)
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

set(NX_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources compiled with the cross compiler")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${NX_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(CTest)
include_directories(${CMAKE_SOURCE_DIR})

# ---- layers -----------------------------------------------------------------------------------
foreach(dir platform/system platform/registry platform/rpc platform/mapi platform/sqlite platform/mapi32 common journal
    contacts calendar mapi agent tools/mapiadmin tools/nxhost)
  add_subdirectory(${dir})
endforeach()

# ---- the RPC stubs: widl, from the interfaces' IDL, at build time ------------------------------
find_program(NX_WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
set(NX_IDL_DIR ${CMAKE_SOURCE_DIR}/agent/win)
set(NX_STUBS_DIR ${CMAKE_BINARY_DIR}/stubs)
file(MAKE_DIRECTORY ${NX_STUBS_DIR})
# nx_widl(name): <name>.h, <name>_s.c (server) and <name>_c.c (client) from agent/win/<name>.idl
# (-Oif: fully interpreted stubs, whose code is the runtime's own NdrServerCall2 / NdrClientCall2
# with format strings). The agent serves NxAgent and calls NxHostCallback; a host does the reverse.
function(nx_widl name)
  add_custom_command(
    OUTPUT ${NX_STUBS_DIR}/${name}_s.c ${NX_STUBS_DIR}/${name}_c.c ${NX_STUBS_DIR}/${name}.h
    COMMAND ${NX_WIDL} --win64 -Oif -s -c -h ${NX_IDL_DIR}/${name}.idl
    WORKING_DIRECTORY ${NX_STUBS_DIR}
    DEPENDS ${NX_IDL_DIR}/${name}.idl
    COMMENT "widl ${name}.idl")
  set_source_files_properties(${NX_STUBS_DIR}/${name}_s.c ${NX_STUBS_DIR}/${name}_c.c PROPERTIES COMPILE_OPTIONS "-w")
endfunction()
nx_widl(NxAgent)
nx_widl(NxHostCallback)

# The agent's stubs, as objects linked into the executable itself (not a library the linker may
# leave out), so their registration always runs.
add_library(nx_agent_stubs OBJECT
  ${NX_IDL_DIR}/Managers.cpp ${NX_IDL_DIR}/Stubs.cpp
  ${NX_STUBS_DIR}/NxAgent_s.c ${NX_STUBS_DIR}/NxHostCallback_c.c)
target_include_directories(nx_agent_stubs PRIVATE ${NX_STUBS_DIR})
target_link_libraries(nx_agent_stubs PRIVATE nx_rpc)
target_sources(NxAgentOutlook64 PRIVATE $<TARGET_OBJECTS:nx_agent_stubs>)
target_link_libraries(NxAgentOutlook64 PRIVATE rpcrt4)
# A console program, as on Linux.
target_link_options(NxAgentOutlook64 PRIVATE -mconsole)

# nxhost, the reverse: it calls the agent interface and serves the callback interface
# (tools/nxhost/win/Stubs.cpp).
add_library(nx_host_stubs OBJECT
  ${CMAKE_SOURCE_DIR}/tools/nxhost/win/Stubs.cpp ${NX_STUBS_DIR}/NxAgent_c.c ${NX_STUBS_DIR}/NxHostCallback_s.c)
target_include_directories(nx_host_stubs PRIVATE ${NX_STUBS_DIR})
target_link_libraries(nx_host_stubs PRIVATE nx_rpc)
target_sources(nxhost PRIVATE $<TARGET_OBJECTS:nx_host_stubs>)
target_link_options(nxhost PRIVATE -mconsole)

# ---- tests ------------------------------------------------------------------------------------
# nx_win_test(NAME n SOURCES ... LIBS ... [ARGS ...]): one GoogleTest program, one ctest test
# (label "windows"), run under the emulator with its folder as the working folder.
function(nx_win_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads nx_version)
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
          ${NX_TESTS}/windows/files_win_test.cpp ${NX_TESTS}/platform/system/child_process_test.cpp
  LIBS nx_common nx_registry nx_system)
add_executable(child_probe ${NX_TESTS}/platform/system/child_probe.cpp)
add_dependencies(windows_seams child_probe)

# The agent under Wine (or Windows) on the system runtime, started as a process and called over
# "\pipe\MapiServer64" through nxhost's client stubs: the paths the smoke session cannot show,
# listening and stopping (nxhost's refusal included), and who may be at the other end of the
# pipes (the security callback and the listener check through their seam, the system's own
# identities, the endpoint's descriptor).
nx_win_test(NAME windows_agent
  SOURCES ${NX_TESTS}/windows/agent_win_test.cpp ${NX_TESTS}/windows/listen_win_test.cpp
          ${NX_TESTS}/windows/security_win_test.cpp
          ${NX_TESTS}/windows/pipe_descriptor_win_test.cpp ${NX_TESTS}/platform/rpc/peer_policy_test.cpp
          $<TARGET_OBJECTS:nx_host_stubs>
  LIBS nx_interfaces nx_rpc nx_system rpcrt4)
add_dependencies(windows_agent NxAgentOutlook64 nxhost)

# The smoke session: nxhost.exe starts a copy of the agent with the stand-in MAPI32.dll beside it
# and a fresh store, and runs tools/nxhost/sessions/smoke.nxh.
nx_win_test(NAME windows_nxhost SOURCES ${NX_TESTS}/windows/nxhost_win_test.cpp LIBS nx_system)
add_dependencies(windows_nxhost nxhost NxAgentOutlook64 mapi32)
target_compile_definitions(windows_nxhost PRIVATE NX_MAPI32_DIR="${CMAKE_BINARY_DIR}/mapi32")
# The system's pipe names are one namespace for every program of the Wine prefix (or Windows
# session): the two programs that start an agent on "\pipe\MapiServer64" never run at once.
set_tests_properties(win.windows_agent win.windows_nxhost PROPERTIES RESOURCE_LOCK agent_pipe)

# The binaries' own checks: PE32+ x86-64, a console agent importing the system's RPC, registry
# and kernel libraries, none of the Linux stand-ins linked in, and the version information.
add_test(NAME win.binaries COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-windows-binaries.sh
  --version ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}/bin ${CMAKE_BINARY_DIR}/mapi32)
set_tests_properties(win.binaries PROPERTIES LABELS "windows" TIMEOUT 60)

# mapiadmin.exe with its words and files in a folder whose name no western code page holds.
nx_win_test(NAME windows_mapiadmin SOURCES ${NX_TESTS}/windows/mapiadmin_win_test.cpp LIBS nx_system)
add_dependencies(windows_mapiadmin mapiadmin mapi32)
target_compile_definitions(windows_mapiadmin PRIVATE NX_MAPI_RUNTIME_DIR="${CMAKE_BINARY_DIR}/mapi32")

# The agent layer: the interface tables and the MAPI entry-point table, bound from stand-in
# MAPI32.dll files whose .def files give HrGetOneProp, FreeProws and HrQueryAllRows the export
# ordinals of the real one (the partial one lacks them).
foreach(kind full partial)
  add_library(fake_mapi32_${kind} SHARED ${NX_TESTS}/agent/fake_mapi32.cpp ${NX_TESTS}/windows/fake_mapi32_${kind}.def)
  set_target_properties(fake_mapi32_${kind} PROPERTIES OUTPUT_NAME MAPI32 PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fake_${kind} ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fake_${kind})
endforeach()
target_compile_definitions(fake_mapi32_partial PRIVATE NX_FAKE_PARTIAL)
nx_win_test(NAME agent
  SOURCES ${NX_TESTS}/agent/mapi_functions_test.cpp ${NX_TESTS}/agent/interfaces_test.cpp
          ${NX_TESTS}/agent/item_write_answer_test.cpp
  LIBS nx_agent)
add_dependencies(agent fake_mapi32_full fake_mapi32_partial)
target_compile_definitions(agent PRIVATE
  NX_FAKE_FULL_DIR="${CMAKE_BINARY_DIR}/fake_full" NX_FAKE_PARTIAL_DIR="${CMAKE_BINARY_DIR}/fake_partial")

# The contact layer and the MAPI helpers against the stand-in runtime, as on Linux: each test's
# store is made by mapiadmin.exe (beside MAPI32.dll in build-win/mapi32) in a data folder of the
# test's own (tests/mapi/MapiTestWorld.h). The fault runtime wraps the stand-in in a folder of its
# own, under the same file name and ordinals, and needs a program of its own: the agent's
# entry-point table is bound once per process.
nx_win_test(NAME contacts
  SOURCES ${NX_TESTS}/contacts/contact_xml_test.cpp ${NX_TESTS}/contacts/contact_read_test.cpp
          ${NX_TESTS}/contacts/contact_write_test.cpp
  LIBS nx_mapi)
nx_win_test(NAME mapi
  SOURCES ${NX_TESTS}/mapi/mapi_helpers_test.cpp ${NX_TESTS}/mapi/mapi_object_test.cpp
  LIBS nx_mapi)
add_library(fault_mapi32 SHARED ${NX_TESTS}/mapi/fault_mapi32.cpp ${NX_TESTS}/windows/fault_mapi32.def)
set_target_properties(fault_mapi32 PROPERTIES OUTPUT_NAME MAPI32 PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fault_runtime ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fault_runtime)
target_compile_definitions(fault_mapi32 PRIVATE NX_REAL_MAPI="$<TARGET_FILE:mapi32>")
target_link_libraries(fault_mapi32 PRIVATE nx_system)
nx_win_test(NAME mapi_faults SOURCES ${NX_TESTS}/mapi/mapi_fault_test.cpp LIBS nx_mapi)
add_dependencies(mapi_faults fault_mapi32)
target_compile_definitions(mapi_faults PRIVATE NX_FAULT_MAPI_DIR="${CMAKE_BINARY_DIR}/fault_runtime")
foreach(t contacts mapi mapi_faults)
  add_dependencies(${t} mapi32 mapiadmin)
  target_compile_definitions(${t} PRIVATE NX_MAPI_RUNTIME_DIR="${CMAKE_BINARY_DIR}/mapi32")
endforeach()

# ---- version information ----------------------------------------------------------------------
# nx_version_resource(target "description"): the target's VERSIONINFO resource (what Windows
# shows in the file's properties and what the check of scripts/check-windows-binaries.sh reads),
# made from cmake/VersionInfo.rc.in with the project's name and version.
function(nx_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(NX_RC_FILETYPE VFT_APP)
    set(NX_RC_FILENAME ${name}.exe)
  else()
    set(NX_RC_FILETYPE VFT_DLL)
    set(NX_RC_FILENAME ${name}.dll)
  endif()
  set(NX_RC_NAME ${name})
  set(NX_RC_DESCRIPTION "${description}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/VersionInfo.rc.in ${CMAKE_BINARY_DIR}/versioninfo/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/versioninfo/${target}.rc)
endfunction()
nx_version_resource(NxAgentOutlook64 "NxAgentForOutlook64 agent: the sync host's contacts and calendar over MAPI")
nx_version_resource(Deltatrack64 "NxAgentForOutlook64 change journal")
nx_version_resource(nxhost "NxAgentForOutlook64 sync host stand-in")
nx_version_resource(mapiadmin "NxAgentForOutlook64 stand-in MAPI store administration")
nx_version_resource(mapi32 "NxAgentForOutlook64 stand-in MAPI runtime (for testing a host without Outlook)")

# ---- cmake --install and the ZIP --------------------------------------------------------------
include(${CMAKE_SOURCE_DIR}/cmake/NxInstall.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/NxPackaging.cmake)
