#!/usr/bin/env bash
# Makes the release packages in dist/, each with its .sha256, and checks each as it is made:
#   nxagentforoutlook64_<version>_<arch>.deb   from the Linux release build (build-release):
#                                              lintian must find no error in it, and unpacked
#                                              into a scratch root (dpkg-deb -x) its agent, tools
#                                              and sessions pass scripts/check-installed.sh (a
#                                              host session from the unpacked tree)
#   NxAgentForOutlook64-<version>-win64.zip    from the Windows cross build (build-win): its
#                                              files, and its programs' version information
#   scripts/package.sh [deb] [zip]             (default: both)
# Installs what is missing and builds what is not built yet (scripts/deps.sh, scripts/build.sh),
# so on a fresh machine it needs nothing else. CI runs it (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kinds=("$@")
((${#kinds[@]})) || kinds=(deb zip)
for kind in "${kinds[@]}"; do
  case "$kind" in
    deb | zip) ;;
    *) echo "usage: scripts/package.sh [deb] [zip]" >&2; exit 2 ;;
  esac
done
version=$(sed -n 's/^project(NxAgentForOutlook64 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no project version in CMakeLists.txt" >&2; exit 1; }
mkdir -p dist

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# cpack in BUILD for GENERATOR into BUILD/packages; the package must be named NAME. Prints its path.
pack() {
  local build=$1 generator=$2 name=$3
  rm -rf "$build/packages"
  (cd "$build" && cpack -G "$generator" -B "$build/packages" >"$build/packages.log" 2>&1) ||
    { cat "$build/packages.log" >&2; echo "package: cpack -G $generator failed" >&2; exit 1; }
  [ -f "$build/packages/$name" ] || { echo "package: cpack made no $name (see $build/packages.log)" >&2; exit 1; }
  echo "$build/packages/$name"
}

for kind in "${kinds[@]}"; do
  rm -rf "${scratch:?}"/*
  case "$kind" in
    deb)
      bash scripts/deps.sh package
      bash scripts/build.sh release
      deb=$(pack "$root/build-release" DEB "nxagentforoutlook64_${version}_$(dpkg --print-architecture).deb")
      echo "== $(basename "$deb"): depends on $(dpkg-deb -f "$deb" Depends)"
      # Errors fail the package; warnings are shown (the tools have --help, no manual pages).
      lintian --fail-on error "$deb"
      dpkg-deb -x "$deb" "$scratch"
      bash scripts/check-installed.sh --version "$version" "$scratch/usr" "$root"
      ;;
    zip)
      bash scripts/deps.sh windows
      bash scripts/build.sh windows
      zip=$(pack "$root/build-win" ZIP "NxAgentForOutlook64-${version}-win64.zip")
      (cd "$scratch" && cmake -E tar xf "$zip")
      top=$scratch/NxAgentForOutlook64-${version}-win64
      for f in NxAgentOutlook64.exe Deltatrack64.dll nxhost.exe PIMProfile.ini mapi-standin/MAPI32.dll \
        mapi-standin/mapiadmin.exe idl/NxAgent.idl idl/NxHostCallback.idl sessions/smoke.nxh docs/README.md \
        docs/hosts.md docs/third-party/pugixml-LICENSE.md docs/third-party/sqlite-LICENSE.md; do
        [ -f "$top/$f" ] || { echo "package: the ZIP lacks $f" >&2; exit 1; }
      done
      # The agent folder must not hold a MAPI32.dll: the agent would load it before the system's.
      [ ! -e "$top/MAPI32.dll" ] || { echo "package: MAPI32.dll beside the agent" >&2; exit 1; }
      grep -q $'\r$' "$top/PIMProfile.ini" || { echo "package: PIMProfile.ini without CR LF" >&2; exit 1; }
      bash scripts/check-windows-binaries.sh --version "$version" "$top" "$top/mapi-standin"
      ;;
  esac
  package=${deb:-${zip:-}}
  cp "$package" "$package.sha256" dist/
  echo "== dist/$(basename "$package")"
  unset deb zip
done
