#!/usr/bin/env bash
# Checks the vendored third-party sources (third_party/, compiled only by the Windows build):
# each file is the one recorded in third_party/SHA256SUMS (where it came from is in
# third_party/README.md), no file is there without its checksum, and the vendored SQLite and
# pugixml are the versions of the packages the Linux build compiles against (SQLITE_VERSION and
# PUGIXML_VERSION of third_party/ equal those of the installed development headers), so both
# builds stand on the same libraries. Exits 1 with a line for each difference.
set -euo pipefail
cd "$(dirname "$0")/../third_party"
status=0
fail() {
  echo "check-vendored: $*" >&2
  status=1
}

# The value of MACRO as FILE defines it ("3.40.1" with its quotes, 1130), or nothing.
macro_value() {
  [ -f "$1" ] && sed -n -E "s/^#[[:space:]]*define[[:space:]]+$2[[:space:]]+([^[:space:]]+).*/\1/p" "$1" | head -n 1
}

# NAME VENDORED_HEADER PKG_CONFIG_MODULE MACRO
same_version() {
  local includedir installed vendored packaged
  includedir=$(pkg-config --variable=includedir "$3" 2>/dev/null) || includedir=""
  installed="$includedir/$(basename "$2")"
  vendored=$(macro_value "$2" "$4" || true)
  packaged=$(macro_value "$installed" "$4" || true)
  if [ -z "$includedir" ] || [ -z "$packaged" ]; then
    fail "$1: no installed development header of pkg-config module $3 (scripts/deps.sh installs it)"
  elif [ "$vendored" != "$packaged" ]; then
    fail "$1: third_party/$2 has $4 ${vendored:-(none)}, the installed $installed has $packaged"
  else
    echo "check-vendored: $1 $vendored, the same as $installed"
  fi
}

same_version SQLite sqlite/sqlite3.h sqlite3 SQLITE_VERSION
same_version pugixml pugixml/pugixml.hpp pugixml PUGIXML_VERSION

if ! sha256sum --quiet --strict -c SHA256SUMS; then
  fail "a vendored file is not the one recorded in third_party/SHA256SUMS"
fi
while IFS= read -r file; do
  grep -q -F "  $file" SHA256SUMS || fail "third_party/$file has no checksum in third_party/SHA256SUMS"
done < <(find . -type f ! -name README.md ! -name SHA256SUMS | sed 's|^\./||' | sort)

[ "$status" -eq 0 ] && echo "check-vendored: every vendored file matches its recorded checksum"
exit "$status"
