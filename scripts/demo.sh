#!/usr/bin/env bash
# Installs what is missing, builds, and runs a complete host session against the agent in a
# temporary world of its own (XDG folders, pipe directory, MAPI profile and store, registry),
# printing the procedures, their results, the documents and the agent's trace log.
#   scripts/demo.sh [SESSION]    SESSION defaults to tools/nxhost/sessions/demo.nxh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
session=${1:-$root/tools/nxhost/sessions/demo.nxh}
# A relative session path is taken from where the demo was started, or else from the tree.
[ -f "$session" ] || session=$root/$session
[ -f "$session" ] || { echo "demo: no session file ${1:-}" >&2; exit 2; }
session=$(cd "$(dirname "$session")" && pwd)/$(basename "$session")
cd "$root"

bash scripts/deps.sh
echo "== building"
bash scripts/build.sh plain
bin=$root/build/bin

world=$(mktemp -d /tmp/nx-demo.XXXXXX)
export XDG_CONFIG_HOME=$world/config XDG_DATA_HOME=$world/data XDG_RUNTIME_DIR=$world/run
export NX_PIPE_DIR=$world/pipes TMPDIR=$world/tmp
unset NX_DEBUG_OUTPUT
mkdir -p "$XDG_CONFIG_HOME/nx-registry" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR" "$world/agent"
echo "== temporary world: $world"

# The agent is installed as on Windows: the executable with its libraries beside it.
cp "$bin/NxAgentOutlook64" "$world/agent/"
for lib in "$bin"/*.so; do [ -e "$lib" ] && cp "$lib" "$world/agent/"; done
agent=$world/agent/NxAgentOutlook64
if [ -e "$world/agent/libmapi32.so" ]; then
  echo "   MAPI runtime: $world/agent/libmapi32.so"
else
  echo "   MAPI runtime: not built yet; the agent answers every MAPI procedure with its failure value"
fi

# Trace log on (switch 2: to the file beside the agent), keyed by the agent's full path.
cat > "$XDG_CONFIG_HOME/nx-registry/HKEY_CURRENT_USER.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]
"$agent"=dword:00000002
REG
# The folders and profiles documents go to \$XDG_DATA_HOME/Sync.
printf '[Outlook]\r\nsubfolder=false\r\nXMLPath=Sync\r\n' > "$world/agent/PIMProfile.ini"

if [ -x "$bin/mapiadmin" ]; then
  echo "== mapiadmin init (profile \"Outlook\", store \"Personal Folders\")"
  "$bin/mapiadmin" init
  sessions=$root/tools/nxhost/sessions
  contacts="Personal Folders/Top of Personal Folders/Contacts"
  "$bin/mapiadmin" item put "$contacts" "$sessions/demo-contact.json" >/dev/null &&
    echo "   a contact in Contacts" || echo "demo: could not add the sample contact" >&2
  ids=$("$bin/mapiadmin" item put "$contacts" "$sessions/demo-contacts.json") &&
    echo "   two more contacts in Contacts" || echo "demo: could not add the sample contacts" >&2
  bob=$(echo "$ids" | sed -n 1p)
  cleo=$(echo "$ids" | sed -n 2p)
  "$bin/mapiadmin" item put "Personal Folders/Top of Personal Folders/Calendar" "$sessions/demo-appointment.json" >/dev/null &&
    echo "   three appointments in Calendar (one all-day, one a weekly series with exceptions)" || echo "demo: could not add the sample appointments" >&2
  "$bin/mapiadmin" folder list || true
else
  echo "== mapiadmin is not built yet: the session runs without a MAPI profile"
fi

echo "== host session: $session"
status=0
"$bin/nxhost" --start "$agent" --save "$world/documents" --script "$session" || status=$?

# The default session took a first change read under the anchor "demo"; change the address book
# with mapiadmin and read only what changed since.
if [ "$session" = "$root/tools/nxhost/sessions/demo.nxh" ] && [ -n "${bob:-}" ]; then
  echo "== mapiadmin: an edit (Bob), a deletion (Cleo) and an addition (Dana)"
  "$bin/mapiadmin" item update "$bob" "$sessions/demo-contact-edit.json" >/dev/null
  "$bin/mapiadmin" item delete "$cleo"
  "$bin/mapiadmin" item put "$contacts" "$sessions/demo-contact-new.json" >/dev/null
  echo "== host session: $root/tools/nxhost/sessions/contacts-change-read.nxh"
  "$bin/nxhost" --start "$agent" --save "$world/changes" \
    --script "$root/tools/nxhost/sessions/contacts-change-read.nxh" || status=$?
fi

# The calendar writes: an appointment, a weekly series and an all-day event written by the host,
# read back with the rest of the calendar, then the all-day event deleted.
if [ "$session" = "$root/tools/nxhost/sessions/demo.nxh" ] && [ -x "$bin/mapiadmin" ]; then
  echo "== host session: $root/tools/nxhost/sessions/calendar-write-demo.nxh"
  "$bin/nxhost" --start "$agent" --save "$world/calendar-writes" \
    --script "$root/tools/nxhost/sessions/calendar-write-demo.nxh" || status=$?
fi

echo "== documents"
found=0
for f in "$XDG_DATA_HOME/Sync/Profile.xml" "$XDG_DATA_HOME/Sync/Outlook.xml" "$world"/documents/*.xml \
  "$world"/changes/*.xml "$world"/calendar-writes/*.xml; do
  [ -f "$f" ] || continue
  found=1
  echo "-- $f"
  cat "$f"
  echo
done
[ "$found" = 1 ] || echo "(none)"

echo "== trace log $world/agent/NxAgentOutlook64.log (UTF-16LE)"
if [ -f "$world/agent/NxAgentOutlook64.log" ]; then
  iconv -f UTF-16 -t UTF-8 "$world/agent/NxAgentOutlook64.log" | tr -d '\r'
  echo
else
  echo "(no trace log)"
fi
echo "== the world stays in $world (rm -rf it when done); nxhost exit status: $status"
exit "$status"
