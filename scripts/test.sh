#!/bin/sh
# Sets up, builds and runs every test: the full build with warnings as errors; the Debian
# package made from that build and checked; every test but the end-to-end run of the
# program (the frame, the chat core, the console, its model and the remote administration)
# under AddressSanitizer+UBSan and ThreadSanitizer; the fuzz targets for a bounded time;
# and a smoke run of the benchmark harness.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${JOBS:-$(nproc)}
sh scripts/deps.sh dpkg-dev lintian

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"

echo "== build and test (all targets, warnings are errors)"
# Line tables only: enough for a failing test's stack, and the build is much quicker.
cmake -S . -B build -DQUARN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS" -LE serial
ctest --test-dir build --output-on-failure -L serial

# Waits for a stage run in the background: the end of its log when it passed, all of it
# and the end of this run when it failed.
finish() {
    if wait "$1"; then
        tail -n 3 "$2"
    else
        cat "$2"
        echo "== $3 FAILED" >&2
        exit 1
    fi
}

# The package stage (lintian, the service unit, the packaged program serving a player) is
# mostly single-threaded: it runs beside the address sanitizer tree's build.
echo "== Debian package of that build: lintian, the service unit, the packaged program"
rm -f build/quarn-lobby-server_*.deb
(sh scripts/package.sh build &&
    bash tests/packaging/package_test.sh build/quarn-lobby-server_*.deb) >build/package.log 2>&1 &
package=$!

# The sanitizer trees build the tests only (no program, no benchmarks), with line tables
# for the reports' stacks but no full debug information, which costs build time. The Qt
# tests add ignore_noninstrumented_modules=1 to TSAN_OPTIONS themselves (tests/console).
# The AddressSanitizer tree's tests run while the ThreadSanitizer tree builds: the tests
# wait on sockets and timers much of the time, and the build uses what they leave of the
# cores; they run one at a time there. Neither run includes the timing cases (label serial).
sanitizer_tree() {
    cmake -S . -B "build-$1" -DQUARN_WERROR=ON -DQUARN_BENCH=OFF \
        -DQUARN_SANITIZE="$1" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
    cmake --build "build-$1" -j"$JOBS"
}
sanitizer_tests() {
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
        ctest --test-dir "build-$1" --output-on-failure -j"$2" -LE "serial|long"
}
echo "== the tests under the address sanitizer (build)"
sanitizer_tree address
finish "$package" build/package.log "the Debian package"
echo "== the tests under the address sanitizer (run, beside the thread sanitizer's build)"
sanitizer_tests address 1 >build-address/ctest.log 2>&1 &
address_tests=$!
echo "== the tests under the thread sanitizer (build)"
sanitizer_tree thread
finish "$address_tests" build-address/ctest.log "the tests under the address sanitizer"
echo "== the tests under the thread sanitizer (run)"
sanitizer_tests thread "$JOBS"

# The fuzz targets build and run on one core; the benchmark harness's smoke run, which
# asserts no timing, takes the other.
echo "== benchmark harness smoke run (no timing asserted), beside the fuzz targets"
sh bench/compare.sh --smoke >build/bench-smoke.log 2>&1 &
smoke=$!
echo "== fuzz targets (bounded)"
FUZZ_SECONDS=${FUZZ_SECONDS:-10} sh tests/fuzz/run_fuzzers.sh
finish "$smoke" build/bench-smoke.log "the benchmark harness smoke run"
echo "== all tests passed"
