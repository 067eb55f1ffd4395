#!/usr/bin/env bash
# The demo: prepares a demo home under build/ (the user "demo", the profiles
# "mailbox_demo" and "Public" with their stores), starts ZelServer on its
# defaults (endpoint 5002) and logs on through the client stubs of the remote
# interface: profiles, message store, the folders of the mailbox. Running it
# again reuses the home.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
home="$build/demo-home"
mkdir -p "$home"
export ZEL_REGISTRY_DIR="$home/registry"
export ZEL_MAPI_DIR="$home/mapi"
endpoint=${ZEL_RPC_ENDPOINT:-5002}

echo "Vantrel demo: home $home"
setup=$("$build/bin/zeldemo" "$home")
echo "$setup" | grep -v '^user ' || true
password=$(echo "$setup" | sed -n 's/^user demo password //p')
echo
echo "Demo user: demo    password: $password"
echo

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
"$build/bin/zelping" 127.0.0.1 demo "$password" || echo "(the mailbox could not be listed)"
echo
echo "Stopping the server (SIGTERM ends every session and exits cleanly)."
