#!/bin/sh
# Compares the Quarn lobby server (the console program, headless) with InspIRCd on
# loopback, using the project's own load generator (quarn-loadgen) set up like ordinary
# chat clients, and writes BENCHMARKS.md and bench/fanout.png.
#
#   bash bench/compare.sh            full comparison (about 10 minutes after the build;
#                                    root, for apt-get and, when another program holds
#                                    port 6667, a network namespace of its own)
#   bash bench/compare.sh --smoke    small sizes, this server only, no peers, no goals
#   bash bench/compare.sh --players-only
#                                    only the players-per-machine section (this server,
#                                    both relays, and the join storm): about an hour at the
#                                    full sizes; updates its part of BENCHMARKS.md
#
# Options: --runs N (default 2), --servers "quarn inspircd" (ngircd may be added),
# --no-write (do not touch BENCHMARKS.md), --keep (keep the temporary folder),
# --no-players (leave the players-per-machine section out).
# Players per machine: N players in lobbies of 25, one line each every BENCH_PLAYERS_T
# seconds (30) at random phases, one in ten to a player of another lobby, for
# BENCH_PLAYERS_S seconds (120) of chat after all have joined; for each N of
# BENCH_PLAYERS_N ("1000 2000 4000 6000 8000 10000 13000 16000 19000") and both relays
# (the specified one, and routed chat). Once a relay is over its ceiling (p99 over
# BENCH_PLAYERS_GIVEUP_MS, 5000, or lines lost) its larger sizes are skipped. The join
# storm: BENCH_STORM_N (19000) players, each joining its lobby right after registering.
# Setting up the players is such a storm too (19,000 take about two minutes here), so
# these runs allow BENCH_PLAYERS_TIMEOUT (600) seconds for it instead of BENCH_REG_TIMEOUT.
# Environment, for development: BENCH_BURSTS ("N:S:M ..."), BENCH_PACED ("N:S:M:R ...",
# R = lines per second per sender), BENCH_REGS, BENCH_IDLE_N, BENCH_IDLE_HOLD,
# BENCH_HOLD_N, BENCH_HOLD_S, BENCH_REG_TIMEOUT change the sizes; BENCH_GEN_ARGS adds
# options to every generator run; QUARN_INFLIGHT (registrations in flight for Quarn);
# QUARN_SERVER=/path/to/binary (a quarn-lobby-server or quarn-core-server to use instead of
# the one built here), QUARN_BENCH_BUILD (build folder, default build-bench).
#
# Quarn runs with its flood control off, as InspIRCd runs with its flood penalties off.
#
# Every measurement starts its server afresh, alone, and stops it by process id; within a
# run the servers take turns scenario by scenario, in the opposite order in the next run,
# so that drifting load elsewhere on the machine falls on both. Server CPU and memory come
# from the server's CPU clock and /proc/PID/status, read by the generator at the edges of
# each measured window; the server's CPU share (cores) and the generator's are printed
# beside every figure. Every figure is the median of the runs.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
ARGS=("$@")
SMOKE=0
RUNS=2
SERVERS="quarn inspircd"
WRITE=1
KEEP=0
PLAYERS=1
PLAYERS_ONLY=0
while [ $# -gt 0 ]; do
    case "$1" in
        --smoke) SMOKE=1 ;;
        --no-players) PLAYERS=0 ;;
        --players-only) PLAYERS_ONLY=1 ;;
        --runs) RUNS=$2; shift ;;
        --servers) SERVERS=$2; shift ;;
        --no-write) WRITE=0 ;;
        --keep) KEEP=1 ;;
        *) echo "usage: $0 [--smoke] [--runs N] [--servers LIST] [--no-write] [--keep] [--no-players] [--players-only]" >&2; exit 2 ;;
    esac
    shift
done
if [ "$SMOKE" = 1 ]; then SERVERS="quarn"; RUNS=1; WRITE=0; fi
if [ "$PLAYERS_ONLY" = 1 ]; then SERVERS="quarn"; PLAYERS=1; fi

