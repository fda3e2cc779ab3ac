#!/usr/bin/env bash
# Builds the .deb from a configured build folder and checks what it holds: the programs, the
# udev rule in /lib/udev/rules.d, the desktop entry and metadata (validated) and the icons.
set -euo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

rm -rf "$build/package"
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; exit 1; }
deb="$(ls "$build"/package/navkeypad_*.deb)"
contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
id=com.example.velto.NavigationKeypadUtility
for expected in \
  ./usr/bin/navkeypad-utility \
  ./usr/bin/navkeypad \
  ./lib/udev/rules.d/60-velto-navigation-keypad.rules \
  ./usr/lib/tmpfiles.d/navkeypad.conf \
  "./usr/share/applications/$id.desktop" \
  "./usr/share/metainfo/$id.metainfo.xml" \
  "./usr/share/icons/hicolor/64x64/apps/$id.png" \
  "./usr/share/icons/hicolor/256x256/apps/$id.png"; do
  grep -qxF "$expected" <<<"$contents" || { echo "package lacks $expected"; exit 1; }
done
depends="$(dpkg-deb -f "$deb" Depends)"
for library in libhidapi-hidraw0 libqt6widgets6 qt6-qpa-plugins; do
  grep -q "$library" <<<"$depends" || { echo "package does not depend on $library"; exit 1; }
done
for page in ./usr/share/man/man1/navkeypad.1.gz ./usr/share/man/man1/navkeypad-utility.1.gz \
  ./usr/share/bash-completion/completions/navkeypad ./usr/share/doc/navkeypad/copyright \
  ./usr/share/doc/navkeypad/changelog.gz; do
  grep -qxF "$page" <<<"$contents" || { echo "package lacks $page"; exit 1; }
done
# The folders the package makes are those the programs use, the group navkeypad's, setgid, and
# the udev rule opens the keypads to the same group; its postinst makes the group and them.
for folder in /run/lock/navkeypad /var/lib/navkeypad; do
  grep -qx "d $folder 2775 root navkeypad -" "$root/packaging/navkeypad-tmpfiles.conf" ||
    { echo "the package does not make $folder the group navkeypad's, mode 2775"; exit 1; }
done
grep -q 'GROUP="navkeypad"' "$root/packaging/60-velto-navigation-keypad.rules" ||
  { echo "the udev rule does not open the keypads to the group navkeypad"; exit 1; }
control="$build/package/control"
rm -rf "$control"
dpkg-deb -e "$deb" "$control"
for line in 'addgroup --system navkeypad' 'chown root:navkeypad "$folder"' 'chmod 2775 "$folder"'; do
  grep -qF "$line" "$control/postinst" || { echo "the package's postinst lacks: $line"; exit 1; }
done
[[ -x "$control/postinst" ]] || { echo "the package's postinst cannot be run"; exit 1; }
grep -qF "/var/lib/navkeypad" "$control/postrm" ||
  { echo "the package's postrm does not say what it leaves in /var/lib/navkeypad"; exit 1; }
# The programs installed keep the bench's store in the computer's folder, and say so; a virtual
# run keeps its own.
NAVKEYPAD_BENCH_FOLDER=/var/lib/navkeypad "$build/cli/navkeypad" --help |
  grep -q "shared by its users, in /var/lib/navkeypad/bench.sqlite3" ||
  { echo "navkeypad --help does not name /var/lib/navkeypad/bench.sqlite3"; exit 1; }
"$build/cli/navkeypad" --virtual --help | grep -q "apart from the computer's" ||
  { echo "navkeypad --virtual --help does not say its store is its own"; exit 1; }
# They look for the loader texts where the package and the README put them.
for program in cli/navkeypad src/app/navkeypad-utility; do
  grep -qaF "/usr/share/navkeypad/loader" "$build/$program" ||
    { echo "$program does not look for its loader texts in /usr/share/navkeypad/loader"; exit 1; }
done
# Debian's own checker, with no overrides: any error or warning fails.
findings="$(lintian --no-tag-display-limit "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)"
if [[ -n "$findings" ]]; then
  echo "lintian reports:"
  echo "$findings"
  exit 1
fi
# The manual pages render, and name every command and exit status.
for page in navkeypad navkeypad-utility; do
  MANWIDTH=80 man -l "$build/packaging/man/$page.1.gz" >"$build/$page.man.txt" 2>"$build/$page.man.err"
  [[ ! -s "$build/$page.man.err" ]] || { cat "$build/$page.man.err"; exit 1; }
done
for word in "EXIT STATUS" "a keypad is there but cannot be opened"; do
  grep -q -- "$word" "$build/navkeypad.man.txt" || { echo "navkeypad(1) lacks $word"; exit 1; }
done
desktop-file-validate "$root/packaging/$id.desktop"
appstreamcli validate --no-net "$root/packaging/$id.metainfo.xml" >/dev/null
echo "package ok: $(basename "$deb")"
