#!/usr/bin/env bash
# The throwaway PostgreSQL cluster of one test run: `start FILE` makes it in a temporary folder
# (as an unprivileged user where the run is root's, since the server refuses root), with a
# certificate authority, the server's certificate for 127.0.0.1 and client certificates for the
# roles bench_tls and site_owner, and writes where it listens into FILE; `stop FILE` stops it and removes it all;
# `pause FILE` and `resume FILE` stop and start it again, for a test of a server that goes away.
# A server that cannot be started fails the run: the tests that need it never skip.
set -euo pipefail
action="$1" where="$2"

bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
[[ -x "$bin/initdb" ]] || { echo "test_server: no PostgreSQL server (scripts/deps.sh installs it)" >&2; exit 1; }

as_server_user() {
  if [[ $(id -u) -eq 0 ]]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env -- env PATH="$bin:/usr/bin:/bin" "$@"
  else
    "$@"
  fi
}

if [[ "$action" == pause || "$action" == resume ]]; then
  folder="$(sed -n 's/^folder=//p' "$where")"
  if [[ "$action" == pause ]]; then
    as_server_user "$bin/pg_ctl" -D "$folder/data" -m fast -w stop >/dev/null
  else
    as_server_user "$bin/pg_ctl" -D "$folder/data" -l "$folder/logs/server.log" -w -t 60 start >/dev/null
  fi
  exit 0
fi

if [[ "$action" == stop ]]; then
  [[ -f "$where" ]] || exit 0
  folder="$(sed -n 's/^folder=//p' "$where")"
  as_server_user "$bin/pg_ctl" -D "$folder/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$folder" "$where"
  exit 0
fi

"$0" stop "$where"
folder="$(mktemp -d /tmp/navkeypad-site.XXXXXX)"
chmod 755 "$folder"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"

tls="$folder/tls"
mkdir -p "$tls"
make_certificate() {  # NAME SUBJECT [SAN]
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$tls/$1.key" -out "$tls/$1.csr" 2>/dev/null
  local extensions=()
  if [[ $# -gt 2 ]]; then
    printf 'subjectAltName=%s\n' "$3" >"$tls/$1.ext"
    extensions=(-extfile "$tls/$1.ext")
  fi
  openssl x509 -req -in "$tls/$1.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 2 -out "$tls/$1.crt" "${extensions[@]}" 2>/dev/null
}
openssl req -new -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=navkeypad test authority" \
  -keyout "$tls/ca.key" -out "$tls/ca.crt" 2>/dev/null
make_certificate server 127.0.0.1 "IP:127.0.0.1"
make_certificate bench_tls bench_tls
make_certificate site_owner site_owner
chmod 600 "$tls"/*.key
mkdir -p "$folder/data" "$folder/socket" "$folder/logs"
if [[ $(id -u) -eq 0 ]]; then chown -R nobody:nogroup "$folder/data" "$folder/socket" "$folder/logs" "$tls/server.key" "$tls/server.crt"; fi

as_server_user "$bin/initdb" -D "$folder/data" -U postgres --auth=trust --no-sync -E UTF8 \
  --locale=C >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; exit 1; }
cat >>"$folder/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$folder/socket'
fsync = off
ssl = on
ssl_cert_file = '$tls/server.crt'
ssl_key_file = '$tls/server.key'
ssl_ca_file = '$tls/ca.crt'
max_connections = 200
CONF
cat >"$folder/data/pg_hba.conf" <<HBA
local all all trust
hostssl all bench_tls,site_owner 127.0.0.1/32 cert
hostssl all all 127.0.0.1/32 scram-sha-256
HBA
as_server_user "$bin/pg_ctl" -D "$folder/data" -l "$folder/logs/server.log" -w -t 60 start >/dev/null ||
  { cat "$folder/logs/server.log" >&2; exit 1; }
cat >"$where" <<WHERE
folder=$folder
socket=$folder/socket
port=$port
tls=$tls
bin=$bin
WHERE
# The role that owns each case's database and sets its site up, as a site's administrator would.
psql -X -q -h "$folder/socket" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
  -c "CREATE ROLE site_owner LOGIN CREATEROLE" >/dev/null
echo "test_server: PostgreSQL on $folder/socket and 127.0.0.1:$port"
