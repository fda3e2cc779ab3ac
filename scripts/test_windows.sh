#!/usr/bin/env bash
# Builds the product for Windows with MinGW-w64 (on hidapi and Qt built from Debian's sources by
# deps_windows.sh) and tries it under Wine: the core tests; the command line for real keypads
# (help, the HID library's start-up failure, the recordings replayed); a journey of the
# virtual command line through folders whose names are not ASCII; every window drawn offscreen
# into screenshots; the installer, installed and removed silently.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${1:-$ROOT/build-mingw}"
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

prefixes="$(bash "$ROOT/scripts/deps_windows.sh" | tail -n 1)"
qt="$(cut -d";" -f2 <<<"$prefixes")"
host_info="$(find /usr/lib -name Qt6HostInfoConfig.cmake | head -1)"
BUILD_TARGET="all screenshots installer" configure_and_build "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefixes" -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR="$(dirname "$(dirname "$host_info")")" -DNAVKEYPAD_BENCH=OFF
if grep -q "warning:" "$build/build.log"; then
  grep "warning:" "$build/build.log" >&2
  exit 1
fi
wineboot --init >/dev/null 2>&1 || true

# The programs in the build find the shared runtime and Qt through WINEPATH.
runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
pthread="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")"
WINEPATH="$(winepath -w "$runtime");$(winepath -w "$pthread");$(winepath -w "$qt/bin")"
export WINEPATH
ctest --test-dir "$build" -L 'unit|threads' --output-on-failure

expect() {  # expect WHAT TEXT: fails unless TEXT holds WHAT
  grep -qF -- "$1" <<<"$2" || { printf 'expected "%s" in:\n%s\n' "$1" "$2" >&2; exit 1; }
}

step() { printf 'windows: %s\n' "$*"; }

step "the command line for real keypads"
product="$build/cli/navkeypad.exe"
expect "Usage: navkeypad" "$(wine "$product" --help | tr -d '\r')"
# Wine's HID stack cannot enumerate: the program must say so, not report an empty bus.
status=0
listed="$(wine "$product" list 2>&1 | tr -d '\r')" || status=$?
expect "navkeypad: the HID library could not start: " "$listed"
[[ "$status" == 1 ]] || { echo "list under Wine ended with $status, not 1" >&2; exit 1; }
expect '"serialNumber": "VNK000123"' "$(wine "$product" --virtual status --json | tr -d '\r')"

step "a label, drawn by the Windows program and read back"
mkdir -p "$build/cli/platforms"
cp "$qt/plugins/platforms/qoffscreen.dll" "$build/cli/platforms/"
label="$build/label.png"
rm -f "$label"
wine cmd /c "set QT_QPA_PLATFORM=offscreen&& $(winepath -w "$build/cli/navkeypad-virtual.exe") label VNK000412 --output $(winepath -w "$label")" |
  tr -d '\r' >/dev/null
expect "VNK000412" "$(dmtxread "$label")"

step "the service log as a workbook and as CSV, read back"
/usr/bin/python3 "$ROOT/tests/cli/read_back_log_exports.py" --wine "$product"

step "the recordings, replayed by the product's program"
under_wine="$build/navkeypad-under-wine"
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$product" >"$under_wine"
chmod +x "$under_wine"
# The upgrade's record lives in the prefix's data folder: none may be left from an earlier run.
# The product carries no loader texts; the recordings were made with the stand-ins, which go
# into the user's loader folder, as a technician would put the maker's files there.
data_folder="$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local | head -1)/VeltoInterface"
rm -rf "$data_folder"
mkdir -p "$data_folder/loader"
cp "$ROOT/resources/firmware/ram-bsl-stand-in.txt" "$data_folder/loader/RAM_BSL.txt"
cp "$ROOT/resources/firmware/password-stand-in.txt" "$data_folder/loader/password.txt"
replay() { bash "$ROOT/tests/recordings/replay_recordings.sh" "$under_wine" "$@"; }
together=(cli-save cli-restore cli-upgrade-failed cli-upgrade-resumed)
alone=()
for recording in "$ROOT"/tests/recordings/cli-*.jsonl; do
  [[ " ${together[*]} " == *" $(basename "$recording" .jsonl) "* ]] || alone+=("$recording")
done
replay "${alone[@]}"
replay "$ROOT"/tests/recordings/cli-{save,restore}.jsonl
replay "$ROOT"/tests/recordings/cli-upgrade-{failed,resumed}.jsonl

step "a bench of a site: the command line on its server over TLS, with a client certificate"
server_where="$build/site-server.where"
trap 'bash "$ROOT/tests/site/test_server.sh" stop "$server_where"' EXIT
bash "$ROOT/tests/site/test_server.sh" start "$server_where" >/dev/null
socket="$(sed -n 's/^socket=//p' "$server_where")" port="$(sed -n 's/^port=//p' "$server_where")"
tls="$(sed -n 's/^tls=//p' "$server_where")"
psql -X -q -h "$socket" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
  -c "CREATE DATABASE windows_bench OWNER site_owner" >/dev/null
