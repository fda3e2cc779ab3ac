#!/usr/bin/env bash
# The print service of one test run: `start FILE` starts a CUPS scheduler of its own in a
# temporary folder, listening on a socket there, with one queue, "labels", the system's default,
# whose printer is a file: its backend keeps what a job sends the printer, as it was sent. It
# writes into FILE where the scheduler listens and where the file is; `stop FILE` stops it and removes it all. A print service that
# cannot be started fails the run: the tests that print never skip.
set -euo pipefail
action="$1" where="$2"

if [[ "$action" == stop ]]; then
  [[ -f "$where" ]] || exit 0
  folder="$(sed -n 's/^folder=//p' "$where")"
  pid="$(sed -n 's/^pid=//p' "$where")"
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -rf "$folder" "$where"
  exit 0
fi

command -v cupsd >/dev/null || { echo "test_printer: no CUPS scheduler (scripts/deps.sh installs it)" >&2; exit 1; }
"$0" stop "$where"
folder="$(mktemp -d "${TMPDIR:-/tmp}/navkeypad-printer.XXXXXX")"
chmod 755 "$folder"
mkdir -p "$folder"/{etc,spool,cache,state,tmp,log,out,bin/backend}
chmod 777 "$folder/out"
# The backend the queue prints through: the job's document into the file its device names.
cat >"$folder/bin/backend/keep" <<'BACKEND'
#!/bin/sh
[ $# -eq 0 ] && { echo 'direct keep "Unknown" "A file"'; exit 0; }
out="${DEVICE_URI#keep:}"
if [ $# -ge 6 ]; then cat "$6" >"$out.part"; else cat >"$out.part"; fi
mv "$out.part" "$out"
BACKEND
chmod 755 "$folder/bin/backend/keep"
# The scheduler starts its backends through its own helpers.
for part in daemon filter; do ln -s "/usr/lib/cups/$part" "$folder/bin/$part"; done
socket="$folder/cups.sock"
printed="$folder/out/printed"
cat >"$folder/etc/cupsd.conf" <<CONF
Listen $socket
LogLevel warn
WebInterface No
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
CONF
cat >"$folder/etc/cups-files.conf" <<CONF
ServerBin $folder/bin
ServerRoot $folder/etc
RequestRoot $folder/spool
CacheDir $folder/cache
StateDir $folder/state
TempDir $folder/tmp
ErrorLog $folder/log/error_log
AccessLog $folder/log/access_log
PageLog $folder/log/page_log
CONF
# Run by a user, the scheduler runs its backends as that user.
if [[ $(id -u) -ne 0 ]]; then
  printf 'User %s\nGroup %s\n' "$(id -un)" "$(id -gn)" >>"$folder/etc/cups-files.conf"
fi
cupsd -f -c "$folder/etc/cupsd.conf" -s "$folder/etc/cups-files.conf" >"$folder/log/cupsd.out" 2>&1 &
pid=$!
for _ in $(seq 100); do [[ -S "$socket" ]] && break; sleep 0.1; done
[[ -S "$socket" ]] || { cat "$folder/log/"* >&2; kill "$pid"; echo "test_printer: CUPS did not start" >&2; exit 1; }
lpadmin -h "$socket" -p labels -v "keep:$printed" -m raw -E 2>/dev/null ||
  { cat "$folder/log/"* >&2; kill "$pid"; echo "test_printer: the queue could not be made" >&2; exit 1; }
lpadmin -h "$socket" -d labels
printf 'folder=%s\nsocket=%s\nprinted=%s\npid=%s\n' "$folder" "$socket" "$printed" "$pid" >"$where"
