#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, from Debian's packages. Safe to run
# again: it only calls apt-get when something is missing.
#   scripts/deps.sh           the Linux build, its tests and the demo
#   scripts/deps.sh windows   that, plus the Windows cross build and Wine to run its tests
#   scripts/deps.sh package   that, plus what scripts/package.sh needs for the .deb (dpkg-shlibdeps,
#                             lintian); the words combine ("windows package")
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libicu-dev libpugixml-dev libinih-dev nlohmann-json3-dev
  libxxhash-dev  # header-only use: the journal hashes identifiers with XXH3
  libexpat1-dev  # tests only: the strict XML 1.0 reader
  tzdata python3 python3-impacket
  libical-dev  # test-only: the recurrence cross-check expands RRULEs with it
)
for extra in "$@"; do
  case "$extra" in
    windows)
      packages+=(
        gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix  # the cross compiler, posix threads
        mingw-w64-tools  # widl, the IDL compiler of the RPC stubs
        wine64  # runs the cross-built tests
      )
      ;;
    package)
      packages+=(
        dpkg-dev  # dpkg-shlibdeps: the .deb's dependencies
        file      # CPack finds the programs and libraries to hand dpkg-shlibdeps with it
        lintian   # the .deb's check
      )
      ;;
    *)
      echo "usage: scripts/deps.sh [windows] [package]" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
