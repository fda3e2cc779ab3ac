#!/usr/bin/env bash
# scripts/run.sh as a technician sees it from a fresh clone: it says what it does and how far
# its build is while it builds, and where the log is when the build fails. Run on a project of
# two programs instead of ours, so that the build takes seconds.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/scripts" "$tree/src"
cp "$root/scripts/run.sh" "$root/scripts/common.sh" "$tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$tree/scripts/deps.sh"
cat >"$tree/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(fake CXX)
foreach(step RANGE 1 12)
  file(WRITE ${CMAKE_BINARY_DIR}/step${step}.cpp "int step${step}() { return ${step}; }\n")
  list(APPEND steps ${CMAKE_BINARY_DIR}/step${step}.cpp)
endforeach()
add_executable(navkeypad-utility-virtual src/main.cpp ${steps})
set_target_properties(navkeypad-utility-virtual PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/src/app)
CMAKE
echo 'int main() { return 0; }' >"$tree/src/main.cpp"
said="$(bash "$tree/scripts/run.sh" --virtual 2>&1)"
for expected in "run.sh: installing the packages" "run.sh: configuring the build in $tree/build" \
  "run.sh: building (the first time takes a while; its log is $tree/build/build.log)" \
  "  building: 1 of 14 steps" "  building: 14 of 14 steps" "run.sh: starting navkeypad-utility-virtual"; do
  [[ "$said" == *"$expected"* ]] || { echo "run.sh did not say '$expected':"$'\n'"$said" >&2; exit 1; }
done
grep -q "Linking CXX executable" "$tree/build/build.log" || { echo "the build's log is not whole" >&2; exit 1; }

echo 'int main() { return missing; }' >"$tree/src/main.cpp"
if said="$(bash "$tree/scripts/run.sh" --virtual 2>&1)"; then
  echo "run.sh went on after a failed build" >&2
  exit 1
fi
for expected in "error" "run.sh: the build failed; its whole log is $tree/build/build.log"; do
  [[ "$said" == *"$expected"* ]] || { echo "run.sh did not say '$expected':"$'\n'"$said" >&2; exit 1; }
done
[[ "$said" != *"starting"* ]] || { echo "run.sh started a program it could not build" >&2; exit 1; }
echo "run.sh ok"