# As each role, over TLS to 127.0.0.1 with its certificate, checking the server's (paths with
# forward slashes: a connection string takes a backslash as an escape).
site_as() {
  local ca crt key
  ca="$(winepath -w "$tls/ca.crt" | tr '\\' /)" crt="$(winepath -w "$tls/$1.crt" | tr '\\' /)"
  key="$(winepath -w "$tls/$1.key" | tr '\\' /)"
  # A Wine program's first TLS handshake can take longer than the store's own 5 s on a loaded
  # machine: a server that is there is waited for.
  printf "host=127.0.0.1 port=%s dbname=windows_bench user=%s connect_timeout=60 sslmode=verify-full sslrootcert='%s' sslcert='%s' sslkey='%s'" \
    "$port" "$1" "$ca" "$crt" "$key"
}
expect "the site's schema is at version" "$(NAVKEYPAD_SITE="$(site_as site_owner)" wine "$product" site init | tr -d '\r')"
psql -X -q -h "$socket" -p "$port" -U postgres -d windows_bench -v ON_ERROR_STOP=1 \
  -c "CREATE ROLE bench_tls LOGIN IN ROLE navkeypad_bench" >/dev/null
export NAVKEYPAD_SITE="$(site_as bench_tls)"
site_state="$build/site-bus.json"
rm -f "$site_state"
NAVKEYPAD_VIRTUAL_STATE="$site_state" wine "$product" --virtual brightness 3 >/dev/null
expect '"bench": "bench_tls"' "$(NAVKEYPAD_VIRTUAL_STATE="$site_state" wine "$product" --virtual log --json | tr -d '\r')"
expect "1" "$(psql -X -qtA -h "$socket" -p "$port" -U postgres -d windows_bench -c "SELECT count(*) FROM navkeypad.log WHERE bench = 'bench_tls'")"
unset NAVKEYPAD_SITE

step "a journey through folders whose names are not ASCII"
journey="$build/journey/Jürgen Åström"
rm -rf "$build/journey"
mkdir -p "$journey"
export NAVKEYPAD_VIRTUAL_STATE="$journey/bus state.json"
cli() { wine "$build/cli/navkeypad-virtual.exe" "$@" | tr -d '\r'; }
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
unset NAVKEYPAD_VIRTUAL_STATE

step "every window, drawn offscreen"
# Wine passes no QT_* variable on: the platform comes as an argument, the fonts through cmd.
shots="$build/screenshots"
rm -rf "$shots"
mkdir -p "$shots"
mkdir -p "$build/docs/platforms"
cp "$qt/plugins/platforms/qoffscreen.dll" "$build/docs/platforms/"
# Only the sans-serif faces: the fallback for Windows's own dialog font is the first face found.
mkdir -p "$build/fonts"
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
  "$build/fonts/"
fonts="$(winepath -w "$build/fonts")"
# The upgrade window takes the journey's firmware, from a folder whose name is not ASCII, and
# must show its path as it is.
NAVKEYPAD_SCREENSHOT_FIRMWARE="$(winepath -w "$firmware")" \
  wine cmd /c "set QT_QPA_FONTDIR=$fonts&& $(winepath -w "$build/docs/screenshots.exe") $(winepath -w "$shots") -platform offscreen" |
  tr -d '\r'
for window in main-window code-table-editor self-test firmware-upgrade about-window; do
  [[ -s "$shots/$window.png" ]] || { echo "no screenshot of $window" >&2; exit 1; }
done
expect "Jürgen Åström" "$(cat "$shots/firmware-upgrade.txt")"
expect "Firmwäre 2.00.txt" "$(cat "$shots/firmware-upgrade.txt")"

step "the installer, installed and removed silently"
setup="$(ls "$build"/navkeypad-*-setup.exe)"
installed="$WINEPREFIX/drive_c/Program Files/Velto/Navigation Keypad"
rm -rf "$installed"
wine "$setup" /S
wineserver -w
for file in navkeypad.exe navkeypad-utility.exe Qt6Widgets.dll Qt6PrintSupport.dll libstdc++-6.dll \
  platforms/qwindows.dll styles/qwindowsvistastyle.dll loader/README.txt uninstall.exe; do
  [[ -f "$installed/$file" ]] || { echo "the installer left out $file" >&2; exit 1; }
done
locks="$WINEPREFIX/drive_c/ProgramData/VeltoInterface/locks"
[[ -d "$locks" ]] || { echo "the installer did not make the shared locks folder $locks" >&2; exit 1; }
environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
expect 'Program Files\Velto\Navigation Keypad' "$(wine reg query "$environment" /v Path | tr -d '\r')"
expect "Usage: navkeypad" "$(wine "$installed/navkeypad.exe" --help | tr -d '\r')"
# Installed, the programs keep the bench's store in the computer's folder, not the user's.
expect 'shared by its users, in C:\ProgramData\VeltoInterface\bench.sqlite3.' \
  "$(wine "$installed/navkeypad.exe" --help | tr -d '\r' | tr '\n' ' ' | sed 's/  */ /g')"
wine "$installed/uninstall.exe" /S
wineserver -w
[[ ! -e "$installed" ]] || { echo "the uninstaller left $installed" >&2; exit 1; }
[[ ! -e "$locks" ]] || { echo "the uninstaller left $locks" >&2; exit 1; }
if wine reg query "$environment" /v Path | grep -qF 'Navigation Keypad'; then
  echo "the uninstaller left the folder on PATH" >&2
  exit 1
fi
echo "windows: all passed"
