#!/usr/bin/env bash
# The bash completion, sourced into a bash started without any start-up files, completes
# commands, options, layouts, keys, modifiers and the paths `navkeypad list` prints.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
completion="$root/packaging/navkeypad.bash-completion"
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
# Stands in for navkeypad list, so the check needs no keypad.
printf '#!/bin/sh\necho "/dev/hidraw3  serial VNK000123  firmware 1.04"\n' >"$fake/navkeypad"
chmod +x "$fake/navkeypad"
complete_words() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
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
expect "/dev/hidraw3" "$fake/navkeypad" --device ""
expect "VNK000123" "$fake/navkeypad" --serial VNK
expect "local-jack local-no-jack" navkeypad volume-config loc
expect "up=UpArrow" navkeypad table set up=Up
expect "left=0x50+LeftCtrl left=0x50+LeftShift left=0x50+LeftAlt left=0x50+LeftGui" \
  navkeypad table set left=0x50+Left
expect "status" navkeypad --device /dev/hidraw3 stat
echo "completion ok"
