#!/usr/bin/env bash
# Records the command line's traffic with the virtual keypad, one recording a command, into
# this folder: make_recordings.sh BUILD_FOLDER. A recording from a real keypad is made the same
# way (navkeypad --record FILE COMMAND) and dropped in beside these.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
program="$build/cli/navkeypad-virtual"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$here/../../resources/firmware/keypad-firmware-2.01.txt" "$work/firmware.txt"
cd "$work"
export XDG_DATA_HOME="$work/data"

# record NAME [STATE_JSON] -- ARGUMENTS...: one run, on a bus made from STATE_JSON when given.
record() {
  local name="$1" state="$2"
  shift 3
  if [[ -n "$state" ]]; then printf '%s' "$state" >"$work/bus.json"; fi
  NAVKEYPAD_VIRTUAL_STATE="$work/bus.json" "$program" --record "$here/$name.jsonl" "$@" \
    >/dev/null 2>&1 || true
}

custom='{"keypads": [{"keypadType": 2, "customTable": [0, 80, 0, 79, 0, 81, 0, 82, 0, 40]}]}'
record cli-list-no-keypad '{}' -- list
record cli-list '{"keypads": [{}]}' -- list
record cli-list-json '{"keypads": [{}, {"serialNumber": "VNK000124"}]}' -- list --json
record cli-status '{"keypads": [{}]}' -- status
record cli-status-json "$custom" -- status --json
record cli-brightness '{"keypads": [{}]}' -- brightness 7
record cli-layout '{"keypads": [{}]}' -- layout custom
record cli-table "$custom" -- table
record cli-table-set "$custom" -- table set left=0x04 up=UpArrow+LeftCtrl
record cli-save "$custom" -- save --file settings.ini
record cli-restore "" -- restore --file settings.ini
record cli-factory-reset '{"keypads": [{}]}' -- factory-reset
record cli-upgrade '{"keypads": [{"serialNumber": "VNK000200", "ledBrightness": 3}]}' -- \
  upgrade firmware.txt
record cli-upgrade-failed \
  '{"keypads": [{"serialNumber": "VNK000300", "faults": {"corruptLoaderWrite": 3}}]}' -- \
  upgrade firmware.txt
# The same keypad, waiting in its loader; the record of its settings is still on disk.
python3 - "$work/bus.json" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))
state["keypads"][0]["faults"] = {}
json.dump(state, open(sys.argv[1], "w"))
PY
record cli-upgrade-resumed "" -- upgrade firmware.txt
# The window program's start-up; it runs until it is stopped.
printf '%s' '{"keypads": [{}]}' >"$work/bus.json"
QT_QPA_PLATFORM=offscreen NAVKEYPAD_VIRTUAL_STATE="$work/bus.json" \
  NAVKEYPAD_RECORD="$here/window-start-up.jsonl" timeout 5 \
  "$build/src/app/navkeypad-utility-virtual" >/dev/null 2>&1 || true
echo "recorded into $here"
