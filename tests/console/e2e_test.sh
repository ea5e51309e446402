#!/bin/bash
# End to end: the built program copied alone into an empty folder runs headless (no
# display), serves a player on port 6667, files a report in that folder's report.txt,
# and ends on SIGTERM after telling its users.
# Usage: e2e_test.sh path/to/quarn-lobby-server
set -u
binary=$1
dir=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    exec 3>&- 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- program output:"; cat "$dir/out.txt" 2>/dev/null; exit 1; }

if (exec 9<>/dev/tcp/127.0.0.1/6667) 2>/dev/null; then
    fail "port 6667 is already in use"
fi

cp "$binary" "$dir/quarn-lobby-server"
# Started from another folder: its files must land beside the executable.
(cd / && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$dir/quarn-lobby-server" >"$dir/out.txt" 2>"$dir/err.txt") &
pid=$!

for _ in $(seq 1 100); do
    if exec 3<>/dev/tcp/127.0.0.1/6667; then break; fi 2>/dev/null
    kill -0 "$pid" 2>/dev/null || fail "the program ended at start"
    sleep 0.1
done
[ -e /dev/fd/3 ] || fail "no listener on port 6667"

# Reads lines until one equals $1 (CR stripped); fails after 5 s without it.
expect_line() {
    local line
    while IFS= read -r -t 5 line <&3; do
        line=${line%$'\r'}
        [ "$line" = "$1" ] && return 0
    done
    fail "did not receive: $1"
}

printf 'USER player host server :Player\r\nNICK player\r\n' >&3
expect_line "Users online [1]:"
expect_line ":localhost 372 player : - Welcome to Marrik's IRC chat server for Quarn"
expect_line ":localhost 376 player :End of /MOTD command."
printf 'JOIN #Report_Problems\r\n' >&3
expect_line "Report problems, question, bugs...."
printf 'PRIVMSG #Report_Problems :the lobby list is empty\r\n' >&3
expect_line "***Message loggged by server: the lobby list is empty"
grep -q " player: the lobby list is empty"$'\r'"\$" "$dir/report.txt" || fail "report.txt lacks the report"

kill -TERM "$pid"
expect_line "***Server stopped....."
for _ in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "still running 15 s after SIGTERM"
wait "$pid"
status=$?
pid=""
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q ": Lobby #Report_Problems created$" "$dir/out.txt" || fail "log not printed to stdout"
grep -q ": User player@127.0.0.1 entered chat$" "$dir/out.txt" || fail "entry not logged"
echo "PASS"
