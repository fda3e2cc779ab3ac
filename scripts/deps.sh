#!/usr/bin/env bash
# Installs the Debian packages the build, the tests (the Windows cross-build, its installer
# and Wine included) and the screenshots need, and makes Debian's source packages reachable
# for the Windows libraries (scripts/deps_windows.sh builds them).
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-qpa-plugins
  libhidapi-dev libudev-dev nlohmann-json3-dev libcli11-dev libxlsxwriter-dev libsqlite3-dev sqlite3 tcl libpq-dev postgresql-15 openssl umockdev libumockdev-dev
  libzint-dev dmtx-utils poppler-utils cups-daemon cups-client
  googletest libgtest-dev libgmock-dev libbenchmark-dev gcovr python3-openpyxl
  clang libclang-rt-14-dev clang-format
  xvfb xauth imagemagick fonts-dejavu-core
  at-spi2-core dbus-daemon gir1.2-atspi-2.0 python3-gi matchbox-window-manager
  desktop-file-utils appstream dpkg-dev file lintian help2man man-db
  g++-mingw-w64-x86-64-posix mingw-w64 wine wine64 nsis
)

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Source packages for the suites the machine already uses, unless it has them already.
sources_list=/etc/apt/sources.list.d/navkeypad-deb-src.sources
has_sources() {
  grep -rqsE --include='*.list' --include='*.sources' '^(Types:.*deb-src|deb-src )' \
    /etc/apt/sources.list /etc/apt/sources.list.d/
}
added_sources=false
if ! has_sources; then
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee "$sources_list" >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/navkeypad-deb-src.list >/dev/null
  fi
  added_sources=true
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)) && ! $added_sources; then
  exit 0
fi

$SUDO apt-get update -qq
if ((${#missing[@]} > 0)); then
  echo "deps: installing ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
