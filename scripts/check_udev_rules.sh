#!/usr/bin/env bash
# Fails on a udev rule of ours that matches a property in the same rule that imports it: udev
# evaluates every ENV match of a rule before the rule's IMPORT, so such a match never sees
# the imported value.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
status=0
for rules in "$root"/packaging/*.rules; do
  number=0
  while IFS= read -r line || [[ -n "$line" ]]; do
    number=$((number + 1))
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    if [[ "$line" == *"IMPORT{"* && "$line" =~ ENV\{[A-Za-z0-9_]+\}[[:space:]]*(==|!=) ]]; then
      echo "$rules:$number: matches a property in the rule that imports it" >&2
      status=1
    fi
  done <"$rules"
done
if ((status == 0)); then echo "udev rules ok"; fi
exit "$status"
