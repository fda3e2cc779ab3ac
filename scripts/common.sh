# Shared by run.sh and test.sh: where the sources are and how to configure a build.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# What a script is doing, on standard error: a first build on a busy machine takes many minutes.
say_step() { echo "${0##*/}: $*" >&2; }

# The build's own counter ("[120/734]") from its output, on standard error: rewritten in place
# on a terminal, otherwise a line at every tenth of the way. Everything goes to the log too.
show_build_progress() {
  local log="$1"
  awk -v last=-1 -v terminal="$([[ -t 2 ]] && echo 1 || echo 0)" -v logfile="$log" '
    { print > logfile; fflush(logfile) }
    match($0, /^\[[0-9]+\/[0-9]+\]/) {
      split(substr($0, 2, RLENGTH - 2), count, "/")
      tenth = int(10 * count[1] / count[2])
      if (terminal) { printf "\r  building: %d of %d steps", count[1], count[2] > "/dev/stderr" }
      else if (tenth != last) { printf "  building: %d of %d steps\n", count[1], count[2] > "/dev/stderr"; last = tenth }
    }
    END { if (terminal) printf "\n" > "/dev/stderr" }'
}

# configure_and_build DIR [cmake options...]; BUILD_TARGET narrows what is built; with
# SHOW_PROGRESS=1 it says what it does and how far the build is.
configure_and_build() {
  local dir="$1"
  shift
  mkdir -p "$dir"
  [[ "${SHOW_PROGRESS:-0}" != 1 ]] || say_step "configuring the build in $dir"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  if [[ "${SHOW_PROGRESS:-0}" == 1 ]]; then
    say_step "building (the first time takes a while; its log is $dir/build.log)"
    cmake --build "$dir" -j "$JOBS" ${BUILD_TARGET:+--target $BUILD_TARGET} 2>&1 |
      show_build_progress "$dir/build.log" ||
      { tail -60 "$dir/build.log"; say_step "the build failed; its whole log is $dir/build.log"; return 1; }
    return 0
  fi
  cmake --build "$dir" -j "$JOBS" ${BUILD_TARGET:+--target $BUILD_TARGET} >"$dir/build.log" 2>&1 ||
    { tail -60 "$dir/build.log"; return 1; }
}
