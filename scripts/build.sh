#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            -> build/         (gcc, RelWithDebInfo)
#   scripts/build.sh sanitize   -> build-asan/    (clang, ASan+UBSan, libFuzzer targets)
#   scripts/build.sh release    -> build-release/ (gcc, Release: the optimiser's own warnings)
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
  *)
    echo "usage: scripts/build.sh [plain|sanitize|release]" >&2
    exit 2
    ;;
esac
