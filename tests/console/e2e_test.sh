#!/bin/bash
# End to end: the built program copied alone into an empty folder runs headless (no
# display), serves a player on port 6667, files a report in that folder's report.txt,
# and ends on SIGTERM after telling its users.
# Usage: e2e_test.sh path/to/quarn-lobby-server
set -u
binary=$1
. "$(dirname "$0")/../support/e2e_kit.sh"

if (exec 9<>/dev/tcp/127.0.0.1/6667) 2>/dev/null; then
    fail "port 6667 is already in use"
fi

start_program
wait_port 6667
open_client 3

printf 'USER player host server :Player\r\nNICK player\r\n' >&3
expect_line 3 "Users online [1]:"
expect_line 3 ":localhost 372 player : - Welcome to Marrik's IRC chat server for Quarn"
expect_line 3 ":localhost 376 player :End of /MOTD command."
printf 'JOIN #Report_Problems\r\n' >&3
expect_line 3 "Report problems, question, bugs...."
printf 'PRIVMSG #Report_Problems :the lobby list is empty\r\n' >&3
expect_line 3 "***Message loggged by server: the lobby list is empty"
grep -q " player: the lobby list is empty"$'\r'"\$" "$dir/report.txt" || fail "report.txt lacks the report"

kill -TERM "$pid"
expect_line 3 "***Server stopped....."
stop_program
grep -q ": Lobby #Report_Problems created$" "$dir/out.txt" || fail "log not printed to stdout"
grep -q ": User player@127.0.0.1 entered chat$" "$dir/out.txt" || fail "entry not logged"
echo "PASS"