WORK=$(mktemp -d /tmp/quarn-bench.XXXXXX)
SPID=""
cleanup() {
    if [ -n "$SPID" ] && kill -0 "$SPID" 2>/dev/null; then
        kill -TERM "$SPID" 2>/dev/null || true
        sleep 1
        kill -KILL "$SPID" 2>/dev/null || true
    fi
    if [ "$KEEP" = 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { echo "compare: $*" >&2; }
has() { case " $SERVERS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
STARTED=$(date +%s)
# Servers and the generator each need an open file per connection: take the hard limit.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------------------------------
# Build the generator, the console program and the core runner (the sweep figure and the
# fallback when port 6667 is taken).
BUILD=${QUARN_BENCH_BUILD:-}
if [ -z "$BUILD" ]; then
    if [ "$SMOKE" = 1 ] && [ -x "$ROOT/build/bench/quarn-loadgen" ] &&
        [ -x "$ROOT/build/bench/quarn-core-server" ]; then
        BUILD="$ROOT/build"  # CI has just built everything there
    else
        BUILD="$ROOT/build-bench"
    fi
fi
if [ -z "${QUARN_BENCH_NETNS:-}" ] &&
    { [ "$BUILD" = "$ROOT/build-bench" ] || [ ! -x "$BUILD/bench/quarn-loadgen" ]; }; then
    log "building quarn-loadgen, quarn-lobby-server and quarn-core-server in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DQUARN_CONSOLE=ON -DQUARN_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=Release >"$WORK/cmake.log" 2>&1 ||
        { cat "$WORK/cmake.log" >&2; exit 1; }
    cmake --build "$BUILD" -j2 --target quarn-loadgen quarn-core-server >"$WORK/build.log" 2>&1 ||
        { tail -40 "$WORK/build.log" >&2; exit 1; }
    cmake --build "$BUILD" -j2 --target quarn-lobby-server >>"$WORK/build.log" 2>&1 ||
        log "the console program did not build (see $WORK/build.log); using the core runner"
fi
LOADGEN="$BUILD/bench/quarn-loadgen"
CORE="$BUILD/bench/quarn-core-server"

OURS="${QUARN_SERVER:-}"
[ -n "$OURS" ] || { [ -x "$BUILD/console/quarn-lobby-server" ] && OURS="$BUILD/console/quarn-lobby-server"; } || true
port_free() { ! ss -Hltn "sport = :$1" 2>/dev/null | grep -q LISTEN; }
# The console listens on 6667 only. When another program holds it, root carries on in a
# network namespace of its own (its own loopback, so no one else's traffic either), once
# the peers are installed; otherwise the core runner stands in.
console_port_taken() {
    [ -n "$OURS" ] && [ "$(basename "$OURS")" = quarn-lobby-server ] && ! port_free 6667
}
can_unshare() {
    [ "$(id -u)" = 0 ] && [ -z "${QUARN_BENCH_NETNS:-}" ] && command -v unshare >/dev/null &&
        command -v ip >/dev/null
}
if console_port_taken && ! can_unshare; then
    log "port 6667 is taken: using the core runner instead of $OURS (the goals ask for the console)"
    OURS=""
fi
[ -n "$OURS" ] || OURS=$CORE
OURS_KIND=$(basename "$OURS")
log "this server: $OURS"

# The lobby server admits this many connections per source address (the console keeps
# the core's default); every generator run spreads its clients so as to stay within it.
PER_ADDR_LIMIT=$(sed -n 's/.*int MaxConnectionsPerAddress = \([0-9][0-9]*\);.*/\1/p' \
    "$ROOT/chat/NetIrcServer.h" 2>/dev/null | head -1)
PER_ADDR_LIMIT=${PER_ADDR_LIMIT:-32}

# ---------------------------------------------------------------------------------------
# Peers: install if missing, write their configurations into the temporary folder.
need_pkgs() {
    local missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    [ "$(id -u)" = 0 ] || { log "need root to install:$missing"; exit 1; }
    log "installing$missing"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
        >"$WORK/apt.log" 2>&1 ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
              --no-install-recommends $missing >>"$WORK/apt.log" 2>&1; }
    # A package may start its own service; ours are started by hand on other ports.
    if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        systemctl stop inspircd ngircd 2>/dev/null || true
    fi
}
if [ "$SMOKE" = 0 ]; then
    pk=""
    has inspircd && pk="$pk inspircd"
    has ngircd && pk="$pk ngircd"
    [ "$WRITE" = 1 ] && pk="$pk gnuplot-nox"
    need_pkgs $pk
fi

if console_port_taken; then
    log "port 6667 is taken: carrying on in a private network namespace"
    rm -rf "$WORK"
    trap - EXIT
    exec unshare --net env QUARN_BENCH_NETNS=1 QUARN_BENCH_BUILD="$BUILD" QUARN_SERVER="$OURS" \
        bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" ${ARGS[@]+"${ARGS[@]}"}
fi

INSP_PORT=16667
NG_PORT=16668
CORE_PORT=16669

# InspIRCd as its published example configuration sets it up (the "main" connect class
# and <performance> of inspircd.conf.example, which Debian ships), except:
# - clone limits off: localmax, globalmax and the class limit 0, no clone check on connect;
# - flood penalties off: threshold and commandrate at their largest, no fake lag, and its
#   three throttles of a busy sender lifted. With recvq 10K a sender whose socket holds
#   more than one read is quit ("RecvQ exceeded"); with netbuffersize 10240 it reads one
#   10 KiB chunk per client per pass and leaves the rest for its once-a-second timer;
#   with softsendq 10240 it stops reading a client whose own output waits (a sender that
#   also receives). Measured here with those three: 94 k delivered lines/s in burst
#   200/1/2000 instead of about 1.9 M, and 500/4/500 stalled. So recvq and softsendq are
#   raised to hardsendq (1M, kept) and netbuffersize to its largest accepted value;
# - no reverse DNS (no resolver on loopback; Quarn looks nothing up either);
# - the listen backlog at the kernel's largest, as Quarn's: with 128, 2,000 simultaneous
#   connects lose about half their SYNs and retry a second later;
# - softlimit (the most connections it takes) raised if a size here needs more.
write_inspircd_conf() {
    local softlimit=12800 n
    for n in $IDLE_N $REGS; do [ "$n" -lt "$softlimit" ] || softlimit=$((n + 100)); done
    cat >"$WORK/inspircd.conf" <<EOF
<server name="bench.inspircd" description="bench" network="bench">
<admin name="bench" nick="bench" email="bench@localhost">
<bind address="127.0.0.1" port="$INSP_PORT" type="clients">
<connect name="main" allow="*" maxchans="20" timeout="20" pingfreq="2m"
  hardsendq="1M" softsendq="1M" recvq="1M" useident="no"
  localmax="0" globalmax="0" limit="0" maxconnwarn="off"
  threshold="4000000" commandrate="4294967295" fakelag="no" resolvehostnames="no">
<performance netbuffersize="65534" somaxconn="4096" softlimit="$softlimit"
  clonesonconnect="no" timeskipwarn="2s" quietbursts="yes">
<execfiles motd="echo Welcome to the benchmark.">
<options defaultmodes="nt">
<dns timeout="1">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="$WORK/inspircd.log">
EOF
}
write_ngircd_conf() {
    cat >"$WORK/ngircd.conf" <<EOF
[Global]
Name = bench.ngircd
Info = bench
AdminInfo1 = bench
AdminInfo2 = bench
AdminEMail = bench@localhost
Listen = 127.0.0.1
Ports = $NG_PORT
MotdPhrase = Welcome to the benchmark.
PidFile = $WORK/ngircd.pid
[Limits]
MaxConnections = 0
MaxConnectionsIP = 0
MaxJoins = 0
MaxListSize = 0
MaxNickLength = 30
MaxPenaltyTime = 0
PingTimeout = 86400
PongTimeout = 86400
[Options]
DNS = no
Ident = no
PAM = no
RequireAuthPing = no
EOF
}

# ---------------------------------------------------------------------------------------
# Starting and stopping one server at a time.
# start_server NAME [CORE-RUNNER-ARGS] sets SPID, SPORT, SMODE, SINFLIGHT, SLOG.
wait_listen() {
    local port=$1 i
    for i in $(seq 1 100); do
        port_free "$port" || return 0
        kill -0 "$SPID" 2>/dev/null || { log "server died at start:"; tail -20 "$SLOG" >&2; return 1; }
        sleep 0.1
    done
    log "server not listening on $port"; tail -20 "$SLOG" >&2; return 1
}
cpu_ticks() { awk '{ s = $0; sub(/^.*\) /, "", s); split(s, f, " "); print f[12] + f[13] }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# Waits until the server uses under 2 % of a core over half a second (at most 60 s).
wait_idle() {
    local i a b
    for i in $(seq 1 120); do
        a=$(cpu_ticks "$SPID"); sleep 0.5; b=$(cpu_ticks "$SPID")
        [ $((b - a)) -le 1 ] && return 0
    done
    log "server still busy after 60 s"
}
start_server() {
    local name=$1 extra=${2:-}
    SLOG="$WORK/$name.out"
    case "$name" in
        inspircd)
            write_inspircd_conf
            inspircd --config="$WORK/inspircd.conf" --nofork --nopid --runasroot >"$SLOG" 2>&1 &
            SPID=$!; SPORT=$INSP_PORT; SMODE=nick-first; SINFLIGHT=2000 ;;
        ngircd)
            write_ngircd_conf
            ngircd --nodaemon --passive --config "$WORK/ngircd.conf" >"$SLOG" 2>&1 &
            SPID=$!; SPORT=$NG_PORT; SMODE=nick-first; SINFLIGHT=10 ;;
        quarn)
            SMODE=user-first; SINFLIGHT=${QUARN_INFLIGHT:-256}
            if [ "$OURS_KIND" = quarn-lobby-server ]; then
                # Its own folder: the console keeps its settings, report and logs beside
                # the program. No display: it runs headless on Qt's offscreen platform.
                rm -rf "$WORK/lobby"; mkdir -p "$WORK/lobby"
                cp "$OURS" "$WORK/lobby/"
                # Flood control off: a burst is thousands of commands at once per sender.
                printf '[Options]\r\nFloodRate=0\r\nFloodBurst=0\r\n' >"$WORK/lobby/kelbox.ini"
                [ "$RELAY" = routed ] && printf 'RouteChat=1\r\n' >>"$WORK/lobby/kelbox.ini"
                (cd "$WORK/lobby" && exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
                    ./quarn-lobby-server) >"$SLOG" 2>&1 &
                SPID=$!; SPORT=6667
            else
                [ "$RELAY" = routed ] && extra="$extra --route-chat"
                "$OURS" "$CORE_PORT" --flood-rate 0 --flood-burst 0 $extra >"$SLOG" 2>&1 &
                SPID=$!; SPORT=$CORE_PORT
            fi ;;
    esac
    wait_listen "$SPORT" || return 1
    sleep 0.3
    wait_idle
}
stop_server() {
    [ -n "$SPID" ] || return 0
    kill -TERM "$SPID" 2>/dev/null || true
    local i
    for i in $(seq 1 600); do  # a server holding 19,000 connections takes a while
        kill -0 "$SPID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$SPID" 2>/dev/null || true
    wait "$SPID" 2>/dev/null || true
    SPID=""
    # Let the closed connections leave TIME_WAIT behind before the next server starts.
    sleep 1
}

