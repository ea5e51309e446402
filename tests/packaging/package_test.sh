#!/bin/bash
# The Debian package as an operator gets it: lintian finds no error and no warning, the
# dependencies were computed, the program sits in /opt/quarn-lobby-server with its link in
# /usr/bin, the service unit passes systemd-analyze (where systemd is installed) with a low
# exposure, the command-line client quarn-admin and the remote console quarn-console are
# in /usr/bin with their manual pages (and the console's desktop entry and icon) and
# run, and the packaged program, extracted into a scratch folder, serves a player and
# stops on SIGTERM like the built one (e2e_test.sh).
# Usage: package_test.sh path/to/quarn-lobby-server_VERSION_amd64.deb
set -u
deb=$1
tests=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Also checks the manual page, the desktop entry, the icons' sizes, the maintainer
# scripts and that the program is stripped.
lintian --fail-on error,warning "$deb" || fail "lintian"
dpkg-deb -f "$deb" Depends | grep -q "libqt6widgets6" || fail "dependencies not computed"

root=$dir/root
dpkg-deb -x "$deb" "$root" || fail "cannot extract $deb"
program=$root/opt/quarn-lobby-server/quarn-lobby-server
[ -x "$program" ] || fail "no program in /opt/quarn-lobby-server"
[ "$(readlink "$root/usr/bin/quarn-lobby-server")" = /opt/quarn-lobby-server/quarn-lobby-server ] ||
    fail "/usr/bin/quarn-lobby-server is not a link to the program"

[ -x "$root/usr/bin/quarn-admin" ] || fail "no quarn-admin in /usr/bin"
[ -f "$root/usr/share/man/man1/quarn-admin.1.gz" ] || fail "no manual page quarn-admin(1)"
[ -f "$root/usr/share/doc/quarn-lobby-server/admin-protocol.md.gz" ] || fail "no admin-protocol.md"
"$root/usr/bin/quarn-admin" --help | grep -q "quarn-admin passwd NAME" || fail "quarn-admin --help"
[ -x "$root/usr/bin/quarn-console" ] || fail "no quarn-console in /usr/bin"
[ -f "$root/usr/share/man/man1/quarn-console.1.gz" ] || fail "no manual page quarn-console(1)"
grep -q "^Exec=quarn-console$" "$root/usr/share/applications/quarn-console.desktop" ||
    fail "no desktop entry for quarn-console"
[ -f "$root/usr/share/icons/hicolor/48x48/apps/quarn-console.png" ] || fail "no quarn-console icon"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/quarn-console" --help | grep -q -- "--fingerprint" ||
    fail "quarn-console --help"

if command -v systemd-analyze >/dev/null; then
    # The unit names the installed paths; here they point into the extracted tree, so that
    # the check finds the program, and the manual page through MANPATH.
    unit=$dir/unit/quarn-lobby-server.service
    mkdir "$dir/unit"
    sed "s#/opt/quarn-lobby-server#$root/opt/quarn-lobby-server#g" \
        "$root/lib/systemd/system/quarn-lobby-server.service" >"$unit"
    # It exits 0 on settings that it ignores, so any message fails.
    verdict=$(MANPATH=$root/usr/share/man systemd-analyze verify "$unit" 2>&1) &&
        [ -z "$verdict" ] || fail "systemd-analyze verify: $verdict"
    # 20 is an exposure of 2.0, "OK" in systemd's words.
    systemd-analyze security --offline=true --threshold=20 "$unit" >/dev/null ||
        fail "the unit's exposure is above 2.0: systemd-analyze security --offline=true $unit"
else
    echo "SKIP: no systemd-analyze to check the unit with"
fi

bash "$tests/console/e2e_test.sh" "$program" || fail "the packaged program"
