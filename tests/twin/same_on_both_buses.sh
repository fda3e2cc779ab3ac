#!/usr/bin/env bash
# Every command, on one keypad and on several, run by the virtual command line on the virtual bus
# and by the real one on the keypad twin: the same exit status and the same words, paths aside.
# Then what the real program did on the twin replays in the virtual program, and what the
# virtual program did replays in the real one: the same calls and answers on both buses.
#   same_on_both_buses.sh TWIN REAL_CLI VIRTUAL_CLI
set -euo pipefail
twin="$(realpath "$1")" real="$(realpath "$2")" virtual="$(realpath "$3")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
firmware="$here/../../resources/firmware"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

one='{"keypads": [{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 7, "keypadType": 2}]}'
two='{"keypads": [{"id": "a", "serialNumber": "VNK-A"},
                  {"id": "b", "serialNumber": "VNK-B", "firmwareVersion": "2.01"}]}'
# Plugged in one after the other while a station waits.
arriving='{"keypads": [{"id": "a", "serialNumber": "", "arriveAfterMs": 300},
                       {"id": "b", "serialNumber": "VNK-B", "arriveAfterMs": 2000}]}'
runs=(
  "one|list" "one|status" "one|status --json" "one|brightness 3" "one|layout custom" "one|table"
  "one|table set left=0x04 up=UpArrow+LeftCtrl" "one|save --file settings.ini"
  "one|restore --file settings.ini" "one|apply --file settings.ini" "one|factory-reset"
  "one|identify" "one|led-colour green" "one|buzzer on" "one|buzzer-period 3"
  "one|volume low 40" "one|volume-config external-jack" "one|serial set VNK-Z --force"
  "one|upgrade firmware.txt" "one|--device 1-a status" "one|brightness 12"
  "two|list --json" "two|status" "two|status --all" "two|--serial VNK-B status"
  "two|apply --all --file settings.ini" "two|upgrade --all --expect-version 2.01 firmware.txt"
  "arriving|station firmware.txt --expect-version 2.01 --serial-from VNK-0100 --count 2"
)

# A folder of its own for one run: the bus, the loader texts a real program needs, a settings
# file and the firmware.
fresh() {
  rm -rf "$1" && mkdir -p "$1/bench" "$1/data/VeltoInterface/loader"
  cp "$firmware/ram-bsl-stand-in.txt" "$1/data/VeltoInterface/loader/RAM_BSL.txt"
  cp "$firmware/password-stand-in.txt" "$1/data/VeltoInterface/loader/password.txt"
  cp "$firmware/keypad-firmware-2.01.txt" "$1/firmware.txt"
  printf ' [appSettings]\r\n CodeTableValues=0,80,0,79,0,81,0,82,0,40,\r\n LedBrightness=3\r\n KeypadLayout=2\r\n FirstUp=Yes\r\n' \
    >"$1/settings.ini"
  printf '%s' "$2" >"$1/bus.json"
}
# run FOLDER PROGRAM... ARGUMENTS: the exit status, then the output in the words of either bus.
run() {
  local folder="$1"
  shift
  local status=0
  (cd "$folder" && XDG_DATA_HOME="$folder/data" NAVKEYPAD_BENCH_FOLDER="$folder/bench" \
    NAVKEYPAD_VIRTUAL_STATE="$folder/bus.json" "$@" >out 2>&1) || status=$?
  echo "exit $status"
  sed -E "s#$folder#FOLDER#g; s#/dev/hidraw[0-9]+#PATH#g; s#virtual:[a-z]+:1\.[01]#PATH#g;
          s#navkeypad-virtual#navkeypad#g" "$folder/out"
}

failed=0
for entry in "${runs[@]}"; do
  bus="${entry%%|*}" arguments="${entry#*|}"
  fresh "$work/virtual" "${!bus}"
  fresh "$work/twin" "${!bus}"
  # shellcheck disable=SC2086
  if ! diff <(run "$work/virtual" "$virtual" $arguments) <(run "$work/twin" "$twin" "$real" $arguments) \
    >"$work/diff"; then
    echo "$arguments on $bus keypad(s): the buses differ (< virtual, > twin)" >&2
    cat "$work/diff" >&2
    failed=1
  fi
done

for command in "status --json" "upgrade firmware.txt"; do
  name="${command%% *}"
  fresh "$work/twin" "$one"
  fresh "$work/virtual" "$one"
  # shellcheck disable=SC2086
  run "$work/twin" "$twin" "$real" --record "$work/twin-$name.jsonl" $command >/dev/null
  # shellcheck disable=SC2086
  run "$work/virtual" "$virtual" --record "$work/virtual-$name.jsonl" $command >/dev/null
  bash "$here/../recordings/replay_recordings.sh" "$virtual" "$work/twin-$name.jsonl"
  bash "$here/../recordings/replay_recordings.sh" "$real" "$work/virtual-$name.jsonl"
done
exit "$failed"
