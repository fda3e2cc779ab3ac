#!/usr/bin/env bash
# Sets up, builds and runs every test: the programs and the package, the suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests and window journeys under
# ThreadSanitizer, the Windows product and its installer under Wine, then the fuzzers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
FUZZ_SECONDS="${FUZZ_SECONDS:-15}"
# The sanitizer builds keep line tables only: enough for every report, quicker to link.
SANITIZER_FLAGS=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

step() { printf '\n=== %s (%s, %d s in)\n' "$*" "$(date +%T)" "$SECONDS"; }

step "dependencies"
bash "$ROOT/scripts/deps.sh"
export QT_QPA_PLATFORM=offscreen

step "layers"
bash "$ROOT/scripts/check_layers.sh"

step "build the programs, the benchmarks and the package"
# The suite itself runs in the sanitizer build below: one build of the tests, not two.
configure_and_build "$ROOT/build-test" -DNAVKEYPAD_TESTS=OFF -DNAVKEYPAD_BENCH=ON
bash "$ROOT/scripts/check_udev_rules.sh"
bash "$ROOT/scripts/check_package.sh" "$ROOT/build-test"

step "the suite under AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build "$ROOT/build-asan" -DNAVKEYPAD_ASAN=ON "${SANITIZER_FLAGS[@]}"
bash "$ROOT/scripts/check_layers.sh" "$ROOT/build-asan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$ROOT/build-asan" -j "$JOBS" --output-on-failure

step "ThreadSanitizer (threaded tests, and the window journeys, whose workers are threads)"
configure_and_build "$ROOT/build-tsan" -DNAVKEYPAD_TSAN=ON "${SANITIZER_FLAGS[@]}"
# GCC 12's ThreadSanitizer cannot map its shadow memory with the large address-space
# randomisation of recent kernels; running without randomisation sidesteps that.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/tests/tsan.supp" \
  setarch "$(uname -m)" -R ctest --test-dir "$ROOT/build-tsan" -L 'threads|e2e' -j "$JOBS" \
  --output-on-failure

step "Windows: the product cross-built with MinGW-w64 (its libraries from the cache), tried under Wine"
bash "$ROOT/scripts/test_windows.sh" "$ROOT/build-mingw"

step "fuzzers (${FUZZ_SECONDS} s each)"
CC=clang CXX=clang++ BUILD_TARGET=fuzzers configure_and_build "$ROOT/build-fuzz" -DNAVKEYPAD_FUZZ=ON \
  -DNAVKEYPAD_TESTS=OFF -DNAVKEYPAD_BENCH=OFF
for fuzzer in "$ROOT"/build-fuzz/fuzz/fuzz_*; do
  [[ -f "$fuzzer" && -x "$fuzzer" ]] || continue
  name="$(basename "$fuzzer")"
  seeds="$ROOT/fuzz/corpus/${name#fuzz_}"
  work="$(mktemp -d)"
  echo "$name"
  "$fuzzer" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 "$work" "$seeds" \
    >"$ROOT/build-fuzz/$name.log" 2>&1 || { tail -40 "$ROOT/build-fuzz/$name.log"; exit 1; }
  grep -E '^Done|^#[0-9]+.*DONE' "$ROOT/build-fuzz/$name.log" | tail -1 || true
  rm -rf "$work"
done

step "all tests passed"
