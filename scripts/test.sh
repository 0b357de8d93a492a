#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: the plain build (unit,
# conformance, golden, e2e, corpus replays, benchmark smoke runs), then the ASan+UBSan build
# (the same tests, plus every libFuzzer target for a short fixed budget). Between them a Release
# build, with its unit tests, keeps the optimiser's warnings from coming back. Then the Windows
# cross build of the agent half, its tests run under Wine (docs/windows.md). Last, the packages
# made from the release and Windows builds: the .deb (lintian, a host session from it unpacked)
# and the ZIP (its programs' version information), scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/check-vendored.sh  # third_party/ as recorded, and of the installed packages' versions

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== plain build"
bash scripts/build.sh plain
(cd build && ctest --output-on-failure -j "${NX_JOBS:-2}" --timeout 600)

echo "== release build (the optimiser's own warnings, as errors), unit tests"
bash scripts/build.sh release
(cd build-release && ctest --output-on-failure -j "${NX_JOBS:-2}" --timeout 600 -L unit)

echo "== sanitizer build (ASan+UBSan, libFuzzer)"
bash scripts/build.sh sanitize
(cd build-asan && ctest --output-on-failure -j "${NX_JOBS:-2}" --timeout 900)

echo "== windows build (mingw-w64 cross build, tests under Wine)"
bash scripts/deps.sh windows
bash scripts/build.sh windows
(cd build-win && ctest --output-on-failure -j "${NX_JOBS:-2}" --timeout 600 -L windows)

echo "== packages: the .deb (lintian, a session from the unpacked package) and the Windows ZIP"
bash scripts/package.sh
