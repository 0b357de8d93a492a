# Helpers shared by every folder's CMakeLists.txt.
#
#   nx_add_gtest(NAME n SOURCES ... [LIBS ...] LABELS unit|conformance|golden|e2e [TIMEOUT s])
#       A GoogleTest executable; each test case becomes a ctest test carrying the labels.
#   nx_add_fuzz_target(NAME n SOURCES ... [LIBS ...] CORPUS dir)
#       A libFuzzer entry point (LLVMFuzzerTestOneInput). In a NX_FUZZ build it is a real
#       libFuzzer binary and ctest runs it for NX_FUZZ_SECONDS from seed NX_FUZZ_SEED over its corpus
#       (scripts/fuzz.sh runs longer campaigns with fresh seeds); in every other
#       build it links a small driver that replays the saved corpus as a regression test.
#   nx_add_benchmark(NAME n SOURCES ... [LIBS ...] [DEPENDS targets] [SMOKE_ENV "VAR=value" ...])
#       A Google Benchmark executable (only in a NX_BENCH build); ctest runs it once, briefly,
#       so it never rots, with SMOKE_ENV set (a small data set).

set(NX_SUPPORT_DIR ${CMAKE_SOURCE_DIR}/tests/support)

function(nx_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  # nx_version: the release the programs report (NxVersion.h), which tests compare with.
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads
    nx_version)
  target_compile_definitions(${T_NAME} PRIVATE
    NX_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    NX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    NX_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${T_NAME}."
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()

function(nx_add_fuzz_target)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(NX_FUZZ)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.corpus)
    file(MAKE_DIRECTORY ${work})
    add_test(NAME fuzz.${F_NAME}
      COMMAND ${F_NAME} -seed=${NX_FUZZ_SEED} -max_total_time=${NX_FUZZ_SECONDS} -rss_limit_mb=2048 -max_len=65536
              -print_final_stats=1 ${work} ${F_CORPUS})
    set_tests_properties(fuzz.${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
  else()
    target_sources(${F_NAME} PRIVATE ${NX_SUPPORT_DIR}/fuzz_replay_main.cpp)
    add_test(NAME fuzz.${F_NAME}.replay COMMAND ${F_NAME} ${F_CORPUS})
    set_tests_properties(fuzz.${F_NAME}.replay PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
endfunction()

function(nx_add_benchmark)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS;DEPENDS;SMOKE_ENV" ${ARGN})
  if(NOT NX_BENCH)
    return()
  endif()
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${B_NAME} PRIVATE NX_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  if(B_DEPENDS)
    add_dependencies(${B_NAME} ${B_DEPENDS})  # programs and runtimes the benchmark starts or loads
  endif()
  add_test(NAME bench.${B_NAME}.smoke COMMAND ${B_NAME} --benchmark_min_time=0.001)
  set_tests_properties(bench.${B_NAME}.smoke PROPERTIES LABELS bench TIMEOUT 300)
  if(B_SMOKE_ENV)
    # ctest's smoke run: a small data set, so it stays quick.
    set_tests_properties(bench.${B_NAME}.smoke PROPERTIES ENVIRONMENT "${B_SMOKE_ENV}")
  endif()
endfunction()
