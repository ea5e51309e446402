#!/bin/sh
# Sets up, builds and starts the lobby server with its operator console on port 6667.
# Without a display the same console runs headless and logs to standard output.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
sh scripts/deps.sh
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF
cmake --build build-run -j"$(nproc)" --target quarn-lobby-server
mkdir -p run
cp build-run/console/quarn-lobby-server run/
cd run
exec ./quarn-lobby-server
