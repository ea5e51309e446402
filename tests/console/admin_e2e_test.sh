#!/bin/bash
# End to end with quarn-admin against the program run headless: accounts made with passwd,
# every command once against real player connections (the kick reaches the player with
# its text), the certificate refused until pinned or trusted and refused again once it
# changes, a viewer refused a command, a plain-text connection closed, wrong passwords
# refused and then locked out, and the metrics scraped before and after some chat.
# Usage: admin_e2e_test.sh path/to/quarn-lobby-server path/to/quarn-admin
set -u
binary=$1
admin=$2
. "$(dirname "$0")/../support/e2e_kit.sh"

AdminPort=16668
MetricsPort=19667
for port in 6667 $AdminPort $MetricsPort; do
    if (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "port $port is already in use"; fi
done

# quarn-admin keeps the certificates it accepted under the user's config folder.
export XDG_CONFIG_HOME=$dir/config
known=$XDG_CONFIG_HOME/quarn/known_servers
unset QUARN_ADMIN_PASSWORD
# Runs quarn-admin as the operator alice; its output is in $dir/admin.out and .err.
qa() {
    QUARN_ADMIN_PASSWORD=${password:-alice-secret} \
        "$admin" --server "127.0.0.1:$AdminPort" --user "${user:-alice}" "$@" \
        >"$dir/admin.out" 2>"$dir/admin.err" </dev/null
}
ok() { qa "$@" || fail "quarn-admin $*: $(cat "$dir/admin.err")"; }
# The command fails with one line on standard error that contains $1.
refused() {
    local expected=$1
    shift
    qa "$@" && fail "quarn-admin $* succeeded"
    [ "$(wc -l <"$dir/admin.err")" -eq 1 ] || fail "quarn-admin $*: not one line: $(cat "$dir/admin.err")"
    grep -q -- "$expected" "$dir/admin.err" || fail "quarn-admin $*: $(cat "$dir/admin.err")"
}
metric() { http_get $MetricsPort /metrics | grep "^$1 " | cut -d' ' -f2; }

# Accounts, made before the first start: the password from standard input.
cp "$binary" "$dir/quarn-lobby-server"
printf 'alice-secret\n' | "$admin" passwd alice --dir "$dir" >/dev/null || fail "passwd alice"
printf 'victor-secret\n' | "$admin" passwd victor --role viewer --dir "$dir" >/dev/null ||
    fail "passwd victor"
[ "$(stat -c %a "$dir/operators.ini")" = 640 ] || fail "operators.ini is not mode 0640"
grep -q "alice-secret" "$dir/operators.ini" && fail "operators.ini holds a password in clear"
printf '[Admin]\nListen=127.0.0.1:%s\nMetrics=127.0.0.1:%s\n' $AdminPort $MetricsPort \
    >"$dir/kelbox.ini"

start_program
wait_port 6667
wait_port $AdminPort
wait_port $MetricsPort
fingerprint=$(grep -o "certificate SHA-256 [0-9A-F:]*" "$dir/out.txt" | tail -1 | cut -d' ' -f3)
[ ${#fingerprint} -eq 95 ] || fail "no certificate fingerprint logged"

# A plain-text client gets nothing and is closed.
exec 4<>"/dev/tcp/127.0.0.1/$AdminPort"
printf '{"id":1,"cmd":"status"}\n' >&4
reply=$(timeout 5 cat <&4) || fail "a plain-text connection stayed open"
[ -z "$reply" ] || fail "a plain-text connection was answered: $reply"
exec 4>&-

relayed_before=$(metric quarn_lines_relayed_total)
open_client 3
printf 'USER p h s :P\r\nNICK player\r\n' >&3
expect_line 3 ":localhost 376 player :End of /MOTD command."
open_client 4
printf 'USER b h s :B\r\nNICK bob\r\nJOIN #Report_Problems\r\nPRIVMSG #Report_Problems :no sound\r\n' >&4
printf 'PRIVMSG player :hello player\r\n' >&4
expect_line 3 ":bob!user@127.0.0.1 PRIVMSG player :hello player"

# The certificate: refused while unknown, accepted when pinned, then remembered (0600).
refused "not known" status
refused "does not match" --fingerprint "$(printf '%s' "$fingerprint" | tr 0-9A-F 1-9A-F0)" status
ok --fingerprint "$(printf '%s' "$fingerprint" | tr -d : | tr A-F a-f)" status
grep -q "^running: yes$" "$dir/admin.out" || fail "status: $(cat "$dir/admin.out")"
[ "$(stat -c %a "$known")" = 600 ] || fail "known_servers is not mode 0600"

ok users
grep -q "^player	127.0.0.1	" "$dir/admin.out" || fail "users: $(cat "$dir/admin.out")"
# A nick that is not UTF-8 travels as its bytes both ways.
nick=$'b\xf6b'
open_client 6
printf 'USER x h s :X\r\nNICK %s\r\n' "$nick" >&6
expect_line 6 ":localhost 376 $nick :End of /MOTD command."
ok users
grep -q "^$nick	127.0.0.1	" "$dir/admin.out" || fail "users: no $nick"
ok kick "$nick"
expect_line 6 "***Kicked by server !"
ok add-lobby Games "Play here"
ok lobbies
grep -q "^#Games	0	Play here$" "$dir/admin.out" || fail "lobbies: $(cat "$dir/admin.out")"
ok members "#Report_Problems"
[ "$(cat "$dir/admin.out")" = bob ] || fail "members: $(cat "$dir/admin.out")"
ok save
grep -q "^#Games=Play here" "$dir/kelbox.ini" || fail "save: kelbox.ini lacks #Games"
ok remove-lobby "#Games"
ok reports
grep -q " bob: no sound" "$dir/admin.out" || fail "reports: $(cat "$dir/admin.out")"
ok say "hello all"
expect_line 3 "***System message from server: hello all"
ok message player "just you"
expect_line 3 "***Private message from server: just you"
refused "no such user" message nobody "hi"
ok log
grep -q ": User player@127.0.0.1 entered chat$" "$dir/admin.out" || fail "log: $(cat "$dir/admin.out")"

# log --follow prints new lines until interrupted, then exits 0.
QUARN_ADMIN_PASSWORD=alice-secret "$admin" --server "127.0.0.1:$AdminPort" --user alice \
    log --follow >"$dir/follow.out" 2>&1 </dev/null &
follower=$!
for _ in $(seq 1 50); do grep -q "entered chat" "$dir/follow.out" && break; sleep 0.1; done

user=victor password=victor-secret refused "not allowed" kick player
user=victor password=victor-secret ok users

ok kick player
expect_line 3 "***Kicked by server !"
for _ in $(seq 1 50); do grep -q "User player@127.0.0.1 quit" "$dir/follow.out" && break; sleep 0.1; done
grep -q "User player@127.0.0.1 quit" "$dir/follow.out" || fail "log --follow: $(cat "$dir/follow.out")"
kill -INT $follower
wait $follower || fail "log --follow did not end with status 0"

relayed_after=$(metric quarn_lines_relayed_total)
[ "$relayed_after" -gt "$relayed_before" ] || fail "metrics: lines relayed $relayed_before -> $relayed_after"
[ "$(metric 'quarn_connections_closed_total{reason="operator"}')" -ge 1 ] || fail "metrics: the kick is not counted"
[ "$(metric quarn_admin_logins_total)" -ge 10 ] || fail "metrics: admin logins not counted"
http_get $MetricsPort /other | head -1 | grep -q "^HTTP/1.1 404" || fail "metrics: /other is not 404"

ok stop
expect_line 4 "***Server stopped....."

# Wrong passwords: refused, and the third locks the address out, right password or not.
for _ in 1 2 3; do password=wrong refused "refused" status; done
refused "refused" status
[ "$(metric quarn_admin_login_failures_total)" -ge 4 ] || fail "metrics: login failures not counted"

# A new certificate (the old one deleted, as after a reinstall) is refused like ssh does.
stop_program
rm -f "$dir"/admin-*.pem
start_program
wait_port $AdminPort
refused "CHANGED" users
stop_program
echo "PASS"
