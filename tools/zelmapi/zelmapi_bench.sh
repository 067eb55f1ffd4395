#!/bin/sh
# Figures for zelmapi beside their baselines from the same run:
#   list of the first page of a 20,000-message folder through zelclient,
#     beside the same command on the same store opened locally;
#   read of a message with a 10 MB attachment saved to a file, beside
#     copying the file.
# usage: zelmapi_bench.sh BIN-DIR LIB-DIR [SCRATCH]   (BIN-DIR: build/bin, LIB-DIR: build/lib)
set -eu
bin=$1; lib=$2; dir=${3:-/tmp/zelmapi-bench}
z="$bin/zelmapi"; prof="$bin/mapiprof"
rm -rf "$dir"
mkdir -p "$dir/srv/home" "$dir/ws/mapi/providers"
export XDG_STATE_HOME="$dir/state"
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; true; }
trap cleanup EXIT
now() { date +%s%N; }
# Best of five runs of a command, in milliseconds.
best() {
  b=
  for _ in 1 2 3 4 5; do
    t0=$(now); "$@" >/dev/null; t1=$(now)
    t=$(((t1 - t0) / 1000000))
    if [ -z "$b" ] || [ "$t" -lt "$b" ]; then b=$t; fi
  done
  echo "$b"
}
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export ZEL_RPC_ENDPOINT="$port"

srv() { ZEL_REGISTRY_DIR="$dir/srv/registry" ZEL_MAPI_DIR="$dir/srv/mapi" "$@"; }
srv "$prof" create mailbox_jsmith
srv "$prof" add-pst mailbox_jsmith "$dir/srv/jsmith.pst" "Mailbox - John Smith" >/dev/null
srv "$bin/zelusers" "$dir/srv/home/USERS.ZLF" >/dev/null

echo "seeding 20,000 messages and one with a 10 MB attachment"
awk 'BEGIN { for (i = 1; i <= 20000; i++)
  printf "From s@x Thu Jan  1 00:00:00 2026\nFrom: Sender %d <s%d@x>\nTo: me@y\nSubject: message %d\n" \
         "Date: Thu, 1 Jan 2026 %02d:%02d:%02d +0000\n\nbody of message %d\n\n", i, i, i, i / 3600, (i / 60) % 60, i % 60, i }' \
  >"$dir/big.mbox"
srv "$z" -p mailbox_jsmith folder create Big
srv "$z" -p mailbox_jsmith import Big "$dir/big.mbox"
head -c 10485760 /dev/urandom >"$dir/ten.bin"
printf 'To: me@y\nSubject: large\n\nsee the attachment\n' | srv "$z" -p mailbox_jsmith write
srv "$z" -p mailbox_jsmith list Drafts >/dev/null
srv "$z" -p mailbox_jsmith attach add 1 "$dir/ten.bin"

local_list=$(best srv "$z" -p mailbox_jsmith list Big)
srv "$z" -p mailbox_jsmith list Drafts >/dev/null
local_save=$(best srv "$z" -p mailbox_jsmith attach save 1 1 -o "$dir/local.bin")

srv "$bin/ZelServer" --home "$dir/srv/home" >"$dir/server.log" 2>&1 </dev/null &
pid=$!
n=0
until grep -q "ZelServer listening" "$dir/server.log"; do
  n=$((n + 1)); [ $n -lt 300 ] || { echo "the server did not start"; exit 1; }
  sleep 0.1
done
export ZEL_REGISTRY_DIR="$dir/ws/registry" ZEL_MAPI_DIR="$dir/ws/mapi"
cp "$lib/mszlf.so" "$ZEL_MAPI_DIR/providers/mszlf.so"
"$prof" register "$lib/zelclient.so" >/dev/null
"$prof" create ws
echo secret | "$prof" add-service ws MSZLF server=127.0.0.1 profile=mailbox_jsmith \
  "store=Mailbox - John Smith" login=jsmith password=- >/dev/null
remote_list=$(best "$z" -p ws list Big)
"$z" -p ws list Drafts >/dev/null
remote_save=$(best "$z" -p ws attach save 1 1 -o "$dir/remote.bin")
cmp "$dir/ten.bin" "$dir/remote.bin"
copy=$(best cp "$dir/ten.bin" "$dir/copy.bin")

echo "list, first page (50) of 20,000 messages: through zelclient ${remote_list} ms, same store locally ${local_list} ms"
echo "10 MB attachment saved to a file: through zelclient ${remote_save} ms, locally ${local_save} ms, cp ${copy} ms"