# ---------------------------------------------------------------------------------------
# Running scenarios and collecting results.
RELAY=full  # the relay of this server's next start: full (as specified) or routed
RESULTS="$WORK/results.txt"
: >"$RESULTS"
FAILED=0
# run_gen SERVER CELL ARGS...: one generator run against the running server; its result
# line is stored under CELL.
run_gen() {
    local server=$1 cell=$2; shift 2
    local line
    # shellcheck disable=SC2086 # BENCH_GEN_ARGS is a list of options
    line=$("$LOADGEN" --port "$SPORT" --mode "$SMODE" --inflight "$SINFLIGHT" \
        --server-pid "$SPID" --max-per-addr "$PER_ADDR_LIMIT" "$@" ${BENCH_GEN_ARGS:-} \
        2>>"$WORK/loadgen.err" | grep '^result ' | tail -1) || true
    [ -n "$line" ] || line="result ok=0 error=\"no result (see loadgen.err)\""
    echo "$server $cell $line" >>"$RESULTS"
    log "$server $cell: $(echo "$line" | cut -c8-300)"
    case "$line" in *" ok=1 "*) return 0 ;; *) FAILED=$((FAILED + 1)); return 1 ;; esac
}
# measure SERVER CELL ARGS...: one generator run against a freshly started server.
measure() {
    local server=$1 cell=$2
    if start_server "$server"; then
        run_gen "$@" || true
    else
        echo "$server $cell result ok=0 error=\"server did not start\"" >>"$RESULTS"
        FAILED=$((FAILED + 1))
    fi
    stop_server
}
# value SERVER CELL KEY: median of KEY over the runs of CELL (empty if none).
value() {
    awk -v s="$1" -v c="$2" -v k="$3" '
        $1 == s && $2 == c { for (i = 3; i <= NF; i++) { n = index($i, "=");
            if (n && substr($i, 1, n - 1) == k) print substr($i, n + 1) + 0 } }' "$RESULTS" |
        sort -g | awk '{ v[NR] = $1 } END { if (!NR) exit;
            if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# okruns SERVER CELL: number of runs with ok=1.
okruns() { awk -v s="$1" -v c="$2" '$1 == s && $2 == c && / ok=1 /' "$RESULTS" | wc -l; }
num() { awk -v v="$1" -v f="$2" 'BEGIN { printf f, v }'; }
fmt() { # fmt VALUE KIND
    [ -n "$1" ] || { echo "n/a"; return; }
    case "$2" in
        rate) awk -v v="$1" 'BEGIN { if (v >= 1e6) printf "%.2f M", v / 1e6; else if (v >= 1e4) printf "%.0f k", v / 1e3; else printf "%.0f", v }' ;;
        us) num "$1" "%.3f µs" ;;
        ms) awk -v v="$1" 'BEGIN { printf "%.2f ms", v / 1000 }' ;;
        msv) num "$1" "%.1f ms" ;;
        s) num "$1" "%.2f s" ;;
        kib) awk -v v="$1" 'BEGIN { printf "%.1f KiB", v / 1024 }' ;;
        pct) awk -v v="$1" 'BEGIN { printf "%.2f %% of a core", v * 100 }' ;;
        *) echo "$1" ;;
    esac
}

if [ "$SMOKE" = 1 ]; then
    BURSTS="50:2:50"
    PACED="50:2:50:100"
    REGS="100"
    IDLE_N=200; IDLE_HOLD=2
    HOLD_N=300; HOLD_S=2
else
    BURSTS="200:1:2000 500:4:500 1000:1:200"
    PACED="200:1:500:250 1000:1:100:50"
    REGS="2000"
    IDLE_N=10000; IDLE_HOLD=20
    HOLD_N=19000; HOLD_S=35  # the console sweeps every 30 s: one sweep falls in the hold
