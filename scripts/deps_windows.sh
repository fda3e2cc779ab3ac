#!/usr/bin/env bash
# Builds the Windows libraries of the product, hidapi and Qt's base, from Debian's source
# packages with MinGW-w64, into a per-user cache outside the repository, one folder per source
# version. Quick when they are there. Prints the CMake prefix path of both on its last line.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
CACHE="${NAVKEYPAD_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/navkeypad}/mingw-w64"
TOOLCHAIN="$ROOT/cmake/mingw-w64.cmake"
mkdir -p "$CACHE"

# The version apt-get source would fetch, from the name of its .dsc file.
source_version() {
  apt-get source --print-uris "$1" 2>/dev/null |
    sed -nE "s/^'[^']*' $1_([^ ]+)\.dsc .*/\1/p" | head -1
}

# fetch NAME WORK: unpacks Debian's source of NAME, its patches applied, and prints the folder.
fetch() {
  (cd "$2" && apt-get source "$1" >"$2/fetch.log" 2>&1) || { cat "$2/fetch.log" >&2; return 1; }
  find "$2" -mindepth 1 -maxdepth 1 -type d | head -1
}

# build_cached NAME BUILDER: runs BUILDER SOURCE PREFIX unless that version is built already.
build_cached() {
  local name="$1" builder="$2" version prefix work
  version="$(source_version "$name")"
  [[ -n "$version" ]] || { echo "deps_windows: no source package $name (deb-src missing?)" >&2; return 1; }
  prefix="$CACHE/$name-$version"
  if [[ -f "$prefix/.built" ]]; then
    echo "$prefix"
    return
  fi
  echo "deps_windows: building $name $version for Windows (once; cached in $prefix)" >&2
  rm -rf "$prefix"
  work="$(mktemp -d "$CACHE/work.XXXXXX")"
  # Runs in its own subshell ($(...)): on its exit, success or not, the sources go, and so does a
  # prefix that was not finished.
  trap "rm -rf '$work'; [[ -f '$prefix/.built' ]] || rm -rf '$prefix'" EXIT
  "$builder" "$(fetch "$name" "$work")" "$prefix" "$work" >&2
  touch "$prefix/.built"
  echo "$prefix"
}

# build_step LOG COMMAND...: the log is kept quiet unless the step fails.
build_step() {
  local log="$1"
  shift
  "$@" >>"$log" 2>&1 || { tail -60 "$log"; return 1; }
}

build_hidapi() {
  local source="$1" prefix="$2" work="$3"
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS" --target install
}

build_qt() {
  local source="$1" prefix="$2" work="$3"
  # Debian's source lacks the wintab headers, so tablet events are off; the product needs
  # none of the modules switched off here. Without OpenGL, the windows plugin of this Qt
  # only compiles with dynamic OpenGL switched off by name too.
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="$(dirname "$(dirname "$(find /usr/lib -name Qt6HostInfoConfig.cmake | head -1)")")" \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS"
  build_step "$work/build.log" cmake --install "$work/build"
}

hidapi="$(build_cached hidapi build_hidapi)"
qt="$(build_cached qt6-base build_qt)"
echo "$hidapi;$qt"
