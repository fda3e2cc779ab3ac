#!/usr/bin/env bash
# Dependencies point one way: app, then the windows and the command line, then the shared
# settings rules, then device, loader library, support and platform. Fails on any include of
# a header from a folder above the including file's own; in the bottom layer only the loader
# library leans on others (device, the device-watch interface of platform, and support),
# device on support (its lock files) and platform on support (the user's data folder). Given a build folder, also fails when a program of the
# product carries a test double (the scripted platform answers dialogs no user sees).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
declare -A rank=([app]=5 [main_window]=4 [station_window]=4 [code_table]=3 [self_test]=3 [firmware]=3 [info]=3
                 [cli]=3 [settings]=2 [label]=2 [store]=2 [wire]=2 [device]=1 [bsl430]=1 [support]=1 [platform]=1)
declare -A allowed_sideways=([bsl430:device]=1 [bsl430:platform]=1 [bsl430:support]=1
                             [device:support]=1 [platform:support]=1)
status=0
while IFS= read -r file; do
  relative="${file#"$root"/}"
  if [[ "$relative" == cli/* ]]; then own=cli; else own="$(cut -d/ -f2 <<<"$relative")"; fi
  [[ -n "${rank[$own]:-}" ]] || { echo "$relative: folder $own has no layer" >&2; status=1; continue; }
  while IFS= read -r included; do
    folder="${included%%/*}"
    [[ -n "${rank[$folder]:-}" && "$folder" != "$own" ]] || continue
    above=0
    ((rank[$folder] > rank[$own])) && above=1
    if ((rank[$folder] == rank[$own] && rank[$own] == 1)) && [[ -z "${allowed_sideways[$own:$folder]:-}" ]]; then
      above=1
    fi
    if ((above)); then
      echo "$relative includes $included, from a folder that is not below it" >&2
      status=1
    fi
  done < <(sed -n 's/^#include "\([a-z_0-9]*\/[^"]*\)".*/\1/p' "$file")
done < <(find "$root/src" "$root/cli" -name '*.h' -o -name '*.cpp' -o -name '*.in' | sort)
if [[ $# -gt 0 ]]; then
  for program in src/app/navkeypad-utility src/app/navkeypad-utility-virtual cli/navkeypad \
                 cli/navkeypad-virtual; do
    [[ -x "$1/$program" ]] || { echo "$1/$program is missing" >&2; status=1; continue; }
    if nm -C "$1/$program" | grep -q 'ScriptedPlatform'; then
      echo "$program carries the tests' scripted platform" >&2
      status=1
    fi
  done
fi
if ((status == 0)); then echo "layers ok"; fi
exit "$status"