fi
REG_TIMEOUT=${BENCH_REG_TIMEOUT:-150}
BURSTS=${BENCH_BURSTS:-$BURSTS}
PACED=${BENCH_PACED:-$PACED}
REGS=${BENCH_REGS:-$REGS}
IDLE_N=${BENCH_IDLE_N:-$IDLE_N}
IDLE_HOLD=${BENCH_IDLE_HOLD:-$IDLE_HOLD}
HOLD_N=${BENCH_HOLD_N:-$HOLD_N}
HOLD_S=${BENCH_HOLD_S:-$HOLD_S}
if [ "$(ulimit -n)" -lt $((HOLD_N + 64)) ]; then
    log "open-file limit $(ulimit -n) is too small for the $HOLD_N-connection hold"
fi

# run_all ORDER: every scenario once, the servers of ORDER taking turns.
run_all() {
    local order=$1 server size n s m r
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        for server in $order; do
            measure "$server" "burst-$n-$s-$m" --scenario burst --clients "$n" --senders "$s" \
                --lines "$m" --timeout 120
        done
    done
    for size in $PACED; do
        IFS=: read -r n s m r <<<"$size"
        for server in $order; do
            measure "$server" "paced-$n-$s-$m-$r" --scenario paced --clients "$n" --senders "$s" \
                --lines "$m" --sender-rate "$r" --timeout 120
        done
    done
    for n in $REGS; do
        for server in $order; do
            measure "$server" "register-$n" --scenario register --no-join --clients "$n" \
                --timeout "$REG_TIMEOUT"
        done
    done
    for server in $order; do
        measure "$server" "idle-$IDLE_N" --scenario register --no-join --clients "$IDLE_N" \
            --hold "$IDLE_HOLD" --timeout "$REG_TIMEOUT"
    done
    if has quarn; then
        measure quarn "hold-$HOLD_N" --scenario register --no-join --clients "$HOLD_N" \
            --hold "$HOLD_S" --probe --timeout "$REG_TIMEOUT"
    fi
}
REVERSED=$(echo "$SERVERS" | tr ' ' '\n' | grep . | tac | tr '\n' ' ')
[ "$PLAYERS_ONLY" = 1 ] && RUNS=0
for run in $(seq 1 "$RUNS"); do
    if [ $((run % 2)) = 1 ]; then order=$SERVERS; else order=$REVERSED; fi
    log "== run $run of $RUNS: $order"
    run_all "$order"
done

# The console keeps its sweep figure to itself: measure the sweep once on the core runner
# with the idle connections and a short sweep period.
SWEEP_LOG=""
if [ "$SMOKE" = 0 ] && [ "$PLAYERS_ONLY" = 0 ] && has quarn; then
    log "== sweep with $IDLE_N idle connections on the core runner"
    SAVED_OURS=$OURS; SAVED_KIND=$OURS_KIND; OURS=$CORE; OURS_KIND=quarn-core-server
    start_server quarn "--sweep-ms 5000"
    run_gen quarn-core sweep --scenario register --no-join --clients "$IDLE_N" --hold 12 \
        --timeout "$REG_TIMEOUT" || true
    kill -USR1 "$SPID" 2>/dev/null || true; sleep 0.3
    cp "$SLOG" "$WORK/sweep.log"; SWEEP_LOG="$WORK/sweep.log"
    stop_server
    OURS=$SAVED_OURS; OURS_KIND=$SAVED_KIND
fi
# The idle figure is the longest of the last two periodic sweeps, both of which fall in the
# idle hold; the storm figure is the longest of all, the registration storm included.
SWEEP_MS=""; SWEEP_STORM_MS=""
if [ -n "$SWEEP_LOG" ]; then
    sweep_max() { # sweep_max [LAST]: the longest of the last LAST sweeps, or of all
        awk -F'sweep_lock_us=' 'NF > 1 { split($2, a, " "); print a[1] / 1000 }' "$SWEEP_LOG" |
            tail -n "${1:-+1}" | awk '{ if ($1 > m) m = $1 } END { if (NR) printf "%.3f", m }'
    }
    SWEEP_MS=$(sweep_max 3)  # the last line repeats the last sweep on request
    SWEEP_STORM_MS=$(sweep_max)
fi
# ---------------------------------------------------------------------------------------
# Players per machine: players who chat the way players do, for each N and both relays,
# and the join storm. Written to $WORK/players.md (and bench/players.png).
if [ "$SMOKE" = 1 ]; then
    PLAYERS_N="100"; PLAYERS_S=3; PLAYERS_T=1; STORM_N=100
else
    PLAYERS_N="1000 2000 4000 6000 8000 10000 13000 16000 19000"; PLAYERS_S=120; PLAYERS_T=30
    STORM_N=19000
