#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            -> build/         (gcc, RelWithDebInfo)
#   scripts/build.sh sanitize   -> build-asan/    (clang, ASan+UBSan, libFuzzer targets)
#   scripts/build.sh release    -> build-release/ (gcc, Release: the optimiser's own warnings)
#   scripts/build.sh windows    -> build-win/     (mingw-w64 cross build of the agent half for
#                                                  64-bit Windows; ctest runs it under Wine)
# Every flavour treats warnings as errors (NX_WERROR); a plain cmake build does not.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
jobs=${NX_JOBS:-$(nproc)}
case "$flavour" in
  plain)
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNX_WERROR=ON >/dev/null
    cmake --build build -j "$jobs"
    ;;
  sanitize)
    CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DNX_SANITIZE=ON -DNX_FUZZ=ON -DNX_BENCH=OFF -DNX_WERROR=ON >/dev/null
    cmake --build build-asan -j "$jobs"
    ;;
  release)
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNX_BENCH=OFF -DNX_WERROR=ON >/dev/null
    cmake --build build-release -j "$jobs"
    ;;
  windows)
    cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release -DNX_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake >/dev/null
    cmake --build build-win -j "$jobs"
    ;;
  *)
    echo "usage: scripts/build.sh [plain|sanitize|release|windows]" >&2
    exit 2
    ;;
esac
