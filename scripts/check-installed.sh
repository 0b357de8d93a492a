#!/usr/bin/env bash
# Checks an installed tree as a person who installed the agent meets it, and runs a short host
# session from it.
#   scripts/check-installed.sh [--version X.Y.Z] PREFIX [PATH...]
#       PREFIX is what `cmake --install --prefix PREFIX` made, or <root>/usr of an unpacked .deb;
#       no installed file may name a PATH (the source and build folders)
#   scripts/check-installed.sh --install BUILD [--version X.Y.Z] [PATH...]
#       installs the build folder BUILD into a temporary prefix, moves the tree elsewhere (it must
#       work wherever it lies) and checks it as above, BUILD among the PATHs; ctest runs this
#       (tests/install), CI runs the first form on the unpacked .deb (scripts/test.sh)
# What it checks: the layout (the agent, its two libraries and PIMProfile.ini in one folder; the
# tools; the sessions; the documentation), that programs and libraries find what they load only
# relative to themselves (run paths from $ORIGIN, needed libraries by name), that no installed
# text names a PATH, that the three tools and the agent's first trace line report the
# one version (X.Y.Z when given), and that the installed nxhost runs the smoke session against
# the installed agent and a store made by the installed mapiadmin in a temporary world.
set -euo pipefail

usage() { echo "usage: check-installed.sh [--version X.Y.Z] {PREFIX | --install BUILD} [PATH...]" >&2; exit 2; }
install_from="" version="" prefix=""
forbidden=()
while (($#)); do
  case "$1" in
    --install) install_from=${2:?}; shift 2 ;;
    --version) version=${2:?}; shift 2 ;;
    -*) usage ;;
    *) if [ -z "$install_from" ] && [ -z "$prefix" ]; then prefix=$1; else forbidden+=("$1"); fi; shift ;;
  esac
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/nx-installed.XXXXXX")
# nxhost ends the agent it started (its waits are bounded by --wait), so only files are left.
trap 'rm -rf "$scratch"' EXIT

if [ -n "$install_from" ]; then
  [ -z "$prefix" ] || usage
  build=$(cd "$install_from" && pwd -P)
  forbidden+=("$build")
  cmake --install "$build" --prefix "$scratch/staged" >"$scratch/install.log" ||
    { cat "$scratch/install.log"; exit 1; }
  # Relocatable: the tree must work from anywhere, so it runs from a path it was not installed to.
  mv "$scratch/staged" "$scratch/moved"
  prefix=$scratch/moved
fi
[ -n "$prefix" ] && [ -d "$prefix" ] || usage
prefix=$(cd "$prefix" && pwd -P)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

package=nxagentforoutlook64
agentdir=$prefix/libexec/$package
bin=$prefix/bin
sessions=$prefix/share/$package/sessions
doc=$prefix/share/doc/$package

# ---- layout -------------------------------------------------------------------------------
for f in "$agentdir/NxAgentOutlook64" "$agentdir/libDeltatrack64.so" "$agentdir/libmapi32.so" \
  "$agentdir/PIMProfile.ini" "$bin/nxhost" "$bin/mapiadmin" "$bin/deltatrack" \
  "$sessions/smoke.nxh" "$sessions/contact-add.xml" "$prefix/share/$package/idl/NxAgent.idl" \
  "$prefix/share/$package/idl/NxHostCallback.idl" "$doc/README.md" "$doc/hosts.md"; do
  [ -e "$f" ] || [ -L "$f" ] || fail "${f#"$prefix"/} is not installed"
done
# In the .deb the configuration is /etc's, linked from the agent's folder.
if [ -L "$agentdir/PIMProfile.ini" ]; then
  target=$(readlink "$agentdir/PIMProfile.ini")
  [ -f "$prefix/..$target" ] || fail "PIMProfile.ini links to $target, which the package does not hold"
fi
((failures == 0)) || { echo "$failures check(s) failed"; exit 1; }

# ---- nothing points outside the tree --------------------------------------------------------
while IFS= read -r -d '' f; do
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    # Run paths may only be relative to the file itself.
    while read -r path; do
      for entry in ${path//:/ }; do
        case "$entry" in '$ORIGIN' | '$ORIGIN/'*) ;; *) fail "${f#"$prefix"/} has the run path $entry" ;; esac
      done
    done < <(readelf -d "$f" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    # Libraries are found by name (beside the file, or by the system), never by a path.
    while read -r needed; do
      case "$needed" in */*) fail "${f#"$prefix"/} needs $needed by its path" ;; esac
    done < <(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    # Source locations a binary carries for its diagnostics (debug information, sanitizer and
    # assert texts) name the sources wherever they were built; they are no dependency.
  else
    for p in "${forbidden[@]}"; do
      if grep -qF "$p" "$f"; then fail "${f#"$prefix"/} names $p"; fi
    done
  fi
done < <(find "$prefix" -type f -print0)

# ---- one version ----------------------------------------------------------------------------
expected_version=$version
for tool in nxhost mapiadmin deltatrack; do
  line=$("$bin/$tool" --version) || fail "$tool --version exited $?"
  v=${line#"$tool (NxAgentForOutlook64) "}
  [ "$v" != "$line" ] && [[ $v =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { fail "$tool --version printed '$line'"; continue; }
  [ -n "$expected_version" ] || expected_version=$v
  [ "$v" = "$expected_version" ] || fail "$tool --version is $v, not $expected_version"
done

# ---- a session in a temporary world ---------------------------------------------------------
world=$scratch/world
export XDG_CONFIG_HOME=$world/config XDG_DATA_HOME=$world/data XDG_RUNTIME_DIR=$world/run
export NX_PIPE_DIR=$world/pipes TMPDIR=$world/tmp
unset NX_DEBUG_OUTPUT
mkdir -p "$XDG_CONFIG_HOME/nx-registry" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
agent=$agentdir/NxAgentOutlook64
# The trace file beside the agent, switched on for the agent's own path.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n"%s"=dword:00000002\r\n' \
  "$agent" >"$XDG_CONFIG_HOME/nx-registry/HKEY_CURRENT_USER.reg"
log=$agentdir/NxAgentOutlook64.log
rm -f "$log"

"$bin/mapiadmin" init >"$scratch/init.out" 2>&1 || { cat "$scratch/init.out"; fail "mapiadmin init exited $?"; }
status=0
"$bin/nxhost" --wait 60 --start "$agent" --script "$sessions/smoke.nxh" >"$scratch/session.out" 2>&1 || status=$?
if [ "$status" != 0 ]; then
  cat "$scratch/session.out"
  fail "the smoke session exited $status"
fi
"$bin/deltatrack" list >/dev/null || fail "deltatrack list exited $?"

if [ -f "$log" ]; then
  first=$(iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r' | sed -n 1p)
  [ "$first" = "[NxAgentForOutlook64] NxAgentOutlook64 (NxAgentForOutlook64) $expected_version" ] ||
    fail "the trace log starts with '$first'"
  rm -f "$log"
else
  fail "the agent wrote no trace log beside itself"
fi

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "installed tree $prefix: layout, run paths, version $expected_version, smoke session: ok"