fi
PLAYERS_N=${BENCH_PLAYERS_N:-$PLAYERS_N}
PLAYERS_S=${BENCH_PLAYERS_S:-$PLAYERS_S}
PLAYERS_T=${BENCH_PLAYERS_T:-$PLAYERS_T}
PLAYERS_GIVEUP_MS=${BENCH_PLAYERS_GIVEUP_MS:-5000}
STORM_N=${BENCH_STORM_N:-$STORM_N}
PLAYERS_TIMEOUT=${BENCH_PLAYERS_TIMEOUT:-600}
PLAYERS_MD="$WORK/players.md"
if [ "$PLAYERS" = 1 ] && has quarn; then
    for RELAY in full routed; do
        over=""
        for n in $PLAYERS_N; do
            c="players-$RELAY-$n"
            if [ -n "$over" ]; then
                echo "quarn $c result ok=0 skipped=1" >>"$RESULTS"
                continue
            fi
            routed=""; [ "$RELAY" = routed ] && routed=--routed
            log "== players $n, $RELAY relay"
            measure quarn "$c" --scenario players --clients "$n" --lobby-size 25 \
                --duration "$PLAYERS_S" --interval "$PLAYERS_T" --dm-share 0.1 --line-bytes 70 \
                --stall 10 --timeout "$PLAYERS_TIMEOUT" $routed
            p99=$(value quarn "$c" p99_us)
            if [ "$(okruns quarn "$c")" = 0 ] ||
                awk -v p="${p99:-0}" -v g="$PLAYERS_GIVEUP_MS" 'BEGIN { exit !(p > g * 1000) }'; then
                over=$n
            fi
        done
    done
    RELAY=full
    log "== join storm: $STORM_N players, each joining its lobby after registering"
    measure quarn "storm-$STORM_N" --scenario register --clients "$STORM_N" --lobby-size 25 \
        --timeout "$PLAYERS_TIMEOUT"

    # ceiling RELAY: the largest N with p99 < 100 ms and the server under 1.5 cores, all
    # lines delivered.
    ceiling() {
        local n best=""
        for n in $PLAYERS_N; do
            local c="players-$1-$n" p u
            p=$(value quarn "$c" p99_us); u=$(value quarn "$c" server_cpu)
            [ -n "$p" ] && [ "$(okruns quarn "$c")" -gt 0 ] || continue
            awk -v p="$p" -v u="${u:-9}" 'BEGIN { exit !(p < 100000 && u < 1.5) }' && best=$n
        done
        echo "${best:-none}"
    }
    CEIL_FULL=$(ceiling full); CEIL_ROUTED=$(ceiling routed)
    {
        echo "## Players per machine"
        echo
        echo "$OURS_KIND on loopback, started afresh for every size; one run per figure; the"
        echo "machine's $(nproc) cores shared with the generator$([ "$SMOKE" = 1 ] && echo ' (smoke sizes)')."
        echo
        echo "- N players in lobbies of 25 (player i in lobby #L(i / 25)), each joining its lobby"
        echo "  right after registering; then, after the join lines have drained, $PLAYERS_S s of chat:"
        echo "  every player says one line every $PLAYERS_T s at a random phase of its own, one line in"
        echo "  ten a private message to a random player of another lobby; every delivered line is"
        echo "  70 bytes, prefix and CR LF included, and carries its send time."
        echo "- Relays: \"specified\" sends every line to every other connection; \"routed\""
        echo "  (RouteChat=1) sends a lobby line to the lobby's other members and a private line to"
        echo "  its nick. Delivered lines/s and egress (bytes read by all players) per second of the"
        echo "  chat window and its drain; latency from send to delivery over every delivered line;"
        echo "  memory: resident growth since start-up per connection; server CPU over the window;"
        echo "  \"complete\": every due line arrived within 10 s of the last send."
        echo
        echo "| players | relay | delivered lines/s | egress | per player | p50 | p99 | max | server CPU | memory per connection | generator CPU | complete |"
        echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
        for RELAY in full routed; do
            t=specified; [ "$RELAY" = routed ] && t=routed
            for n in $PLAYERS_N; do
                c="players-$RELAY-$n"
                if grep -q "^quarn $c .*skipped=1" "$RESULTS"; then
                    echo "| $n | $t | skipped: over the ceiling at a smaller size |||||||||| "
                    continue
                fi
                lps=$(value quarn "$c" lines_per_s); [ -n "$lps" ] || { echo "| $n | $t | n/a |||||||||| "; continue; }
                eg=$(value quarn "$c" egress_bps); pp=$(value quarn "$c" egress_per_player_bps)
                ok="yes"; [ "$(okruns quarn "$c")" -gt 0 ] ||
                    ok="no ($(value quarn "$c" delivered) of $(value quarn "$c" expected))"
                echo "| $n | $t | $(fmt "$lps" rate) | $(awk -v v="$eg" 'BEGIN { printf "%.2f MB/s", v / 1e6 }') |" \
                    "$(awk -v v="$pp" 'BEGIN { printf "%.1f KB/s", v / 1e3 }') | $(fmt "$(value quarn "$c" p50_us)" ms) |" \
                    "$(fmt "$(value quarn "$c" p99_us)" ms) | $(fmt "$(value quarn "$c" max_us)" ms) |" \
                    "$(num "$(value quarn "$c" server_cpu)" %.2f) cores | $(fmt "$(value quarn "$c" rss_per_conn_b)" kib) |" \
                    "$(num "$(value quarn "$c" gen_cpu)" %.2f) cores | $ok |"
            done
        done
        echo
        echo "Largest N with p99 < 100 ms and the server under 1.5 cores: specified relay"
        echo "**$CEIL_FULL**, routed chat **$CEIL_ROUTED** (of the sizes measured)."
        echo
        c="storm-$STORM_N"
        echo "Join storm: $STORM_N players, each joining its lobby of 25 right after registering"
        echo "($((STORM_N * STORM_N / 1000000)) M JOIN lines, each to every registered user): all joined"
        echo "$(fmt "$(value quarn "$c" join_after_reg_s)" s) after the last registration, $(fmt "$(value quarn "$c" joined_s)" s)"
        echo "after the first connect (server $(num "$(value quarn "$c" server_cpu)" %.2f) cores, generator $(num "$(value quarn "$c" gen_cpu)" %.2f))$([ "$(okruns quarn "$c")" -gt 0 ] || echo '; incomplete')."
        echo
        # The goals of this section, each pass, fail or not measured.
        goal() { # goal TEXT AWK-CONDITION VALUES...
            local text=$1 cond=$2; shift 2
            local v
            for v in "$@"; do [ -n "$v" ] || { echo "- not measured: $text"; return; }; done
            v=$(awk -v a="${1:-0}" -v b="${2:-0}" "BEGIN { print ($cond) ? \"pass\" : \"fail\" }")
            echo "- $v: $text"
        }
        last=${PLAYERS_N##* }
        echo
        echo "Goals of this section (on this machine):"
        echo
        goal "specified relay's ceiling (p99 < 100 ms, server < 1.5 cores) at 8,000 players or more" \
            "a >= 8000" "$(echo "$CEIL_FULL" | grep -x '[0-9]*')"
        goal "routed chat at $last players: p99 < 20 ms and the server under 0.2 cores" \
            "a < 20000 && b < 0.2" "$(value quarn "players-routed-$last" p99_us)" \
            "$(value quarn "players-routed-$last" server_cpu)"
        goal "join storm of $STORM_N: all joined within 30 s of the last registration (registrations wait for the same lock as the joins: read it with the time from the first connect above)" \
            "a <= 30" "$( [ "$(okruns quarn "storm-$STORM_N")" -gt 0 ] && value quarn "storm-$STORM_N" join_after_reg_s)"
        echo
        echo "![p99 latency and egress against players](bench/players.png)"
    } >"$PLAYERS_MD"
    if [ "$WRITE" = 1 ] && command -v gnuplot >/dev/null; then
        PDAT="$WORK/players.dat"
        for n in $PLAYERS_N; do
            line="$n"
            for RELAY in full routed; do
                p=$(value quarn "players-$RELAY-$n" p99_us); e=$(value quarn "players-$RELAY-$n" egress_bps)
                line="$line $(awk -v v="${p:-}" 'BEGIN { if (v == "") print "NaN"; else print v / 1000 }')"
                line="$line $(awk -v v="${e:-}" 'BEGIN { if (v == "") print "NaN"; else print v / 1e6 }')"
            done
            echo "$line"
        done >"$PDAT"
        gnuplot <<EOF || log "gnuplot failed"
set terminal pngcairo size 900,540 noenhanced
set output "$ROOT/bench/players.png"
set title "Players per machine: lobbies of 25, one line per player every $PLAYERS_T s, $PLAYERS_S s of chat"
set xlabel "players"
set ylabel "p99 latency (ms)"
set y2label "egress (MB/s)"
set logscale y
set logscale y2
set ytics nomirror
set y2tics
set key top left
set grid
set arrow from graph 0, first 100 to graph 1, first 100 nohead dt 2
plot "$PDAT" using 1:2 with linespoints lw 2 pt 7 title "p99, specified relay", \
     "" using 1:4 with linespoints lw 2 pt 5 title "p99, routed chat", \
     "" using 1:3 axes x1y2 with linespoints dt 3 pt 6 title "egress, specified relay", \
     "" using 1:5 axes x1y2 with linespoints dt 3 pt 4 title "egress, routed chat"
EOF
    fi
    echo; cat "$PLAYERS_MD"
    if [ "$PLAYERS_ONLY" = 1 ]; then
        if [ "$WRITE" = 1 ]; then
            # Its own section of BENCHMARKS.md is replaced (or added before Reproduce).
            awk -v f="$PLAYERS_MD" '
                function put() { while ((getline l < f) > 0) print l; print ""; done = 1 }
                /^## Players per machine$/ { put(); skip = 1; next }
                skip && /^## / { skip = 0 }
                !done && /^## Reproduce/ { put() }
                !skip { print }
                END { if (!done) { print ""; put() } }' "$ROOT/BENCHMARKS.md" >"$WORK/bench.md"
            cp "$WORK/bench.md" "$ROOT/BENCHMARKS.md"
            grep '^quarn \(players\|storm\)' "$RESULTS" >"$ROOT/bench/players-results.txt" || true
            log "wrote the players section of BENCHMARKS.md, bench/players.png and bench/players-results.txt"
        fi
        exit 0
    fi
fi
ELAPSED=$(( $(date +%s) - STARTED ))

# ---------------------------------------------------------------------------------------
# The table: one column per server, the ratio to InspIRCd, the goal and whether it is met.
TABLE="$WORK/table.md"
GOALS="$WORK/goals.txt"
: >"$GOALS"
COLS=""
for c in quarn inspircd ngircd; do has "$c" && COLS="$COLS $c"; done
title() { case "$1" in quarn) echo Quarn ;; inspircd) echo InspIRCd ;; ngircd) echo ngIRCd ;; esac; }
# cpu_note SERVER CELL SERVERKEY GENKEY: "(server X cores, gen Y)" beside a figure.
cpu_note() {
    local sv gv t=""
    [ "$3" = - ] || sv=$(value "$1" "$2" "$3")
    gv=$(value "$1" "$2" "$4")
    [ -n "${sv:-}" ] && t="server $(num "$sv" %.2f) cores"
    [ -n "$gv" ] && t="${t:+$t, }gen $(num "$gv" %.2f)"
    [ -n "$t" ] && echo " ($t)"
}
# cell SERVER CELL KEY KIND CPUKEYS: the median figure, "(incomplete)" when no run finished,
# and the CPU shares named by CPUKEYS ("SERVERKEY:GENKEY", "-:GENKEY" or "none").
cell() {
    local v t
    v=$(value "$1" "$2" "$3")
    [ -n "$v" ] || { echo "n/a"; return; }
    t=$(fmt "$v" "$4")
    [ "$(okruns "$1" "$2")" -gt 0 ] || t="$t (incomplete)"
    [ "$5" = none ] || t="$t$(cpu_note "$1" "$2" "${5%%:*}" "${5##*:}")"
    echo "$t"
}
ratio() { # ratio OURS PEER
    [ -n "$1" ] && [ -n "$2" ] || { echo "—"; return; }
    awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "—"; else printf "%.2f×", a / b }'
}
# verdict NAME EXPR A B: pass or fail of the awk condition EXPR on a and b, recorded.
verdict() {
    local v
    if [ -z "$3" ] || { [[ "$2" == *b* ]] && [ -z "$4" ]; }; then
        v="not measured"
    else
        v=$(awk -v a="$3" -v b="${4:-0}" "BEGIN { print ($2) ? \"pass\" : \"fail\" }")
    fi
    echo "$v: $1" >>"$GOALS"
    echo "$v"
}
# row SCENARIO FIGURE CELL KEY KIND CPUKEYS GOALTEXT VERDICT
row() {
    local line="| $1 | $2 |" c
    for c in $COLS; do line="$line $(cell "$c" "$3" "$4" "$5" "$6") |"; done
    has inspircd && has quarn && line="$line $(ratio "$(value quarn "$3" "$4")" "$(value inspircd "$3" "$4")") |"
    echo "$line ${7:-} | ${8:-} |"
}
{
    head="| Scenario | Figure |"; rule="|---|---|"
    for c in $COLS; do head="$head $(title "$c") |"; rule="$rule---|"; done
    has inspircd && has quarn && { head="$head Quarn / InspIRCd |"; rule="$rule---|"; }
    echo "$head Goal | Met |"; echo "$rule---|---|"
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        c="burst-$n-$s-$m"; q=$(value quarn "$c" lines_per_s); i=$(value inspircd "$c" lines_per_s)
        qc=$(value quarn "$c" server_cpu)
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "burst $n/$s/$m: ≥ 1.5× InspIRCd with > 1.5 cores" \
            "a >= 1.5 * b && $(awk -v x="${qc:-0}" 'BEGIN { print (x > 1.5) ? 1 : 0 }')" "$q" "$i")
        row "burst $n/$s/$m" "delivered lines/s" "$c" lines_per_s rate server_cpu:gen_cpu \
            "≥ 1.5× InspIRCd, server > 1.5 cores" "$v"
        row "burst $n/$s/$m" "server CPU per delivered line" "$c" server_us_per_line us none
    done
    for size in $PACED; do
        IFS=: read -r n s m r <<<"$size"
        c="paced-$n-$s-$m-$r"; q=$(value quarn "$c" p99_us); i=$(value inspircd "$c" p99_us)
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "paced $n/$s/$m at $r/s: p99 ≤ InspIRCd" "a <= b" "$q" "$i")
        label="paced $n/$s/$m, $r lines/s per sender"
        row "$label" "p50 latency" "$c" p50_us ms none
        row "$label" "p99 latency" "$c" p99_us ms server_cpu:gen_cpu "≤ InspIRCd" "$v"
        row "$label" "max latency" "$c" max_us ms none
    done
    for n in $REGS; do
        c="register-$n"; q=$(value quarn "$c" conn_per_s); i=$(value inspircd "$c" conn_per_s)
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "register $n: ≥ 2× InspIRCd" "a >= 2 * b" "$q" "$i")
        row "register $n" "registrations/s" "$c" conn_per_s rate server_cpu:gen_cpu "≥ 2× InspIRCd" "$v"
    done
    c="idle-$IDLE_N"; q=$(value quarn "$c" rss_per_conn_b)
    v=""; [ "$SMOKE" = 1 ] || v=$(verdict "idle $IDLE_N: ≤ 12 KiB per connection" "a <= 12288" "$q")
    row "idle $IDLE_N" "registrations/s" "$c" conn_per_s rate server_cpu:gen_cpu
    row "idle $IDLE_N" "resident memory per connection" "$c" rss_per_conn_b kib none "≤ 12 KiB" "$v"
    row "idle $IDLE_N" "server CPU while idle" "$c" idle_cpu pct -:gen_idle_cpu
    if has quarn; then
        c="hold-$HOLD_N"
        held=$(value quarn "$c" held); ok=$(okruns quarn "$c")
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "hold $HOLD_N: all held" "a >= $HOLD_N && b > 0" "$held" "$ok")
        row "hold $HOLD_N" "connections registered and held" "$c" held "" none "$HOLD_N" "$v"
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "hold $HOLD_N: idle CPU < 1 % of a core" "a < 0.01" "$(value quarn "$c" idle_cpu)")
        row "hold $HOLD_N" "server CPU while idle" "$c" idle_cpu pct -:gen_idle_cpu "< 1 % of a core" "$v"
        q=$(value quarn "$c" probe_welcome_ms); pok=$(value quarn "$c" probe_ok)
        v=""; [ "$SMOKE" = 1 ] || v=$(verdict "hold $HOLD_N: new player welcomed < 1 s" "a < 1000 && b > 0" "$q" "$pok")
        row "hold $HOLD_N" "one new player's welcome" "$c" probe_welcome_ms msv none "< 1 s" "$v"
        row "hold $HOLD_N" "resident memory per connection" "$c" rss_per_conn_b kib none
        row "hold $HOLD_N" "registrations/s" "$c" conn_per_s rate server_cpu:gen_cpu
    fi
    if [ -n "$SWEEP_LOG" ]; then
        v=$(verdict "idle $IDLE_N: longest sweep lock hold ≤ 5 ms" "a <= 5" "$SWEEP_MS")
        blanks=""; for c in $COLS; do [ "$c" = quarn ] || blanks="$blanks — |"; done
        has inspircd && blanks="$blanks — |"
        echo "| idle $IDLE_N, core runner | longest sweep lock hold | ${SWEEP_MS:-n/a}${SWEEP_MS:+ ms} |$blanks ≤ 5 ms | $v |"
        echo "| register $IDLE_N, core runner | longest sweep lock hold during the storm | ${SWEEP_STORM_MS:-n/a}${SWEEP_STORM_MS:+ ms} |$blanks | |"
    fi
} >"$TABLE"

