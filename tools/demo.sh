#!/usr/bin/env bash
# The demo: prepares a demo home under build/ (the profiles "mailbox_demo"
# and "Public" with their stores), starts ZelServer on its defaults
# (endpoint 5002), gives it the user "demo" through zeladmin (the server's
# own user dialogs, driven from the shell), logs on through the client stubs
# of the remote interface: profiles, message store, the folders of the
# mailbox; then stops the server with zeladmin. Running it again reuses the
# home and the demo password kept in it.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
home="$build/demo-home"
mkdir -p "$home"
export ZEL_REGISTRY_DIR="$home/registry"
export ZEL_MAPI_DIR="$home/mapi"
endpoint=${ZEL_RPC_ENDPOINT:-5002}
zeladmin=("$build/bin/zeladmin" --home "$home")

echo "Vantrel demo: home $home"
"$build/bin/zeldemo" --stores "$home"

# The password is made once and kept in the home, readable by its owner
# only; zeladmin reads it from standard input, never from its arguments.
pwfile="$home/demo-password"
if [ ! -s "$pwfile" ]; then
  # (a bounded read: a pipe cut short would fail the script under pipefail)
  (umask 077 && head -c 2000 /dev/urandom | LC_ALL=C tr -dc 'abcdefghjkmnpqrstuvwxyz23456789' | cut -c1-10 >"$pwfile")
fi
password=$(cat "$pwfile")

echo "Starting ZelServer on TCP port $endpoint"
"$build/bin/ZelServer" --home "$home" &
server=$!
trap 'kill -TERM $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT

for _ in $(seq 50); do
  if "$build/bin/zelping" 127.0.0.1 >/dev/null 2>&1; then break; fi
  sleep 0.1
done
if command -v ss >/dev/null; then
  ss -ltn "sport = :$endpoint" | sed 's/^/  /'
fi

echo
if "${zeladmin[@]}" users | cut -f1 | grep -qx demo; then
  # A home of an earlier demo: the user takes the kept password.
  "${zeladmin[@]}" passwd demo <"$pwfile"
else
  "${zeladmin[@]}" add demo --name "Demo User" <"$pwfile"
fi
echo "Users (zeladmin users):"
"${zeladmin[@]}" users | sed 's/^/  /'
echo
echo "Demo user: demo    password: $password"
echo

"$build/bin/zelping" 127.0.0.1 demo "$password" || echo "(the mailbox could not be listed)"
echo
# A workstation in its own registry folder: the store provider installed,
# zelclient registered, a profile with the Vantrel service for the demo
# mailbox; zelmapi shows the mailbox through the platform MAPI.
ws="$home/workstation"
mkdir -p "$ws/mapi/providers"
(
  export ZEL_REGISTRY_DIR="$ws/registry" ZEL_MAPI_DIR="$ws/mapi" ZEL_RPC_ENDPOINT="$endpoint"
  export XDG_STATE_HOME="$ws/state"
  cp "$build/lib/mszlf.so" "$ws/mapi/providers/mszlf.so"
  "$build/bin/mapiprof" register "$build/lib/zelclient.so" >/dev/null
  if ! "$build/bin/mapiprof" list | grep -q '^workstation'; then
    "$build/bin/mapiprof" create workstation
    "$build/bin/mapiprof" add-service workstation MSZLF server=127.0.0.1 profile=mailbox_demo \
      "store=Mailbox - demo" login=demo password=- <"$pwfile" >/dev/null
  fi
  z=("$build/bin/zelmapi" -p workstation)
  echo "The mailbox through zelmapi on the workstation profile:"
  echo "\$ zelmapi folder tree"
  "${z[@]}" folder tree | sed 's/^/  /'
  echo "\$ zelmapi list Inbox"
  "${z[@]}" list Inbox | sed 's/^/  /'
  echo "\$ zelmapi read 1 --peek"
  "${z[@]}" read 1 --peek | sed 's/^/  /'
) || echo "(zelmapi could not show the mailbox)"
echo
echo "Stopping the server (zeladmin stop: every session ends, the server exits cleanly)."
"${zeladmin[@]}" stop
wait $server 2>/dev/null || true
trap - EXIT
