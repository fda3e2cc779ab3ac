#!/usr/bin/env bash
# Writes navkeypad.1 and navkeypad-utility.1 into OUT from the texts the programs print:
# make_man_pages.sh NAVKEYPAD_PROGRAM UTILITY_HELP_TEXT VERSION OUT
set -euo pipefail
program="$1" utility_help="$2" version="$3" out="$4"
mkdir -p "$out"
include="$out/navkeypad.h2m"
{
  echo "[COMMANDS]"
  for command in list status brightness layout table save restore apply factory-reset upgrade \
    serial led-colour buzzer buzzer-period volume volume-config; do
    echo ".TP"
    echo ".B $command"
    "$program" "$command" --help | tail -n +3 | sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./' -e 's/^$/.br/'
  done
  echo "[EXIT STATUS]"
  "$program" --help | sed -n '/^Exit status:/,$p' | tr '\n' ' ' | sed -e 's/^Exit status: *//' \
    -e 's/\. *$//' | tr ',' '\n' | sed -e 's/^ *//' -e 's/^\([0-9]\) \(.*\)/.TP\n.B \1\n\2/'
  echo
  echo "[FILES]"
  sed -n '/^Files:/,$p' "$utility_help" | tail -n +2 | sed 's/^ *//' | sed 's/^/.br\n/'
} >"$include"
help2man --no-info --no-discard-stderr --version-string="$version" \
  --name="configures the USB navigation keypad from a shell" --include="$include" \
  --output="$out/navkeypad.1" "$program"
wrapper="$out/navkeypad-utility"
printf '#!/bin/sh\ncat "%s"\n' "$utility_help" >"$wrapper"
chmod +x "$wrapper"
help2man --no-info --version-string="$version" \
  --name="configures the USB navigation keypad in windows" \
  --output="$out/navkeypad-utility.1" "$wrapper"
gzip -9nf "$out/navkeypad.1" "$out/navkeypad-utility.1"