# The generator's settings, as the results report them.
# setting KEY DEFAULT: KEY of the first result that has it.
setting() {
    local v
    v=$(grep -o " $1=[0-9]*" "$RESULTS" | head -1 | cut -d= -f2)
    echo "${v:-$2}"
}
addrs_used() { # the source addresses of each size, as "N clients A, ..."
    local cell n a sep=""
    for cell in $(awk '{ print $2 }' "$RESULTS" | awk '!seen[$0]++'); do
        n=$(value quarn "$cell" clients); a=$(value quarn "$cell" addrs)
        [ -n "$n" ] && [ -n "$a" ] && echo "$n $a"
    done | sort -n -u | while read -r n a; do echo -n "$sep$n clients $a"; sep=", "; done
}
SETTINGS="$WORK/settings.md"
{
    echo "- Load generator: \`quarn-loadgen\`, one process with one epoll thread, on the same"
    echo "  $(nproc) cores as the server. A sender hands the socket at most $(setting lines_per_write 64) lines per"
    echo "  send; every client reads with receives of $(( $(setting recv_size 65536) / 1024 )) KiB, one per readiness."
    echo "- Burst N/S/M: N clients in one channel; S of them send M lines each, batch after batch"
    echo "  as fast as their sockets take them, each batch stamped when it is sent; delivered lines"
    echo "  per second counted at the receivers, from the first send to the last delivery."
    echo "- Paced N/S/M, R lines/s per sender: each sender sends R lines a second, each send"
    echo "  carrying the lines that are due (one, unless the generator fell behind); latency from"
    echo "  the send stamp to delivery, over every delivered line."
    echo "- Registration, idle and hold clients register (NICK and USER at connect; USER first for"
    echo "  Quarn) and join no channel. In flight at once: Quarn ${QUARN_INFLIGHT:-256}, InspIRCd 2000 (its"
    echo "  registrations complete on a once-a-second timer). Registrations/s: from the first"
    echo "  connect to the last end of welcome."
    echo "- Idle $IDLE_N: after registering, the clients stay silent for $IDLE_HOLD s: resident memory"
    echo "  growth per connection since start-up, and the server's CPU over that time."
    echo "- Hold $HOLD_N: Quarn ($OURS_KIND) with $HOLD_N clients registered and silent for"
    echo "  $HOLD_S s (the console sweeps every 30 s), then one more player connects from an address"
    echo "  of its own: the time from its connect to the end of its welcome (376)."
    echo "- Source addresses: clients round robin over 127.1.x.y, one address per 25 clients (at"
    echo "  least 8, at most 80), more where needed to stay within the lobby server's limit of"
    echo "  $PER_ADDR_LIMIT connections per address: $(addrs_used)."
    echo "- Server CPU: the server process's CPU clock (all threads) read at the edges of each"
    echo "  measured window; \"server X cores\" is its CPU seconds per wall second, \"gen Y\" the"
    echo "  same for the generator."
    echo "- Quarn: flood control off (FloodRate=0 and FloodBurst=0 in kelbox.ini's [Options];"
    echo "  --flood-rate 0 --flood-burst 0 for the core runner), as InspIRCd's flood penalties are"
    echo "  below: the bursts send thousands of commands at once per sender, far past the default"
    echo "  allowance of 50 at once and 2 a second."
    if has inspircd; then
        echo "- InspIRCd: the \"main\" connect class and <performance> of its published example"
        echo "  configuration (hardsendq 1M, pingfreq 2m, timeout 20, maxchans 20), except clone"
        echo "  limits off (localmax, globalmax, limit 0, no clone check on connect) and flood"
        echo "  penalties off: threshold 4000000, commandrate 4294967295, fakelag no, and its"
        echo "  throttles of a busy sender lifted (recvq and softsendq 1M instead of 10K and 10240,"
        echo "  netbuffersize 65534 instead of 10240: with those a sender is quit for \"RecvQ"
        echo "  exceeded\", or read 10 KiB a second). No reverse DNS, and the listen backlog at the"
        echo "  kernel's largest, as Quarn's (128 drops connects of the 2,000-client registration)."
    fi
} >"$SETTINGS"

