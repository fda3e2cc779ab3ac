# Shared by run.sh and test.sh: where the sources are and how to configure a build.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# configure_and_build DIR [cmake options...]; BUILD_TARGET narrows what is built.
configure_and_build() {
  local dir="$1"
  shift
  mkdir -p "$dir"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" ${BUILD_TARGET:+--target $BUILD_TARGET} >"$dir/build.log" 2>&1 ||
    { tail -60 "$dir/build.log"; return 1; }
}
