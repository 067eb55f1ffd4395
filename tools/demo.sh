#!/usr/bin/env bash
# The demo: starts ZelServer on its defaults (endpoint 5002, a demo home
# under build/) and talks to it through the client stubs of the remote
# interface. It grows as the parts of the system land.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
home="$build/demo-home"
mkdir -p "$home"
export ZEL_REGISTRY_DIR="$home/registry"
endpoint=${ZEL_RPC_ENDPOINT:-5002}

echo "Vantrel demo: ZelServer with home $home on TCP port $endpoint"
"$build/bin/ZelServer" --home "$home" &
server=$!
trap 'kill -TERM $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT

for _ in $(seq 50); do
  if "$build/bin/zelping" 127.0.0.1 >/dev/null 2>&1; then break; fi
  sleep 0.1
done
"$build/bin/zelping" 127.0.0.1 demo demo
echo
echo "The server serves all 122 operations of its interface. Logons, mailboxes"
echo "and the user directory are switched on as those parts land; until then"
echo "a logon is refused (0x80040122, MAPI_E_INVALID_WORKSTATION_ACCOUNT)."
echo "Stopping the server (SIGTERM ends every session and exits cleanly)."
