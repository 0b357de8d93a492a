#!/usr/bin/env bash
# The Windows build's acceptance checks on its binaries (ctest runs it in build-win):
#   - NxAgentOutlook64.exe, nxhost.exe and Deltatrack64.dll are PE32+ x86-64, both programs
#     console programs;
#   - the agent imports RPCRT4.dll, ADVAPI32.dll and KERNEL32.dll (and Deltatrack64.dll);
#   - the agent and nxhost import the calls that keep their pipes the user's own
#     (platform/rpc/PipeSecurity_win.cpp): the endpoint's descriptor, the local-only
#     registration with its security callback, the caller's identity, and the listener check;
#   - none of the Linux stand-ins is linked in: no text that only they carry (the socket folder
#     of the RPC stand-in, the .reg hive folder of the registry stand-in, /proc paths, the Linux
#     MAPI runtime's file name);
#   - mapiadmin.exe (beside the stand-in MAPI32.dll, second folder) is a PE32+ console program
#     that loads the runtime rather than linking it, as the agent does;
#   - each of them carries its version information (VERSIONINFO, read back with the cross
#     toolchain's windres): product NxAgentForOutlook64, its own file name, a description, and the
#     file and product version X.Y.Z when --version is given.
#   scripts/check-windows-binaries.sh [--version X.Y.Z] build-win/bin [build-win/mapi32]
# scripts/package.sh runs it on the unpacked ZIP as well.
set -euo pipefail
version=""
if [ "${1:-}" = --version ]; then
  version=${2:?--version needs X.Y.Z}
  shift 2
fi
bin=${1:?usage: check-windows-binaries.sh [--version X.Y.Z] <folder of the Windows binaries> [<folder of mapiadmin>]}
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
windres=$(command -v x86_64-w64-mingw32-windres || command -v windres)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers() { "$objdump" -p "$1"; }
# "DLL!function" for each function a program imports by name.
imports() { "$objdump" -p "$1" | awk '/DLL Name:/ { dll = toupper($3) } dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll "!" $3 }'; }

# The pipe security calls, by the DLL that must provide them.
security_calls=(
  RPCRT4.DLL!RpcServerUseProtseqEpW RPCRT4.DLL!RpcServerRegisterIf2 RPCRT4.DLL!RpcImpersonateClient
  RPCRT4.DLL!RpcRevertToSelfEx ADVAPI32.DLL!ConvertStringSecurityDescriptorToSecurityDescriptorW
  ADVAPI32.DLL!OpenThreadToken ADVAPI32.DLL!OpenProcessToken ADVAPI32.DLL!GetTokenInformation
  KERNEL32.DLL!GetNamedPipeServerProcessId KERNEL32.DLL!PeekNamedPipe
)

for f in NxAgentOutlook64.exe nxhost.exe Deltatrack64.dll; do
  [ -f "$bin/$f" ] || { fail "$f is missing"; continue; }
  h=$(headers "$bin/$f")
  grep -q "file format pei-x86-64" <<<"$h" || fail "$f is not a PE x86-64 image"
  grep -Eq "^Magic[[:space:]]+020b" <<<"$h" || fail "$f is not PE32+"
done

for f in NxAgentOutlook64.exe nxhost.exe; do
  [ -f "$bin/$f" ] || continue
  grep -Eq "^Subsystem[[:space:]]+0+3[[:space:]]" <<<"$(headers "$bin/$f")" || fail "$f is not a console program"
done

for f in NxAgentOutlook64.exe nxhost.exe; do
  [ -f "$bin/$f" ] || continue
  imported=$(imports "$bin/$f")
  for call in "${security_calls[@]}"; do
    grep -qxF "$call" <<<"$imported" || fail "$f does not import $call"
  done
done

agent="$bin/NxAgentOutlook64.exe"
if [ -f "$agent" ]; then
  h=$(headers "$agent")
  for dll in RPCRT4.dll ADVAPI32.dll KERNEL32.dll Deltatrack64.dll; do
    grep -qi "DLL Name: $dll" <<<"$h" || fail "the agent does not import $dll"
  done
  for marker in nx-pipes nx-registry NX_PIPE_DIR /proc/self libmapi32.so; do
    if strings -a "$agent" | grep -qF "$marker"; then fail "the agent carries Linux stand-in code ($marker)"; fi
  done
  grep -qi "DLL Name: MAPI32.dll" <<<"$h" && fail "the agent links MAPI32.dll instead of loading it"
fi

admin=${2:+$2/mapiadmin.exe}
if [ -n "$admin" ]; then
  if [ -f "$admin" ]; then
    h=$(headers "$admin")
    grep -Eq "^Magic[[:space:]]+020b" <<<"$h" || fail "mapiadmin is not PE32+"
    grep -Eq "^Subsystem[[:space:]]+0+3[[:space:]]" <<<"$h" || fail "mapiadmin is not a console program"
    grep -qi "DLL Name: MAPI32.dll" <<<"$h" && fail "mapiadmin links MAPI32.dll instead of loading it"
  else
    fail "mapiadmin.exe is missing"
  fi
fi

# The version resource as windres reads it back (its .rc form): "VALUE "Name", "text"" lines.
version_value() { sed -n "s/^ *VALUE \"$2\", \"\(.*\)\"\$/\1/p" <<<"$1"; }
for f in "$bin/NxAgentOutlook64.exe" "$bin/nxhost.exe" "$bin/Deltatrack64.dll" ${admin:+"$admin"}; do
  [ -f "$f" ] || continue
  rc=$("$windres" -i "$f" -O rc 2>/dev/null) || { fail "$(basename "$f") has no resources"; continue; }
  grep -q "VERSIONINFO" <<<"$rc" || { fail "$(basename "$f") has no version information"; continue; }
  [ "$(version_value "$rc" ProductName)" = NxAgentForOutlook64 ] || fail "$(basename "$f"): product name '$(version_value "$rc" ProductName)'"
  [ "$(version_value "$rc" OriginalFilename)" = "$(basename "$f")" ] || fail "$(basename "$f"): original file name '$(version_value "$rc" OriginalFilename)'"
  [ -n "$(version_value "$rc" FileDescription)" ] || fail "$(basename "$f") has no file description"
  for key in FileVersion ProductVersion; do
    v=$(version_value "$rc" $key)
    if [ -n "$version" ]; then
      [ "$v" = "$version" ] || fail "$(basename "$f"): $key '$v', not $version"
    else
      [[ $v =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$(basename "$f"): $key '$v'"
    fi
  done
done

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "Windows binaries: PE32+ x86-64, console agent and nxhost, the agent importing RPCRT4, ADVAPI32, KERNEL32; both importing the pipe security calls; no Linux stand-in; version information ${version:-present}"
