#!/usr/bin/env bash
# Sets up, builds and starts the utility. --virtual runs it on the built-in virtual keypad.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

program=navkeypad-utility
for arg in "$@"; do
  case "$arg" in
    --virtual) program=navkeypad-utility-virtual ;;
    *) echo "usage: scripts/run.sh [--virtual]" >&2; exit 2 ;;
  esac
done

say_step "installing the packages it needs (quick when they are there)"
bash "$ROOT/scripts/deps.sh"
mkdir -p "$ROOT/build"
SHOW_PROGRESS=1 configure_and_build "$ROOT/build" -DNAVKEYPAD_TESTS=OFF -DNAVKEYPAD_BENCH=OFF
say_step "starting $program"
exec "$ROOT/build/src/app/$program"
