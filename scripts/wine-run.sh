#!/usr/bin/env bash
# Runs one Windows program under Wine, headless and bounded: the CMake emulator of the Windows
# build (so ctest runs the cross-built tests through it) and the smoke session's launcher.
#   scripts/wine-run.sh program.exe [args...]
# Environment: NX_WINEPREFIX (default: a prefix of this user and this checkout under the temp
# folder, created on first use), NX_WINE_TIMEOUT seconds (default 300) after which the program is
# ended. Named pipes live in the prefix's Wine server, so two checkouts testing at once on one
# machine must not share a prefix: each would find the other's agent on "\pipe\MapiServer64".
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd -P)
export WINEPREFIX=${NX_WINEPREFIX:-${TMPDIR:-/tmp}/nx-wine-$(id -u)-$(printf '%s' "$checkout" | cksum | cut -d' ' -f1)}
export WINEDEBUG=${WINEDEBUG:--all}
# No window system: nothing may wait on a dialog. The .NET and HTML engines are never offered.
# Wine has a MAPI32.dll of its own, which it would load in place of any file of that name: only
# the file the test puts there (or none) may answer.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;mapi32=n}
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "wine-run: wine64 is not installed (scripts/deps.sh windows)" >&2; exit 127; }

# The prefix is made once, under a lock, so that parallel test runs do not race to create it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX" && chmod 700 "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
      # The registry reaches its files when the Wine server ends: wait for that (bounded).
      server=$(command -v wineserver || true)
      [ -n "$server" ] || server=/usr/lib/wine/wineserver64
      [ -x "$server" ] && timeout 60 "$server" -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec timeout --kill-after=10 "${NX_WINE_TIMEOUT:-300}" "$wine" "$@"
