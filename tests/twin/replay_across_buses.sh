#!/usr/bin/env bash
# What the real command line did on the keypad twin replays in the virtual program, and what the
# virtual program did replays in the real one: the same calls and answers on both buses.
#   replay_across_buses.sh TWIN REAL_CLI VIRTUAL_CLI
set -euo pipefail
twin="$(realpath "$1")" real="$(realpath "$2")" virtual="$(realpath "$3")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$here/../../resources/firmware/keypad-firmware-2.01.txt" "$work/firmware.txt"
cd "$work"
export XDG_DATA_HOME="$work/data" NAVKEYPAD_BENCH_FOLDER="$work/bench"
mkdir -p bench data/VeltoInterface/loader
cp "$here/../../resources/firmware/ram-bsl-stand-in.txt" data/VeltoInterface/loader/RAM_BSL.txt
cp "$here/../../resources/firmware/password-stand-in.txt" data/VeltoInterface/loader/password.txt
bus='{"keypads": [{"serialNumber": "VNK-A", "ledBrightness": 7}]}'
for command in "status --json" "upgrade firmware.txt"; do
  name="${command%% *}"
  printf '%s' "$bus" >bus.json
  # shellcheck disable=SC2086
  NAVKEYPAD_VIRTUAL_STATE=bus.json "$twin" "$real" --record "twin-$name.jsonl" $command >/dev/null
  printf '%s' "$bus" >bus.json
  # shellcheck disable=SC2086
  NAVKEYPAD_VIRTUAL_STATE=bus.json "$virtual" --record "virtual-$name.jsonl" $command >/dev/null
  bash "$here/../recordings/replay_recordings.sh" "$virtual" "twin-$name.jsonl"
  bash "$here/../recordings/replay_recordings.sh" "$real" "virtual-$name.jsonl"
done
