#!/usr/bin/env bash
# The bash completion as built, sourced into a bash started without any start-up files,
# completes commands, options, layouts, keys, modifiers and the paths `navkeypad list` prints.
# check_completion.sh COMPLETION
set -euo pipefail
completion="$1"
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
# Stands in for navkeypad list, so the check needs no keypad.
printf '#!/bin/sh\necho "/dev/hidraw3  serial VNK000123  firmware 1.04"\necho "virtual:keypad1:1.1  serial VNK000124  firmware 1.04"\n' >"$fake/navkeypad"
chmod +x "$fake/navkeypad"
complete_words() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _navkeypad
    echo "${COMPREPLY[*]}"' _ "$completion" "$@"
}
expect() {
  local wanted="$1"
  shift
  local got
  got="$(complete_words "$@")"
  [[ "$got" == "$wanted" ]] || { echo "completing '$*': got '$got', wanted '$wanted'" >&2; exit 1; }
}
expect "layout" navkeypad lay
expect "default alternate custom" navkeypad layout ""
expect "--device" navkeypad --dev
expect "/dev/hidraw3" "$fake/navkeypad" --device /
# bash replaces only what follows the last = or : of a word: the answers are cut to match.
expect "keypad1:1.1" "$fake/navkeypad" --device virtual:k
expect "VNK000123 VNK000124" "$fake/navkeypad" --serial VNK
expect "local-jack local-no-jack" navkeypad volume-config loc
expect "set" navkeypad table ""
expect "UpArrow" navkeypad table set up=Up
expect "0x50+LeftCtrl 0x50+LeftShift 0x50+LeftAlt 0x50+LeftGui" \
  navkeypad table set left=0x50+Left
expect "status" navkeypad --device /dev/hidraw3 statu
expect "station" navkeypad --config site.ini stati
echo "completion ok"
