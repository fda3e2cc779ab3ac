#!/usr/bin/env bash
# The table of commands and options against what is made from it (the parser, the general help
# and each command's, the manual page, the bash completion), and nothing else naming a command
# or an option: no code outside the table compares or builds one by its name, no file lists
# them, and what the README and the manual's examples name is in the table.
# check_command_table.sh BUILD_FOLDER
set -euo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
program="$build/cli/navkeypad-virtual"
names="$("$build/cli/navkeypad-docs" names)"
commands="$(awk '$1 == "command" {print $2}' <<<"$names")"
options="$(awk '$1 == "option" {print $2}' <<<"$names")"
failures=0
fail() { echo "command table: $*" >&2; failures=$((failures + 1)); }

help="$("$program" --help)"
man="$(zcat "$build/packaging/man/navkeypad.1.gz")"
completion="$build/packaging/navkeypad.bash-completion"
complete_words() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _navkeypad
    echo " ${COMPREPLY[*]} "' _ "$completion" "$@"
}
completed_commands="$(complete_words navkeypad "")"
completed_options="$(complete_words navkeypad --)"
for command in $commands; do
  grep -qE "^  $command( |$)" <<<"$help" || fail "navkeypad --help does not list $command"
  "$program" "$command" --help | head -1 | grep -q "^Usage: navkeypad $command\b" ||
    fail "navkeypad $command --help is not its own"
  grep -qxF ".B ${command//-/\\-}" <<<"$man" || fail "the manual page has no $command"
  [[ "$completed_commands" == *" $command "* ]] || fail "the completion does not offer $command"
done
for option in $options; do
  grep -qE "^  (-., )?$option( |$)" <<<"$help" || fail "navkeypad --help does not list $option"
  grep -qE "^\.BI? .*${option//-/\\\\-}( |\"|$)" <<<"$man" || fail "the manual page has no $option"
  [[ "$completed_options" == *" $option "* ]] || fail "the completion does not offer $option"
  # The parser knows it: wherever it is out of place, it is not taken for an unknown one.
  value=""
  grep -qx "option $option valued" <<<"$names" && value="x"
  said="$("$program" list "$option" ${value:+"$value"} 2>&1 >/dev/null || true)"
  [[ "$said" != *"unknown option"* ]] || fail "the parser does not know $option"
done

# Code outside the table names no option and compares no command word with a name.
while IFS= read -r hit; do fail "outside the table: $hit"; done < <(
  grep -nE '"--[a-z][a-z-]*"' "$root"/cli/*.cpp "$root"/cli/*.h |
    grep -v -e '/cli/command_table\.' -e '/cli/make_docs\.cpp' || true
  grep -nE "(==|!=) *\"($(tr '\n' '|' <<<"$commands" | sed 's/|$//'))\"" "$root"/cli/*.cpp "$root"/cli/*.h || true)
# No other file lists three commands or three options: in code, as quoted names; in scripts and
# packaging, as words (comments aside in both). The manual's examples and the README's command
# lines use them, and are checked below instead.
while IFS= read -r hit; do fail "$hit"; done < <(
  python3 - "$root" "$commands" "$options" <<'PY'
import pathlib, re, sys
root, commands, options = pathlib.Path(sys.argv[1]), sys.argv[2].split(), sys.argv[3].split()
skip = {"command_table.h", "command_table.cpp", "make_docs.cpp", "check_command_table.sh"}
files = [*root.glob("packaging/*"), *root.glob("scripts/*.sh"), *root.glob("cli/*.[ch]*")]
for path in files:
    if path.name in skip or not path.is_file():
        continue
    code = path.suffix in (".cpp", ".h")
    for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        line = re.sub(r"//.*$" if code else r"(^|\s)#.*$", "", line)
        if "navkeypad " in line or "\\-\\-" in line:
            continue
        word = (lambda w: '"' + re.escape(w) + '"') if code else (lambda w: r"(?<![\w-])" + re.escape(w) + r"(?![\w-])")
        named_commands = {c for c in commands if re.search(word(c), line)}
        named_options = set() if code else {o for o in options if re.search(word(o), line)}
        if len(named_options) >= 3 or len(named_commands) >= 3:
            print(f"{path.relative_to(root)}:{number} lists them: {line.strip()}")
PY
)
# What the README's command lines and the manual's examples name is in the table (the window
# program's lines name its own switches).
for option in $( (grep 'navkeypad' "$root/README.md" | grep -v 'navkeypad-utility'; grep -oE '\\-\\-[a-z\\-]+' "$root/packaging/make_man_pages.sh" | sed 's/\\//g') |
  grep -oE '(^|[^a-zA-Z0-9_-])--[a-z][a-z-]*[a-z]' | sed 's/^[^-]*//' | sort -u || true); do
  grep -qx -- "$option" <<<"$options" || fail "the README or the manual names $option, which no command takes"
done
for command in $(grep -oE '`navkeypad [a-z][a-z-]*' "$root/README.md" | awk '{print $2}' | sort -u || true); do
  grep -qx "$command" <<<"$commands" || fail "README.md names the command $command, which is not one"
done
# The rendered manual page holds every line of every command's synopsis, as its help prints it.
rendered="$(MANWIDTH=80 man -l "$build/packaging/man/navkeypad.1.gz" 2>/dev/null)"
for command in $commands; do
  while IFS= read -r line; do
    grep -qF -- "$line" <<<"$rendered" || fail "navkeypad(1) lacks the synopsis line '$line' of $command"
  done < <("$program" "$command" --help | sed '/^$/,$d' | sed -e 's/^Usage: //' -e 's/^ *//')
done
# The completion at work: layouts, keys, modifiers, and the paths and serial numbers the
# program's list prints.
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
# Stands in for navkeypad list, so the check needs no keypad.
printf '#!/bin/sh\necho "/dev/hidraw3  serial VNK000123  firmware 1.04"\necho "virtual:keypad1:1.1  serial VNK000124  firmware 1.04"\n' >"$fake/navkeypad"
chmod +x "$fake/navkeypad"
expect() {
  local wanted="$1"
  shift
  local got
  got="$(complete_words "$@")"
  [[ "$got" == " $wanted " ]] || fail "completing '$*': got '$got', wanted '$wanted'"
}
expect "layout" navkeypad lay
expect "default alternate custom" navkeypad layout ""
expect "--device" navkeypad --dev
expect "/dev/hidraw3" "$fake/navkeypad" --device /
# bash replaces only what follows the last = or : of a word: the answers are cut to match.
expect "keypad1:1.1" "$fake/navkeypad" --device virtual:k
expect "VNK000123 VNK000124" "$fake/navkeypad" --serial VNK
expect "local-jack local-no-jack" navkeypad volume-config loc
expect "set" navkeypad table ""
expect "UpArrow" navkeypad table set up=Up
expect "0x50+LeftCtrl 0x50+LeftShift 0x50+LeftAlt 0x50+LeftGui" \
  navkeypad table set left=0x50+Left
expect "status" navkeypad --device /dev/hidraw3 statu
expect "station" navkeypad --config site.ini stati
((failures == 0)) || exit 1
echo "command table ok"
