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
cmake -S . -B build -DQUARN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS" -LE serial
ctest --test-dir build --output-on-failure -L serial

echo "== Debian package of that build: lintian, the service unit, the packaged program"
rm -f build/quarn-lobby-server_*.deb
sh scripts/package.sh build
bash tests/packaging/package_test.sh build/quarn-lobby-server_*.deb

# The sanitizer trees build the tests only (no program, no benchmarks), with line tables
# for the reports' stacks but no full debug information, which costs build time. The Qt
# tests add ignore_noninstrumented_modules=1 to TSAN_OPTIONS themselves (tests/console).
for san in address thread; do
    echo "== the tests under the $san sanitizer"
    cmake -S . -B "build-$san" -DQUARN_WERROR=ON -DQUARN_BENCH=OFF \
        -DQUARN_SANITIZE=$san -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
    cmake --build "build-$san" -j"$JOBS"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
        ctest --test-dir "build-$san" --output-on-failure -j"$JOBS" -LE "serial|long"
done

if [ -x tests/fuzz/run_fuzzers.sh ]; then
    echo "== fuzz targets (bounded)"
    FUZZ_SECONDS=${FUZZ_SECONDS:-20} sh tests/fuzz/run_fuzzers.sh
fi

if [ -x bench/compare.sh ]; then
    echo "== benchmark harness smoke run (no timing asserted)"
    sh bench/compare.sh --smoke
fi
echo "== all tests passed"
