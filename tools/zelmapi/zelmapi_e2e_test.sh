#!/bin/sh
# zelmapi on a workstation profile with the Vantrel service: a real
# ZelServer serves jsmith's mailbox; zelmapi writes, lists and reads it
# through the platform MAPI, then meets the server gone.
set -eu
z="$1"; prof="$2"; users="$3"; server="$4"; mszlf="$5"; zelclient="$6"
dir="$VANTREL_TEST_TMPDIR"
rm -rf "$dir"
mkdir -p "$dir/srv/home" "$dir/ws/mapi/providers"
export XDG_STATE_HOME="$dir/state"
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; true; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$dir/server.log" ] && cat "$dir/server.log"; exit 1; }
mask() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}/DATE/g'; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export ZEL_RPC_ENDPOINT="$port"

# The server machine: its registry, MAPI folder, mailbox and users file.
(
  export ZEL_REGISTRY_DIR="$dir/srv/registry" ZEL_MAPI_DIR="$dir/srv/mapi"
  "$prof" create mailbox_jsmith
  "$prof" add-pst mailbox_jsmith "$dir/srv/jsmith.pst" "Mailbox - John Smith" >/dev/null
  "$users" "$dir/srv/home/USERS.ZLF" >/dev/null
)
ZEL_REGISTRY_DIR="$dir/srv/registry" ZEL_MAPI_DIR="$dir/srv/mapi" "$server" --home "$dir/srv/home" \
  >"$dir/server.log" 2>&1 </dev/null &
pid=$!
n=0
until grep -q "ZelServer listening" "$dir/server.log"; do
  n=$((n + 1)); [ $n -lt 300 ] || fail "the server did not start"
  kill -0 "$pid" 2>/dev/null || fail "the server ended"
  sleep 0.1
done

# The workstation: the provider installed, zelclient registered, a profile
# with the Vantrel service.
export ZEL_REGISTRY_DIR="$dir/ws/registry" ZEL_MAPI_DIR="$dir/ws/mapi"
cp "$mszlf" "$ZEL_MAPI_DIR/providers/mszlf.so"
"$prof" register "$zelclient" >/dev/null
"$prof" create ws
echo secret | "$prof" add-service ws MSZLF server=127.0.0.1 profile=mailbox_jsmith \
  "store=Mailbox - John Smith" login=jsmith password=- >/dev/null

printf 'To: Ann <ann@x>\nSubject: Status\n\nAll \303\251s well.\n' | "$z" -p ws write
printf 'Subject: Lunch\n\nAt noon?\n' | "$z" -p ws write

out=$("$z" -p ws store list)
[ "$out" = "* Vantrel" ] || fail "store list: $out"
out=$("$z" -p ws folder tree)
[ "$out" = "Deleted Items (0/0)
Drafts (2/2)
Inbox (0/0)
Outbox (0/0)
Sent Items (0/0)" ] || fail "folder tree: $out"
out=$("$z" -p ws list Drafts | mask)
[ "$out" = "  1 N  DATE                      Status (144)
  2 N  DATE                      Lunch (90)" ] || fail "list: $out"
out=$("$z" -p ws read 1 | mask)
[ "$out" = "From: 
To: Ann <ann@x>
Subject: Status
Date: DATE

All és well." ] || fail "read: $out"
head -c 300000 /dev/urandom >"$dir/data.bin"
"$z" -p ws attach add 1 "$dir/data.bin"
"$z" -p ws attach save 1 1 -o "$dir/out.bin"
cmp "$dir/data.bin" "$dir/out.bin" || fail "attachment bytes differ through the server"
"$z" -p ws read 1 --peek --eml >"$dir/m.eml"
"$z" -p ws import Inbox "$dir/m.eml"
"$z" -p ws list Inbox >/dev/null
"$z" -p ws read 1 --peek | grep -qx "Subject: Status" || fail "eml through the server: $("$z" -p ws read 1 --peek)"
"$z" -p ws attach save 1 1 -o "$dir/back.bin"
cmp "$dir/data.bin" "$dir/back.bin" || fail "attachment bytes differ after the eml round trip"
"$z" -p ws list Drafts >/dev/null
"$z" -p ws folder create Done
"$z" -p ws move 2 --to Done
"$z" -p ws -o json folder tree | grep -qx '{"path":"Done","name":"Done","unread":1,"total":1}' ||
  fail "move: $("$z" -p ws folder tree)"

# watch shows a message another process saves, within a polling period.
"$z" -p ws -o json watch Drafts >"$dir/watch.out" 2>"$dir/watch.err" &
watcher=$!
n=0
until grep -q "^watching" "$dir/watch.err"; do  # advised
  n=$((n + 1)); [ $n -lt 300 ] || { kill "$watcher"; fail "watch did not start: $(cat "$dir/watch.err")"; }
  sleep 0.1
done
printf 'Subject: Arrived\n\nhi\n' | "$z" -p ws write
n=0
until grep -q '"event":"new".*"subject":"Arrived"' "$dir/watch.out"; do
  n=$((n + 1)); [ $n -lt 300 ] || { kill "$watcher"; fail "watch printed: $(cat "$dir/watch.out" "$dir/watch.err")"; }
  sleep 0.1
done
kill -INT "$watcher"
wait "$watcher" || fail "watch did not end cleanly on Ctrl-C"

# The server gone: one line, exit 1, in bounded time.
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
set +e
msg=$(timeout 120 "$z" -p ws list Drafts 2>&1 >/dev/null); rc=$?
set -e
[ "$rc" = 1 ] || fail "with the server down: exit $rc: $msg"
[ "$(printf '%s\n' "$msg" | wc -l)" = 1 ] || fail "with the server down, not one line: $msg"
echo "server down: $msg"
echo ok
