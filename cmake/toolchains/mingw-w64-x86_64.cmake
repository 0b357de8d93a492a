# Cross compiling for 64-bit Windows with Debian's mingw-w64 (the posix-threads flavour: the
# C++ standard library's std::thread and std::mutex need it).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NX_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${NX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine (scripts/wine-run.sh: a private prefix, no display, a time limit).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