echo
echo "Quarn: $OURS_KIND; runs per figure: $RUNS (median); $((ELAPSED / 60)) min $((ELAPSED % 60)) s"
cat "$SETTINGS"
echo
cat "$TABLE"
echo
if [ -s "$GOALS" ]; then
    echo "Goals: $(grep -c '^pass' "$GOALS") of $(wc -l <"$GOALS") met"
    sed 's/^/  /' "$GOALS"
fi

# ---------------------------------------------------------------------------------------
# Plot and BENCHMARKS.md.
if [ "$WRITE" = 1 ]; then
    DAT="$WORK/fanout.dat"
    : >"$DAT"
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        line="$n \"$n/$s/$m\""
        for c in $COLS; do
            v=$(value "$c" "burst-$n-$s-$m" lines_per_s); u=$(value "$c" "burst-$n-$s-$m" server_cpu)
            line="$line ${v:-NaN} ${u:-NaN}"
        done
        echo "$line" >>"$DAT"
    done
    if command -v gnuplot >/dev/null; then
        # One line per server, each point labelled with the cores the server used.
        plot="" col=3
        for c in $COLS; do
            case "$c" in
                quarn) t="Quarn ($OURS_KIND)" ;;
                inspircd) t="InspIRCd $(dpkg-query -W -f='${Version}' inspircd 2>/dev/null | cut -d- -f1)" ;;
                ngircd) t="ngIRCd $(dpkg-query -W -f='${Version}' ngircd 2>/dev/null | cut -d- -f1)" ;;
            esac
            if [ -z "$plot" ]; then plot="\"$DAT\" using 1:$col:xtic(2)"; else plot="$plot, \"\" using 1:$col"; fi
            plot="$plot with linespoints lw 2 pt $((col + 4)) title \"$t\""
            plot="$plot, \"\" using 1:$col:(sprintf(\"%.2f cores\", \$$((col + 1)))) with labels offset 5,0.8 notitle"
            col=$((col + 2))
        done
        gnuplot <<EOF || log "gnuplot failed"
