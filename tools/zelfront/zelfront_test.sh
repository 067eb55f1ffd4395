#!/bin/sh
# zelfront on a private X display with a tray host, against a real
# ZelServer: the tray icon (tip, turning frames, its menu), the users dialog
# opened from that menu, a user added by typing and clicking in the drawn
# dialog, a mailbox made for it and the box that reports it answered by a
# click, then a remote logon as that user; the end of the session asked
# with a person online (refused, then agreed). Every click and key goes
# through the X server (xdotool); where things are drawn is read from
# zelfront's state file. Screenshots land in BUILD/zelfront-screenshots.
#   zelfront_test.sh BUILD
set -u
build=$(cd "$1" && pwd)
bin="$build/bin"
for tool in Xvfb xdotool trayer python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

tmp="${VANTREL_TEST_TMPDIR:-/tmp/zelfront_test.$$}/run"
shots="$build/zelfront-screenshots"
rm -rf "$tmp" "$shots"
mkdir -p "$tmp/win" "$tmp/xdg" "$tmp/home" "$tmp/fakebin"
chmod 700 "$tmp/win" "$tmp/xdg"
state="$tmp/state"

# A private runtime folder, registry and MAPI folder; no session bus (the
# tray is the X11 one trayer hosts), no session manager.
export ZEL_WIN_DIR="$tmp/win" XDG_RUNTIME_DIR="$tmp/xdg"
export ZEL_REGISTRY_DIR="${ZEL_REGISTRY_DIR:-$tmp/registry}" ZEL_MAPI_DIR="${ZEL_MAPI_DIR:-$tmp/mapi}"
rm -rf "$ZEL_REGISTRY_DIR" "$ZEL_MAPI_DIR"
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
export LANG=de_DE.UTF-8 QT_QPA_PLATFORM=xcb
ZEL_RPC_ENDPOINT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export ZEL_RPC_ENDPOINT
# Help opens through xdg-open: ours writes down what it was given.
printf '#!/bin/sh\necho "$@" >>"%s/xdg-open.log"\n' "$tmp" >"$tmp/fakebin/xdg-open"
chmod +x "$tmp/fakebin/xdg-open"
export PATH="$tmp/fakebin:$PATH"

pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null; done
  sleep 0.3
  for p in $pids; do kill -9 "$p" 2>/dev/null; done
}
trap cleanup EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
  echo "--- state"; cat "$state" 2>/dev/null
  echo "--- zelfront"; cat "$tmp/front.log" 2>/dev/null
  exit 1
}
ok() { echo "ok: $*"; }

# Waits (up to 20 s) until the shell condition holds.
wait_for() {
  n=0
  while ! eval "$1"; do
    n=$((n + 1))
    [ $n -gt 200 ] && fail "timed out waiting for: $2"
    sleep 0.1
  done
}
# The state file's lines of one kind, fields split by single spaces.
lines() { grep "^$1 " "$state" 2>/dev/null; }
# The top-level window that holds a control with id $1 (visible).
window_with() { lines control | awk -v id="$1" '$5 == id { print $4; exit }'; }
# The center of control id $2 in window $1, and whether it is enabled.
center() { lines control | awk -v w="$1" -v id="$2" '$4 == w && $5 == id { print int($8 + $10 / 2), int($9 + $11 / 2); exit }'; }
enabled() { lines control | awk -v w="$1" -v id="$2" '$4 == w && $5 == id { print $7; exit }'; }
click_at() { xdotool mousemove "$1" "$2" sleep 0.1 click "${3:-1}"; }
click_control() {
  set -- $(center "$1" "$2") "${3:-1}"
  [ -n "${2:-}" ] || fail "no control to click"
  click_at "$1" "$2" "${3:-1}"
}

# --- the display, the tray host, the server, the front end
exec 5>"$tmp/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
pids="$!"
exec 5>&-
wait_for '[ -s "$tmp/display" ]' "Xvfb"
export DISPLAY=":$(cat "$tmp/display")"
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true >"$tmp/trayer.log" 2>&1 &
trayer=$!
pids="$pids $trayer"

"$bin/ZelServer" --home "$tmp/home" >"$tmp/server.log" 2>&1 &
server=$!
pids="$pids $server"
wait_for 'grep -q "ZelServer listening" "$tmp/server.log"' "the server"

"$bin/zelfront" --state "$state" --screenshot-dir "$shots" >"$tmp/front.log" 2>&1 &
front=$!
pids="$front $pids"

# --- the tray icon: shown in the tray, its tip, its frames turning
wait_for 'lines tray | awk '"'"'$4 == 1 && $7 > 0 { f = 1 } END { exit !f }'"'" "the tray icon in the tray"
tray=$(lines tray | head -1)
set -- $tray
[ "${12}" = 'Vantrel\sServer' ] || fail "tray tip: ${12}"
[ "${11}" = 1 ] || fail "the tray icon is not drawn from the process's picture"
first_icon=$9
ok "tray icon shown with tip Vantrel Server"
wait_for 'lines tray | awk -v i="$first_icon" '"'"'$9 != i && $10 >= 3 { f = 1 } END { exit !f }'"'" "the frames to change"
ok "the frames turn ($(lines tray | awk '{ print $10 }') seen)"

