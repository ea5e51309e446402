#!/bin/sh
# Builds the Debian package quarn-lobby-server_VERSION_amd64.deb: the program with its
# command-line client quarn-admin, the remote console quarn-console, service unit, desktop
# entries, icons and manual pages.
# Without an argument it makes a Release build of the programs alone in build-pkg/, with
# Debian's hardening flags, and leaves the package there; given a build folder that is
# already configured, it packages that tree's programs instead of building others (CI
# packages the tree it has just tested).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
sh scripts/deps.sh dpkg-dev
BUILD=${1:-build-pkg}
if [ $# -eq 0 ]; then
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
fi
cmake --build "$BUILD" -j"${JOBS:-$(nproc)}" --target quarn-lobby-server quarn-admin \
    quarn-console quarn_console_icons quarn_packaging_files
(cd "$BUILD" && cpack -G DEB)
