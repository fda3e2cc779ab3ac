#!/usr/bin/env bash
# Replays recordings in order, in one fresh folder (a later one may need what an earlier one
# left: the saved settings, the record of an unfinished upgrade), and checks each ends as it
# was recorded: replay_recordings.sh PROGRAM RECORDING... Each recorded command is given on the
# command line, since a replay of the recorded command alone keeps its files to itself.
set -euo pipefail
program="$(realpath "$1")"
shift
recordings=()
for recording in "$@"; do recordings+=("$(realpath "$recording")"); done
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$here/../../resources/firmware/keypad-firmware-2.01.txt" "$work/firmware.txt"
cd "$work"
export XDG_DATA_HOME="$work/data"
# The product program has no loader texts built in; it finds the stand-ins where a user's are.
mkdir -p "$work/data/VeltoInterface/loader"
cp "$here/../../resources/firmware/ram-bsl-stand-in.txt" "$work/data/VeltoInterface/loader/RAM_BSL.txt"
cp "$here/../../resources/firmware/password-stand-in.txt" "$work/data/VeltoInterface/loader/password.txt"
for recording in "${recordings[@]}"; do
  expected="$(tail -n 1 "$recording" | sed -n 's/.*"exitStatus":\([0-9]*\).*/\1/p')"
  status=0
  mapfile -t arguments < <(head -n 1 "$recording" |
    python3 -c 'import json, sys; print("\n".join(json.load(sys.stdin)["arguments"]))')
  "$program" --replay "$recording" "${arguments[@]}" >"$work/out" 2>"$work/err" || status=$?
  if grep -q '^replay of ' "$work/err" || [[ "$status" != "$expected" ]]; then
    echo "$(basename "$recording"): ended with $status, recorded $expected" >&2
    cat "$work/err" >&2
    exit 1
  fi
  echo "$(basename "$recording"): replayed, exit status $status"
done