# A second front end for the same user is refused; zelwin works beside.
"$bin/zelfront" >"$tmp/second.log" 2>&1
rc=$?
[ $rc -eq 1 ] && grep -q "another front end (process $front)" "$tmp/second.log" || fail "second zelfront: $rc $(cat "$tmp/second.log")"
"$bin/zelwin" list | grep -q 'Vantrel Server' || fail "zelwin list beside zelfront"
ok "second front end refused; zelwin works beside"

# --- a second program comes and goes
second_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$tmp/home2"
ZEL_RPC_ENDPOINT=$second_port "$bin/ZelServer" --home "$tmp/home2" >"$tmp/server2.log" 2>&1 &
second=$!
pids="$pids $second"
wait_for '[ "$(lines process | wc -l)" -eq 2 ] && [ "$(lines tray | awk '"'"'$4 == 1'"'"' | wc -l)" -eq 2 ]' "a second process and its icon"
kill -TERM "$second"
wait "$second"
wait_for '[ "$(lines process | wc -l)" -eq 1 ] && [ "$(lines tray | wc -l)" -eq 1 ]' "the second process to go"
ok "a second process drawn while it runs, gone when it ends"

# --- the tray host goes (the window list takes over) and comes back (the
# icon is added again)
kill "$trayer"
wait_for 'lines trayhost | grep -q none && lines list | grep -q shown' "the window list without a tray"
# There the icon's entry opens the program's own menu (a right click), and
# "&Anzeigen" shows the server window.
wait_for 'lines listentry | grep -q " tray "' "the icon's entry in the list"
wait_for 'grep -q "^note screenshot.*window-list" "$state"' "the window list drawn"
set -- $(lines listentry | awk '$3 == "tray" { print $5 + 20, int($6 + $8 / 2); exit }')
click_at "$1" "$2" 3
wait_for 'lines menu | awk '"'"'$5 == 1 { f = 1 } END { exit !f }'"'" "the menu from the window list"
set -- $(lines menuitem | awk '$4 == 32771 { print int($6 + $8 / 2), int($7 + $9 / 2) }')
click_at "$1" "$2"
wait_for 'lines window | awk '"'"'$4 == 1 && $9 == "Vantrel\\sServer" { f = 1 } END { exit !f }'"'" "the server window from the list"
wait_for 'grep -q "^note screenshot.*Vantrel_Server" "$state"' "the server window's screenshot"
ok "the server window reached through the window list"
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true >"$tmp/trayer.log" 2>&1 &
trayer=$!
pids="$pids $trayer"
wait_for 'lines list | grep -q hidden && lines tray | awk '"'"'$4 == 1 && $7 > 0 { f = 1 } END { exit !f }'"'" "the icon in the new tray"
ok "window list without a tray; icon added again to a new tray"

# The icon's place once the tray has embedded it (it no longer moves).
tray_at() { lines tray | awk '{ print int($5 + $7 / 2), int($6 + $8 / 2); exit }'; }
at=""
while [ "$at" != "$(tray_at)" ]; do
  at=$(tray_at)
  sleep 0.5
done
set -- $at
tray_x=$1 tray_y=$2

# --- the tray menu: right click, its German entries, "&Anzeigen"
menu_pick() {
  click_at "$tray_x" "$tray_y" 3
  wait_for 'lines menu | awk '"'"'$5 == 1 { f = 1 } END { exit !f }'"'" "the tray menu"
  set -- $(lines menuitem | awk -v id="$1" '$4 == id { print int($6 + $8 / 2), int($7 + $9 / 2) }')
  click_at "$1" "$2"
  wait_for '! lines menu >/dev/null' "the menu to close"
}
click_at "$tray_x" "$tray_y" 3
wait_for 'lines menu | awk '"'"'$5 == 1 { f = 1 } END { exit !f }'"'" "the tray menu"
wait_for 'grep -q "^note screenshot.*menu-" "$state"' "the menu's screenshot"
entries=$(lines menuitem | awk '{ printf "%s|", $10 }')
[ "$entries" = '&Anzeigen|Benutzer...|Info|&Beenden|' ] || fail "tray menu entries: $entries"
ok "tray menu: $entries"
# A click beside the menu dismisses it: TrackPopupMenu picks nothing.
click_at 200 200
wait_for '! lines menu >/dev/null' "the dismissed menu to close"

