#!/usr/bin/env bash
# Cross-builds the parts below the windows for Windows with MinGW-w64, runs their tests under
# Wine, then a journey of the virtual command line through folders whose names are not ASCII:
# status, brightness, save, restore and an upgrade of the demo firmware, one process each over
# one virtual bus state file.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${1:-$ROOT/build-mingw}"
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

configure_and_build "$build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNAVKEYPAD_CORE_ONLY=ON
if grep -q "warning:" "$build/build.log"; then
  grep "warning:" "$build/build.log" >&2
  exit 1
fi
wineboot --init >/dev/null 2>&1 || true
ctest --test-dir "$build" --output-on-failure

journey="$build/journey/Jürgen Åström"
rm -rf "$build/journey"
mkdir -p "$journey"
export NAVKEYPAD_VIRTUAL_STATE="$journey/bus state.json"
cli() { wine "$build/cli/navkeypad-virtual.exe" "$@" | tr -d '\r'; }
expect() {  # expect WHAT TEXT: fails unless TEXT holds WHAT
  grep -qF -- "$1" <<<"$2" || { printf 'expected "%s" in:\n%s\n' "$1" "$2" >&2; exit 1; }
}
settings="$journey/Réglages 日本.ini"
firmware="$journey/Firmwäre 2.00.txt"
cp "$ROOT/resources/firmware/keypad-firmware-2.00.txt" "$firmware"

expect "Firmware        1.04" "$(cli status)"
expect "LED brightness set to 7." "$(cli brightness 7)"
cli save --file "$settings" >/dev/null
expect " LedBrightness=7" "$(tr -d '\r' <"$settings")"
cli brightness 2 >/dev/null
cli restore --file "$settings" >/dev/null
expect '"ledBrightness": 7' "$(cli status --json)"
cli upgrade "$firmware" >/dev/null 2>&1
status="$(cli status --json)"
expect '"firmwareVersion": "2.00"' "$status"
expect '"serialNumber": "VNK000123"' "$status"
expect '"ledBrightness": 7' "$status"
echo "windows journey ok"
