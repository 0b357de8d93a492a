#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            -> build/      (gcc, RelWithDebInfo, warnings as errors)
#   scripts/build.sh sanitize   -> build-asan/ (clang, ASan+UBSan, libFuzzer targets)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
jobs=${NX_JOBS:-$(nproc)}
case "$flavour" in
  plain)
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$jobs"
    ;;
  sanitize)
    CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DNX_SANITIZE=ON -DNX_FUZZ=ON -DNX_BENCH=OFF >/dev/null
    cmake --build build-asan -j "$jobs"
    ;;
  *)
    echo "usage: scripts/build.sh [plain|sanitize]" >&2
    exit 2
    ;;
esac