# --- the users dialog from the tray menu; a user typed in and saved
menu_pick 32774
wait_for '[ -n "$(window_with 1023)" ]' "the users dialog"
users=$(window_with 1023)
click_control "$users" 1023
wait_for '[ -n "$(window_with 1031)" ]' "the user edit dialog"
edit=$(window_with 1031)
[ "$(enabled "$edit" 1)" = 0 ] || fail "OK enabled in an empty user edit dialog"
# Its help opens through xdg-open.
click_control "$edit" 1104
wait_for 'grep -q "CHM" "$tmp/xdg-open.log" 2>/dev/null' "xdg-open with the help file"
ok "help: xdg-open $(cat "$tmp/xdg-open.log")"
for field in "1031 anna" "1030 Anna Berg" "1016 pw-anna"; do
  id=${field%% *}
  text=${field#* }
  click_control "$edit" "$id"
  xdotool type --delay 15 "$text"
done
wait_for '[ "$(enabled "$edit" 1)" = 1 ]' "OK to be enabled"
lines control | awk -v w="$edit" '$4 == w && $5 == 1031 { exit $12 != "anna" }' || fail "login not shown back"
click_control "$edit" 1
wait_for '[ -z "$(window_with 1031)" ]' "the edit dialog to close"
list=$(lines control | awk -v w="$users" '$4 == w && $5 == 1000 { print $3 }')
wait_for 'lines item | grep -q "^item [0-9]* $list row 0 "' "the new user in the list"
ok "user anna added in the drawn dialog"

# Its mailbox; the box that reports it is answered by a click.
set -- $(lines item | awk -v l="$list" '$3 == l && $5 == 0 { print $7 + 10, int($8 + $10 / 2) }')
click_at "$1" "$2"
wait_for 'lines item | awk -v l="$list" '"'"'$3 == l && $5 == 0 && $6 == 1 { f = 1 } END { exit !f }'"'" "the row selected"
click_control "$users" 1027
wait_for 'lines box | awk '"'"'$4 == 1 { f = 1 } END { exit !f }'"'" "the mailbox box"
box=$(lines box | awk '{ print $3; exit }')
lines box | grep -q 'anna' || fail "the box does not name the mailbox: $(lines box)"
wait_for 'grep -q "^note screenshot.*box-" "$state"' "the box's screenshot"
set -- $(lines boxbutton | awk -v b="$box" '$3 == b && $4 == 1 { print int($5 + $7 / 2), int($6 + $8 / 2) }')
click_at "$1" "$2"
wait_for '! lines box >/dev/null' "the box to go"
ok "mailbox box answered by a click"
click_control "$users" 1
wait_for '[ -z "$(window_with 1023)" ]' "the users dialog to close"

# --- a remote logon with the new user
"$bin/zelping" 127.0.0.1 anna pw-anna mailbox_anna "Mailbox - Anna Berg" >"$tmp/ping.log" 2>&1 || fail "logon as anna: $(cat "$tmp/ping.log")"
grep -q 'Logon as "anna"' "$tmp/ping.log" || fail "zelping: $(cat "$tmp/ping.log")"
ok "remote logon as anna"

# --- the About box
menu_pick 32775
wait_for '[ -n "$(window_with 1002)" ]' "the About box"
about=$(window_with 1002)
wait_for 'grep -q "^note screenshot.*Info" "$state"' "the About box's screenshot"
click_control "$about" 1
wait_for '[ -z "$(window_with 1002)" ]' "the About box to close"

# --- the end of the session
session_end() {
  before=$(grep -c '^note endsession' "$state")
  kill -USR1 "$front"
  wait_for 'lines box | awk '"'"'$4 == 1 { f = 1 } END { exit !f }'"'" "the shutdown question"
  box=$(lines box | awk '{ print $3; exit }')
  lines box | grep -q 'Personen' || fail "shutdown question: $(lines box)"
  wait_for 'grep -q "^note screenshot.*box-ZelServer" "$state"' "the question's screenshot"
  set -- $(lines boxbutton | awk -v b="$box" -v id="$1" '$3 == b && $4 == id { print int($5 + $7 / 2), int($6 + $8 / 2) }')
  click_at "$1" "$2"
  wait_for '[ "$(grep -c "^note endsession" "$state")" -gt "$before" ]' "the end-of-session answer"
}
# The server window lists the session the logon left (until it idles out).
userlist=$(lines control | awk '$5 == 1055 { print $3; exit }')
wait_for 'lines item | grep -q "^item [0-9]* $userlist row 0 "' "the session in the server window"
session_end 7
grep '^note endsession' "$state" | tail -1 | grep -q refused || fail "No did not keep the session"
kill -0 "$server" || fail "the server ended after No"
ok "end of session refused with No"
session_end 6
grep '^note endsession' "$state" | tail -1 | grep -q agreed || fail "the session end was not agreed"
wait_for '! kill -0 "$server" 2>/dev/null' "the server to end with the session"
wait "$server"
[ $? -eq 0 ] || fail "server exit status"
ok "end of session agreed; the server ended"

# --- screenshots
n=$(grep -c '^note screenshot' "$state")
[ "$n" -ge 8 ] || fail "only $n screenshots"
grep '^note screenshot' "$state" | sed 's/^note screenshot\\s//' | while read -r f; do
  [ -s "$f" ] || fail "screenshot $f missing"
done
ok "screenshots: $(ls "$shots" | tr '\n' ' ')"
exit $failed
