#!/bin/sh
# Builds the five libFuzzer targets with clang++-14 (ASan + libFuzzer, the needed project
# sources compiled into each) and runs each for a bounded time on a scratch copy of its
# seed corpus. Fails when a target does not build or finds a crash.
#   FUZZ_SECONDS  seconds per target (default 20)
#   FUZZ_OUT      build and scratch folder (default build-fuzz in the repository)
#   FUZZ_TARGETS  targets to run (default: framing dispatch ini tabpercentages adminjson)
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SECONDS_EACH=${FUZZ_SECONDS:-20}
OUT=${FUZZ_OUT:-$ROOT/build-fuzz}
TARGETS=${FUZZ_TARGETS:-"framing dispatch ini tabpercentages adminjson"}
CXX=${FUZZ_CXX:-clang++-14}
FLAGS="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -pthread -I$ROOT -I$ROOT/tests"
mkdir -p "$OUT"

NET="net/NetException.cpp net/NetSocketLayer.cpp net/NetComponent.cpp net/NetSocketHandle.cpp net/NetAddressGroup.cpp net/NetTCPConnection.cpp
     net/NetOutputQueue.cpp net/NetFlusher.cpp net/NetFanOut.cpp net/NetBroadcast.cpp net/NetThread.cpp net/NetPeerThread.cpp net/NetThreadMgr.cpp
     net/NetListenerThread.cpp net/NetTCPServer.cpp net/NetThreadList.cpp"
CHAT="chat/NetIrcServer.cpp chat/CommandTable.cpp chat/Lobbies.cpp chat/Registration.cpp
      chat/Relay.cpp"

sources() {
    case "$1" in
        framing) echo "$NET" ;;
        dispatch) echo "$NET $CHAT tests/support/TestClient.cpp tests/support/TestServer.cpp" ;;
        ini) echo "console/IniFile.cpp console/SafeFile.cpp" ;;
        tabpercentages) echo "widgets/TabStops.cpp" ;;
        adminjson) echo "console/AdminJson.cpp" ;;
        *) echo "unknown fuzz target $1" >&2; exit 2 ;;
    esac
}
corpus() {
    case "$1" in
        tabpercentages) echo tabs ;;
        *) echo "$1" ;;
    esac
}

status=0
for target in $TARGETS; do
    src="$ROOT/tests/fuzz/fuzz_$target.cpp"
    if [ ! -f "$src" ]; then
        echo "== fuzz_$target: missing $src" >&2
        status=1
        continue
    fi
    files=""
    for f in $(sources "$target"); do files="$files $ROOT/$f"; done
    # The admin endpoint's JSON is Qt Core's reader; Qt wants position-independent code.
    extra=""
    [ "$target" = adminjson ] && extra="-fPIC $(pkg-config --cflags --libs Qt6Core)"
    echo "== fuzz_$target: build"
    libs=""
    # The test kit's server reports through GoogleTest.
    if [ "$target" = dispatch ]; then libs="-lgtest"; fi
    # shellcheck disable=SC2086
    $CXX $FLAGS -o "$OUT/fuzz_$target" "$src" $files $libs $extra
    seeds="$ROOT/tests/fuzz/corpus/$(corpus "$target")"
    scratch="$OUT/corpus-$target"
    rm -rf "$scratch"
    mkdir -p "$scratch" "$OUT/artifacts"
    [ -d "$seeds" ] && cp "$seeds"/* "$scratch"/ 2>/dev/null || true
    echo "== fuzz_$target: run ${SECONDS_EACH}s"
    if ! ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}" "$OUT/fuzz_$target" \
        -max_total_time="$SECONDS_EACH" -max_len=20000 -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$OUT/artifacts/fuzz_$target-" "$scratch" >"$OUT/fuzz_$target.log" 2>&1; then
        echo "== fuzz_$target: FAILED (log: $OUT/fuzz_$target.log)" >&2
        tail -40 "$OUT/fuzz_$target.log" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$OUT/fuzz_$target.log" |
            sed "s/^/   fuzz_$target /"
    fi
done
exit $status
