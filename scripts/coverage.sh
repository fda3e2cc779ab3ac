#!/usr/bin/env bash
# What the suite covers: a Debug build with --coverage, the whole suite, then gcovr over src/,
# cli/ and emulator/: a table per folder and, last, one line "line N% branch M%". Not part of
# test.sh (it builds everything once more); every closing note quotes its last line.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$ROOT/scripts/deps.sh"
build="$ROOT/build-coverage"
export QT_QPA_PLATFORM=offscreen
mkdir -p "$build"
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNAVKEYPAD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$JOBS" >"$build/build.log" 2>&1 || { tail -60 "$build/build.log"; exit 1; }
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j "$JOBS" >"$build/ctest.log" 2>&1 || { tail -40 "$build/ctest.log"; exit 1; }
# One pass over the counters; the tables and the total are read from it.
gcovr --root "$ROOT" --object-directory "$build" --filter "$ROOT/src/" --filter "$ROOT/cli/" \
  --filter "$ROOT/emulator/" --json "$build/coverage.json" --json-summary "$build/summary.json"
for folder in src cli emulator; do
  echo
  gcovr --root "$ROOT" --add-tracefile "$build/coverage.json" --filter "$ROOT/$folder/" --txt
done
python3 - "$build/summary.json" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
print(f"line {summary['line_percent']:.1f}% branch {summary['branch_percent']:.1f}%")
PY
