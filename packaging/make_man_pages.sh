#!/usr/bin/env bash
# Writes navkeypad.1 and navkeypad-utility.1 into OUT from the texts the programs print:
# make_man_pages.sh NAVKEYPAD_PROGRAM UTILITY_HELP_TEXT VERSION OUT
set -euo pipefail
program="$1" utility_help="$2" version="$3" out="$4"
mkdir -p "$out"
# The page describes the installed programs, which keep the bench's files in the computer's
# folder, not a build tree's.
export NAVKEYPAD_BENCH_FOLDER=/var/lib/navkeypad
include="$out/navkeypad.h2m"
# A text as roff takes it: backslashes doubled, a line starting with a dot not a request.
escape() { sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./'; }
{
  echo "[COMMANDS]"
  for command in list status brightness layout table save restore apply factory-reset upgrade \
    station serial log identify led-colour buzzer buzzer-period volume volume-config; do
    echo ".TP"
    echo ".B $command"
    help="$("$program" "$command" --help)"
    # A command without help of its own would get the general usage here.
    [[ "$help" == "Usage: navkeypad $command"* ]] ||
      { echo "navkeypad $command has no help of its own" >&2; exit 1; }
    # Its synopsis whole, however many lines it takes, then what it does.
    echo ".nf"
    printf '%s\n' "$help" | sed '/^$/,$d' | sed -e '1s/^Usage: //' -e '2,$s/^       //' | escape
    echo ".fi"
    printf '%s\n' "$help" | sed '1,/^$/d' | escape | sed 's/^$/.br/'
  done
  cat <<'SECTIONS'
[OPTIONS]
.TP
.BI \-\-device " PATH"
the keypad at PATH, as
.B list
prints it.
.TP
.BI \-\-serial " S"
the keypad whose serial number is S, wherever it is plugged in.
.TP
.B \-\-all
every keypad in its application, one after another (status, apply, upgrade), with a summary.
.TP
.B \-\-dry\-run
with apply \-\-all or upgrade \-\-all: say what each keypad would get; send nothing but status
requests.
.TP
.BI \-\-expect\-version " V"
with upgrade \-\-all: skip keypads already on V; a keypad not on V afterwards failed.
.TP
.BI \-\-file " F"
the configuration file instead of the one the windows use.
.TP
.B \-\-json
results, and failures, as JSON.
.TP
.B \-\-force
replace a serial number the keypad already has.
.TP
.BI \-\-settings\-of " SERIAL"
with upgrade: the kept settings that belong to this keypad.
.TP
.BI \-\-config " FILE"
with station: the settings file each keypad gets, stored as its defaults.
.TP
.BI \-\-serial\-from " FIRST"
with station: serial numbers for keypads without one, FIRST and on.
.TP
.BR \-\-present
with station: take the keypads attached when it starts, too.
.TP
.BI \-\-count " N" "\fR, \fP\-\-idle\-timeout " SECONDS
with station: end after N keypads, or after SECONDS without a new one.
.TP
.B \-\-virtual
the virtual keypad instead of the USB bus.
.TP
.B \-\-trace
every HID event on standard error.
.TP
.BI \-\-record " FILE" "\fR, \fP\-\-replay " FILE
write every HID event to FILE, or play FILE back instead of the bus.
.TP
.B \-\-version
the program's version.
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
where the configuration file and the upgrade records live (default ~/.local/share).
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
