#!/usr/bin/env bash
# Installs the Debian packages the build, the tests (the Windows cross-build and Wine
# included) and the screenshots need.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-qpa-plugins
  libhidapi-dev libudev-dev nlohmann-json3-dev libcli11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev gcovr
  clang libclang-rt-14-dev clang-format
  xvfb xauth imagemagick fonts-dejavu-core
  desktop-file-utils appstream dpkg-dev file lintian help2man man-db
  g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
