#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build, test and run the server, and the
# packages named as arguments (the packaging tools, which only some callers need).
set -eu
PKGS="g++ make cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev \
librsvg2-bin xvfb xauth clang-14 libclang-rt-14-dev libssl-dev libcrypt-dev $*"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
