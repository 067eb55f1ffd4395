#!/bin/sh
# zelmapi on a local personal-folders store: a small mailbox written with
# `write`, then the listing, reading, flags and the errors a user meets.
set -eu
z="$1"
prof="$2"
dir="$VANTREL_TEST_TMPDIR"
rm -rf "$ZEL_REGISTRY_DIR" "$ZEL_MAPI_DIR" "$dir"
mkdir -p "$dir"
export XDG_STATE_HOME="$dir/state"
fail() { echo "FAIL: $*"; exit 1; }
# Dates are local and current: golden text masks them.
mask() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}/DATE/g; s/"entryid":"[0-9A-F]+"/"entryid":ID/g'; }

"$prof" create me
"$prof" add-pst me "$dir/me.pst" "Personal" >/dev/null
"$prof" default me

printf 'To: Ann <ann@x>, bob@y\nCc: "Cy D" <cy@z>\nSubject: Caf\303\251 plans\n\nHello\nthere\n' | "$z" write
printf 'Subject: second\n\nbody 2\n' >"$dir/draft.txt"
"$z" -p me write --file "$dir/draft.txt"

# write --edit: the template goes through $EDITOR (a script here).
cat >"$dir/editor.sh" <<'ED'
#!/bin/sh
sed -i 's/^To: $/To: Dee <dee@x>/; s/^Subject: $/Subject: edited/' "$1"
echo "typed in the editor" >>"$1"
ED
chmod +x "$dir/editor.sh"
EDITOR="$dir/editor.sh" "$z" write --edit
EDITOR=true "$z" write --edit 2>/dev/null && fail "an unchanged template was saved"
EDITOR=false "$z" write --edit 2>/dev/null && fail "a failed editor's template was saved"
"$z" list Drafts --subject edited >/dev/null
out=$("$z" read 1 --peek | mask)
[ "$out" = "From: 
To: Dee <dee@x>
Subject: edited
Date: DATE

typed in the editor" ] || fail "write --edit: $out"
"$z" delete --hard 1

out=$("$z" store list)
[ "$out" = "* Personal" ] || fail "store list: $out"

out=$("$z" folder tree)
[ "$out" = "Deleted Items (0/0)
Drafts (2/2)
Inbox (0/0)
Outbox (0/0)
Sent Items (0/0)" ] || fail "folder tree: $out"

out=$("$z" list Drafts | mask)
[ "$out" = "  1 N  DATE                      Café plans (245)
  2 N  DATE                      second (89)" ] || fail "list: $out"

out=$("$z" -o json list Drafts | mask)
[ "$out" = '{"number":1,"entryid":ID,"read":false,"attachments":false,"date":"DATE","from":"","subject":"Café plans","size":245}
{"number":2,"entryid":ID,"read":false,"attachments":false,"date":"DATE","from":"","subject":"second","size":89}' ] ||
  fail "list json: $out"

# Filters and sort orders, as the store restricts and sorts the table.
while IFS='|' read -r args want; do
  # shellcheck disable=SC2086
  got=$("$z" list Drafts $args | sed -E 's/^ +([0-9]+) .* ([^ ]+) \([0-9]+\)$/\1 \2/' | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "list $args: '$got', want '$want'"
done <<'CASES'
--subject PLANS|1 plans 
--subject nothing-like-it|
--since 2000-01-01|1 plans 2 second 
--since 2999-01-01|
--since 2000-01-01 --subject sec|1 second 
--sort subject|1 plans 2 second 
--page-size 1 --page 2|1 second 
CASES
expect_usage() { set +e; "$z" "$@" >/dev/null 2>&1; rc=$?; set -e; [ $rc = 2 ] || fail "$* exited $rc"; }
expect_usage list Drafts --since 2024-13-01
expect_usage list Drafts --sort colour
"$z" list Drafts >/dev/null

# --peek leaves the message unread; a plain read marks it read.
out=$("$z" read 1 --peek | mask)
[ "$out" = "From: 
To: Ann <ann@x>, bob@y
Cc: Cy D <cy@z>
Subject: Café plans
Date: DATE

Hello
there" ] || fail "read: $out"
"$z" list Drafts --unread | grep -q "Café" || fail "--peek marked the message read"
props=$("$z" read 1 --peek --props)
echo "$props" | grep -qx "0x0037001E PR_SUBJECT PT_STRING8 Café plans" || fail "--props: $props"
echo "$props" | grep -qx "0x001A001E PR_MESSAGE_CLASS PT_STRING8 IPM.Note" || fail "--props: $props"
"$z" read 1 --peek --props -o json | grep -qxF '{"tag":"0x1000001E","name":"PR_BODY","type":"PT_STRING8","value":"Hello\nthere\n"}' ||
  fail "--props json: $("$z" read 1 --peek --props -o json)"
out=$("$z" read 1 -o json | mask)
[ "$out" = '{"entryid":ID,"from":"","subject":"Café plans","date":"DATE","recipients":[{"name":"Ann","email":"ann@x","type":"to"},{"name":"bob@y","email":"bob@y","type":"to"},{"name":"Cy D","email":"cy@z","type":"cc"}],"attachments":[],"body":"Hello\nthere\n"}' ] ||
  fail "read json: $out"
out=$("$z" list Drafts --unread | mask)
[ "$out" = "  1 N  DATE                      second (89)" ] || fail "unread after read: $out"

# Numbers and IDs piped from a listing; an entry ID works where a number does.
"$z" list Drafts --unread -o json | "$z" flag read -
"$z" folder tree | grep -qx "Drafts (0/2)" || fail "flag read from a pipe"
id=$("$z" -o json list Drafts | sed -n '2s/.*"entryid":"\([0-9A-F]*\)".*/\1/p')
"$z" flag unread "$id"
"$z" folder tree | grep -qx "Drafts (1/2)" || fail "flag unread by entry ID"

# Attachments: bytes in, the same bytes out; a name from the message never
# overwrites a file.
head -c 200000 /dev/urandom >"$dir/data.bin"
"$z" attach add 2 "$dir/data.bin"
"$z" read 2 --peek | grep -qx "Attachment 1: data.bin (200052 bytes)" || fail "attachment list: $("$z" read 2 --peek)"
"$z" attach save 2 1 -o "$dir/out.bin"
cmp "$dir/data.bin" "$dir/out.bin" || fail "attachment bytes differ"
(cd "$dir" && "$z" attach save 2 1 2>/dev/null) && fail "attach save overwrote data.bin"
(cd "$dir" && "$z" attach save 2 2 2>&1 | grep -q "out of range") || fail "attachment out of range"

# MIME: a message with an attachment written as .eml and imported again
# keeps its subject, body and attachment bytes.
"$z" read 2 --peek --eml >"$dir/m.eml"
grep -q "^Subject: second" "$dir/m.eml" || fail "eml: $(head -20 "$dir/m.eml")"
"$z" folder create Imported
"$z" import Imported "$dir/m.eml"
"$z" list Imported >/dev/null
out=$("$z" read 1 --peek | mask)
[ "$out" = "From: 
To: 
Subject: second
Date: DATE
Attachment 1: data.bin (200052 bytes)

body 2" ] || fail "imported eml: $out"
"$z" attach save 1 1 -o "$dir/back.bin"
cmp "$dir/data.bin" "$dir/back.bin" || fail "attachment bytes differ after the eml round trip"
"$z" folder delete Imported
"$z" list Drafts >/dev/null

# A body larger than one property read holds comes whole through read,
# --eml and export.
awk 'BEGIN { printf "Subject: long\n\n"; for (i = 1; i <= 50000; i++) printf "line %d of a long body\n", i }' \
  >"$dir/long.txt"
"$z" write --file "$dir/long.txt"
"$z" list Drafts --subject long >/dev/null
sed '1,2d' "$dir/long.txt" >"$dir/long.want"; echo >>"$dir/long.want"
"$z" read 1 --peek | sed '1,/^$/d' | cmp - "$dir/long.want" || fail "read of a long body"
[ "$("$z" read 1 --peek --eml | grep -c '^line ')" = 50000 ] || fail "--eml of a long body"
"$z" delete --hard 1
"$z" list Drafts >/dev/null

# mbox: 1,000 messages in, out and in again; "From " lines in bodies survive
# the quoting both ways.
awk 'BEGIN { for (i = 1; i <= 1000; i++)
  printf "From s@x Thu Jan  1 00:00:00 2026\nFrom: Sender %d <s%d@x>\nTo: me@y\nSubject: message %d\n" \
         "Date: Thu, 1 Jan 2026 10:%02d:%02d +0000\n\nline one of %d\n>From here on\n\n", i, i, i, (i / 60) % 60, i % 60, i }' \
  >"$dir/big.mbox"
"$z" folder create Big
"$z" folder create Again
"$z" import Big "$dir/big.mbox"
# Without a "Status:" header a message comes in unread; read ones keep
# their state through the file.
"$z" list Big --sort subject --page-size 3 >/dev/null
"$z" flag read 1 3
"$z" folder tree | grep -qx "Big (998/1000)" || fail "import: $("$z" folder tree)"
"$z" export Big "$dir/out.mbox"
[ "$(grep -c '^From ' "$dir/out.mbox")" = 1000 ] || fail "export: not 1000 entries"
"$z" import Again "$dir/out.mbox"
a=$("$z" -o json list Big --page-size 2000 --sort subject | sed 's/.*"read"/"read"/')
b=$("$z" -o json list Again --page-size 2000 --sort subject | sed 's/.*"read"/"read"/')
[ "$a" = "$b" ] || fail "mbox round trip changed the listing"
[ "$(printf '%s\n' "$b" | wc -l)" = 1000 ] || fail "mbox round trip: $(printf '%s\n' "$b" | wc -l) messages"
"$z" list Again --subject "message 7" --sort subject --page-size 1 >/dev/null
out=$("$z" read 1 --peek | sed -n '/^$/,$p')
[ "$out" = "
line one of 7
From here on" ] || fail "mbox body: $out"
"$z" folder delete Big
"$z" folder delete Again
"$z" list Drafts >/dev/null

# Filing: folders made, renamed, moved; messages copied, moved, deleted.
"$z" folder create Projects
"$z" folder create Projects/Old
"$z" folder rename Projects/Old Archive
"$z" folder create Later
"$z" folder move Later Projects
"$z" list Drafts >/dev/null
"$z" copy 1 --to Projects/Archive
"$z" move 2 --to Projects/Later
"$z" list Drafts >/dev/null
"$z" delete 1
out=$("$z" folder tree)
[ "$out" = "Deleted Items (0/1)
Drafts (0/0)
Inbox (0/0)
Outbox (0/0)
Projects (0/0)
  Archive (0/1)
  Later (1/1)
Sent Items (0/0)" ] || fail "after filing: $out"
"$z" list "Deleted Items" >/dev/null
"$z" delete --hard 1
"$z" folder empty Projects/Archive
"$z" folder delete Projects/Later
out=$("$z" -o json folder tree)
[ "$out" = '{"path":"Deleted Items","name":"Deleted Items","unread":0,"total":0}
{"path":"Drafts","name":"Drafts","unread":0,"total":0}
{"path":"Inbox","name":"Inbox","unread":0,"total":0}
{"path":"Outbox","name":"Outbox","unread":0,"total":0}
{"path":"Projects","name":"Projects","unread":0,"total":0}
{"path":"Projects/Archive","name":"Archive","unread":0,"total":0}
{"path":"Sent Items","name":"Sent Items","unread":0,"total":0}' ] || fail "after deleting: $out"

# watch on the local store prints what another process saves, moves and
# deletes, within a polling period of the store.
"$z" -o json watch Drafts >"$dir/watch.out" 2>"$dir/watch.err" &
watcher=$!
wait_for() {  # PATTERN FILE: bounded, so that a lost event fails instead of hanging
  n=0
  until grep -q "$1" "$2"; do
    n=$((n + 1)); [ $n -lt 300 ] || { kill "$watcher"; fail "watch printed: $(cat "$dir/watch.out" "$dir/watch.err")"; }
    sleep 0.1
  done
}
wait_for "^watching" "$dir/watch.err"
printf 'Subject: Arrived\n\nhi\n' | "$z" write
wait_for '"event":"new".*"subject":"Arrived"' "$dir/watch.out"
"$z" list Drafts --subject Arrived >/dev/null
"$z" flag read 1
wait_for '"event":"changed".*"subject":"Arrived"' "$dir/watch.out"
"$z" move 1 --to Inbox
wait_for '"event":"moved".*"subject":"Arrived"' "$dir/watch.out"
"$z" list Drafts >/dev/null
kill -INT "$watcher"
wait "$watcher" || fail "watch did not end cleanly on Ctrl-C"

# Errors: one line, exit 1 (2 for usage), no hang.
expect() {
  want=$1; shift
  set +e; msg=$("$@" 2>&1 >/dev/null); rc=$?; set -e
  [ "$rc" = "$want" ] || fail "$* exited $rc: $msg"
  [ "$(printf '%s\n' "$msg" | wc -l)" = 1 ] || fail "$*: not one line: $msg"
}
expect 1 "$z" list Nope
expect 1 "$z" list Drafts/Nope
expect 1 "$z" read 3
expect 1 "$z" read 0
expect 1 "$z" read XYZ
expect 1 "$z" -p nobody list
expect 1 "$z" -s "No Such Store" list
expect 2 "$z" frobnicate
expect 2 "$z" list --bogus
expect 1 "$z" folder delete Nope
expect 1 "$z" folder create Projects
expect 2 "$z" move 1
"$z" read 3 2>&1 | grep -q "out of range" || fail "range message"
for c in store folder list read flag write move copy delete send attach watch export import; do "$z" $c --help >/dev/null || fail "$c --help"; done
echo ok
