#!/usr/bin/env bash
# Runs the suite's `twin` label RUNS times (20 if not given) beside CPU-bound processes of its
# own making (NAVKEYPAD_STRESS_LOAD of them, 2 if not set), as on a busy build machine: what
# depends on a program being quick to read its events shows here. Uses the AddressSanitizer
# build that scripts/test.sh makes (build-asan), or BUILD, brought up to date first. Not part of
# scripts/test.sh. Prints each run's result, then "K of N runs passed"; exits 1 unless all did.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
runs="${1:-20}"
build="${2:-$ROOT/build-asan}"
load="${NAVKEYPAD_STRESS_LOAD:-2}"
if ! [[ "$runs" =~ ^[1-9][0-9]*$ && "$load" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/stress_twin.sh [RUNS] [BUILD]  (NAVKEYPAD_STRESS_LOAD: busy processes)" >&2
  exit 2
fi
if [[ ! -f "$build/CTestTestfile.cmake" ]]; then
  echo "stress_twin: no build in $build; run scripts/test.sh first, or name a build" >&2
  exit 2
fi
cmake --build "$build" -j "$JOBS" >"$build/stress-build.log" 2>&1 ||
  { tail -40 "$build/stress-build.log"; exit 1; }

busy=()
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
for ((i = 0; i < load; i++)); do
  bash -c 'while :; do :; done' &
  busy+=($!)
done

passed=0
for ((run = 1; run <= runs; run++)); do
  log="$build/stress-twin-$run.log"
  if QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$build" -L twin -j "$JOBS" --output-on-failure >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "run $run of $runs: passed ($(date +%T))"
  else
    echo "run $run of $runs: failed, see $log"
    grep -E '^[[:space:]]+[0-9]+ - |Resource temporarily|Failure' "$log" | head -20 || true
  fi
done
echo "$passed of $runs runs passed"
((passed == runs))
