#!/bin/sh
# Sets up the server's profiles with mapiprof and checks what it lists.
set -eu
prof="$1"
dir="$VANTREL_TEST_TMPDIR"
rm -rf "$ZEL_REGISTRY_DIR" "$ZEL_MAPI_DIR"
mkdir -p "$dir"
fail() { echo "FAIL: $*"; exit 1; }

"$prof" create mailbox_jsmith
"$prof" add-pst mailbox_jsmith "$dir/jsmith.pst" "Mailbox - John Smith" >/dev/null
"$prof" create Public
"$prof" add-pst Public "$dir/public.pst" "Public Folders" >/dev/null
"$prof" create scratch
"$prof" delete scratch
"$prof" create Public 2>/dev/null && fail "a second Public was created"

list=$("$prof" list)
[ "$list" = "mailbox_jsmith
Public" ] || fail "list: $list"
show=$("$prof" show mailbox_jsmith)
echo "$show" | grep -q "MSPST MS  Mailbox - John Smith" || fail "show: $show"
echo "$show" | grep -q "Mailbox - John Smith  $dir/jsmith.pst  (default)" || fail "show: $show"
"$prof" show nobody 2>/dev/null && fail "show of a missing profile succeeded"

# The profiles work: logging on opens each store with its standard folders.
folders=$("$prof" folders mailbox_jsmith)
for f in "Mailbox - John Smith" "Inbox" "Outbox" "Sent Items" "Deleted Items"; do
  echo "$folders" | grep -q "$f" || fail "folders: $folders"
done
[ -f "$dir/jsmith.pst" ] || fail "no store file"
"$prof" folders Public | grep -q "Inbox" || fail "Public has no folders"
"$prof" folders nobody 2>/dev/null && fail "logon to a missing profile succeeded"
# add-service refuses settings the service does not have, and a service
# MAPISVC.INF does not list; neither leaves a service behind.
"$prof" add-service Public MSZLF colour=blue 2>/dev/null && fail "an unknown setting was taken"
"$prof" add-service Public NOSUCH PR_DISPLAY_NAME=x 2>/dev/null && fail "an unknown service was added"
"$prof" show Public | grep -q "NOSUCH\|MSZLF" && fail "a refused service was left: $("$prof" show Public)"
echo ok