set terminal pngcairo size 900,540 noenhanced
set output "$ROOT/bench/fanout.png"
set title "Fan-out bursts on loopback: delivered lines/s and the server's cores (medians of $RUNS)\n$(setting lines_per_write 64) lines per send, $(( $(setting recv_size 65536) / 1024 )) KiB receives"
set xlabel "clients in the channel (label: clients/senders/lines per sender)"
set ylabel "delivered lines per second"
set format y "%.1s %c"
set key top right
set grid
set xrange [0:1200]
set yrange [0:*]
plot $plot
EOF
    fi
    {
        echo "# Benchmarks"
        echo
        echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bench/compare.sh\` (run time $((ELAPSED / 60)) min) on"
        echo "$(lscpu | awk -F: '/^Model name/ { gsub(/^ +/, "", $2); print $2 }'), $(nproc) cores, $(free -g | awk '/^Mem/ { print $2 }') GiB,"
        echo "\`$(uname -srmo)\`; the machine was shared with other work, so expect noise."
        echo
        echo "Servers, each alone on loopback, started afresh for every measurement and taking turns"
        echo "scenario by scenario; figures are medians over $RUNS run(s):"
        echo
        echo "- Quarn: $OURS_KIND, release build, thread per connection."
        has inspircd && echo "- InspIRCd $(dpkg-query -W -f='${Version}' inspircd 2>/dev/null || echo '?') (Debian package, single-threaded event loop)."
        has ngircd && echo "- ngIRCd $(dpkg-query -W -f='${Version}' ngircd 2>/dev/null || echo '?') (Debian package, single-threaded event loop)."
        echo
        echo "## Generator settings"
        echo
        cat "$SETTINGS"
        echo
        echo "## Results"
        echo
        cat "$TABLE"
        echo
        echo "Goals met: $(grep -c '^pass' "$GOALS") of $(wc -l <"$GOALS")."
        echo
        echo "![delivered lines/s against clients](bench/fanout.png)"
        echo
        if [ -s "$PLAYERS_MD" ]; then cat "$PLAYERS_MD"; echo; fi
        echo "## Reproduce"
        echo
        echo '```'
        echo "bash bench/compare.sh"
        echo '```'
        echo
        echo "As root (it installs inspircd and gnuplot-nox when missing, and runs in a network"
        echo "namespace of its own when another program holds port 6667); about 10 minutes after"
        echo "the build."
        echo "\`bash bench/compare.sh --smoke\` runs small sizes against this server alone (CI)."
        if [ -f "$ROOT/bench/NOTES.md" ]; then echo; cat "$ROOT/bench/NOTES.md"; fi
    } >"$ROOT/BENCHMARKS.md"
    cp "$RESULTS" "$ROOT/bench/last-results.txt"
    log "wrote BENCHMARKS.md, bench/fanout.png and bench/last-results.txt"
fi

if [ "$FAILED" -gt 0 ]; then
    log "$FAILED run(s) did not complete"
    [ "$SMOKE" = 1 ] && exit 1
fi
exit 0
