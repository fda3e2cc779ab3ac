#!/usr/bin/env bash
# Writes navkeypad.1 and navkeypad-utility.1 into OUT from the texts the programs print, the
# commands and options from the program's table (navkeypad-docs man):
# make_man_pages.sh NAVKEYPAD_PROGRAM NAVKEYPAD_DOCS UTILITY_HELP_TEXT VERSION OUT
set -euo pipefail
program="$1" docs="$2" utility_help="$3" version="$4" out="$5"
mkdir -p "$out"
# The page describes the installed programs, which keep the bench's files in the computer's
# folder, not a build tree's.
export NAVKEYPAD_BENCH_FOLDER=/var/lib/navkeypad
include="$out/navkeypad.h2m"
{
  "$docs" man
  cat <<'SECTIONS'
[ENVIRONMENT]
.TP
.B NAVKEYPAD_VIRTUAL
1: the virtual keypad, as \-\-virtual.
.TP
.B NAVKEYPAD_VIRTUAL_STATE
a JSON file the virtual bus is read from and written back to.
.TP
.BR NAVKEYPAD_TRACE ", " NAVKEYPAD_RECORD ", " NAVKEYPAD_REPLAY
as \-\-trace (a file, or \- for standard error), \-\-record and \-\-replay.
.TP
.B XDG_DATA_HOME
where the configuration file lives (default ~/.local/share).
[EXAMPLES]
Provisioning a tray of keypads from one set up by hand:
.PP
.nf
navkeypad save \-\-file golden.ini
navkeypad apply \-\-all \-\-file golden.ini
.fi
.PP
Upgrading them all; run it again after a failure to resume:
.PP
.nf
navkeypad upgrade \-\-all \-\-expect\-version 2.01 keypad\-firmware\-2.01.txt
.fi
.PP
A bench where keypads are plugged in one after another: each gets the firmware, the site's
settings and, where it has none, a serial number:
.PP
.nf
navkeypad station keypad\-firmware\-2.01.txt \-\-expect\-version 2.01 \-\-config site.ini \\
  \-\-serial\-from VNK000400
.fi
SECTIONS
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
