#!/bin/sh
# Compares the Quarn lobby server with InspIRCd and ngIRCd on loopback, using the
# project's own load generator (quarn-loadgen), and writes BENCHMARKS.md and
# bench/fanout.png.
#
#   bash bench/compare.sh            full comparison (about half an hour; root for apt-get)
#   bash bench/compare.sh --smoke    small sizes, this server only, no peers, no timing goals
#
# Options: --runs N (default 3), --servers "quarn inspircd ngircd", --no-write (do not
# touch BENCHMARKS.md), --keep (keep the temporary folder).
# Environment: BENCH_BURSTS ("N:S:M ..."), BENCH_REGS, BENCH_IDLE_N, BENCH_IDLE_HOLD and
# BENCH_REG_TIMEOUT change the sizes (for development); QUARN_SERVER=/path/to/binary (a quarn-lobby-server or quarn-core-server to
# use instead of the one found in the build folders), QUARN_BENCH_BUILD (build folder,
# default build-bench).
#
# Servers are started one at a time on their own port and stopped by process id. Server
# CPU and memory come from /proc/PID/stat and /proc/PID/status, sampled by the generator at
# the edges of each measured window; the generator's own CPU use is printed beside every
# figure. Every figure is the median of the runs.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SMOKE=0
RUNS=3
SERVERS="quarn inspircd ngircd"
WRITE=1
KEEP=0
while [ $# -gt 0 ]; do
    case "$1" in
        --smoke) SMOKE=1 ;;
        --runs) RUNS=$2; shift ;;
        --servers) SERVERS=$2; shift ;;
        --no-write) WRITE=0 ;;
        --keep) KEEP=1 ;;
        *) echo "usage: $0 [--smoke] [--runs N] [--servers LIST] [--no-write] [--keep]" >&2; exit 2 ;;
    esac
    shift
done
if [ "$SMOKE" = 1 ]; then SERVERS="quarn"; RUNS=1; WRITE=0; fi

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
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------------------------------
# Build the generator and the core runner; find the console program if it is built.
BUILD=${QUARN_BENCH_BUILD:-}
if [ -z "$BUILD" ]; then
    if [ "$SMOKE" = 1 ] && [ -x "$ROOT/build/bench/quarn-loadgen" ] &&
        [ -x "$ROOT/build/bench/quarn-core-server" ]; then
        BUILD="$ROOT/build"  # CI has just built everything there
    else
        BUILD="$ROOT/build-bench"
    fi
fi
if [ "$BUILD" = "$ROOT/build-bench" ] || [ ! -x "$BUILD/bench/quarn-loadgen" ]; then
    log "building quarn-loadgen and quarn-core-server in $BUILD"
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" -DQUARN_CONSOLE=OFF -DQUARN_TESTS=OFF \
            -DCMAKE_BUILD_TYPE=Release >"$WORK/cmake.log" 2>&1 ||
            { cat "$WORK/cmake.log" >&2; exit 1; }
    fi
    cmake --build "$BUILD" -j2 --target quarn-loadgen quarn-core-server >"$WORK/build.log" 2>&1 ||
        { tail -40 "$WORK/build.log" >&2; exit 1; }
fi
LOADGEN="$BUILD/bench/quarn-loadgen"
CORE="$BUILD/bench/quarn-core-server"

OURS="${QUARN_SERVER:-}"
if [ -z "$OURS" ]; then
    for cand in "$ROOT/build-bench-console/console/quarn-lobby-server" \
        "$ROOT/build/console/quarn-lobby-server" "$ROOT/build-console/console/quarn-lobby-server"; do
        if [ -x "$cand" ]; then OURS=$cand; break; fi
    done
fi
port_free() { ! ss -Hltn "sport = :$1" 2>/dev/null | grep -q LISTEN; }
if [ -n "$OURS" ] && [ "$(basename "$OURS")" = quarn-lobby-server ] && ! port_free 6667; then
    log "port 6667 is taken: using the core runner instead of $OURS"
    OURS=""
fi
[ -n "$OURS" ] || OURS=$CORE
OURS_KIND=$(basename "$OURS")
log "this server: $OURS"

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
    case " $SERVERS " in *" inspircd "*) pk="$pk inspircd" ;; esac
    case " $SERVERS " in *" ngircd "*) pk="$pk ngircd" ;; esac
    need_pkgs $pk gnuplot-nox
fi

INSP_PORT=16667
NG_PORT=16668
CORE_PORT=16669

write_inspircd_conf() {
    cat >"$WORK/inspircd.conf" <<EOF
<server name="bench.inspircd" description="bench" network="bench">
<admin name="bench" nick="bench" email="bench@localhost">
<bind address="127.0.0.1" port="$INSP_PORT" type="clients">
<connect name="bench" allow="*" localmax="0" globalmax="0" limit="0" maxconnwarn="off"
  threshold="4000000" commandrate="4294967295" fakelag="no"
  recvq="1073741824" softsendq="1073741824" hardsendq="1073741824"
  pingfreq="86400" timeout="86400" resolvehostnames="no" useident="no" maxchans="100">
<performance netbuffersize="65534" somaxconn="4096" softlimit="19500" clonesonconnect="no"
  quietbursts="yes">
<execfiles motd="echo Welcome to the benchmark.">
<options defaultmodes="nt">
<limits maxnick="30" maxchan="64">
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
# start_server NAME sets SPID, SPORT, SMODE, SINFLIGHT, SLOG.
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
                rm -rf "$WORK/lobby"; mkdir -p "$WORK/lobby"
                cp "$OURS" "$WORK/lobby/"
                (cd "$WORK/lobby" && exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
                    ./quarn-lobby-server) >"$SLOG" 2>&1 &
                SPID=$!; SPORT=6667
            else
                "$OURS" "$CORE_PORT" $extra >"$SLOG" 2>&1 &
                SPID=$!; SPORT=$CORE_PORT
            fi ;;
    esac
    wait_listen "$SPORT"
    sleep 0.3
}
stop_server() {
    [ -n "$SPID" ] || return 0
    kill -TERM "$SPID" 2>/dev/null || true
    local i
    for i in $(seq 1 100); do
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
RESULTS="$WORK/results.txt"
: >"$RESULTS"
FAILED=0
# run_gen SERVER CELL ARGS...: one generator run; its result line is stored under CELL.
run_gen() {
    local server=$1 cell=$2; shift 2
    local line
    line=$("$LOADGEN" --port "$SPORT" --mode "$SMODE" --inflight "$SINFLIGHT" \
        --server-pid "$SPID" "$@" 2>>"$WORK/loadgen.err" | grep '^result ' | tail -1) || true
    [ -n "$line" ] || line="result ok=0 error=\"no result\""
    echo "$server $cell $line" >>"$RESULTS"
    log "$server $cell: $(echo "$line" | cut -c8-260)"
    case "$line" in *" ok=1 "*) return 0 ;; *) FAILED=$((FAILED + 1)); return 1 ;; esac
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

if [ "$SMOKE" = 1 ]; then
    BURSTS="50:2:50"
    PACED_RATE=5000
    REGS="100"
    IDLE_N=200; IDLE_HOLD=2
else
    BURSTS="200:1:2000 500:4:500 1000:1:200"
    PACED_RATE=50000
    REGS="2000"
    IDLE_N=10000; IDLE_HOLD=35
fi
REG_TIMEOUT=${BENCH_REG_TIMEOUT:-150}
# Development overrides of the sizes.
BURSTS=${BENCH_BURSTS:-$BURSTS}
REGS=${BENCH_REGS:-$REGS}
IDLE_N=${BENCH_IDLE_N:-$IDLE_N}
IDLE_HOLD=${BENCH_IDLE_HOLD:-$IDLE_HOLD}

SWEEP_LOG=""
for server in $SERVERS; do
    log "== $server"
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        start_server "$server"
        for r in $(seq 1 "$RUNS"); do
            wait_idle
            run_gen "$server" "burst-$n-$s-$m" --scenario burst --clients "$n" --senders "$s" \
                --lines "$m" --timeout 120 || true
        done
        for r in $(seq 1 "$RUNS"); do
            wait_idle
            run_gen "$server" "paced-$n-$s-$m" --scenario paced --clients "$n" --senders "$s" \
                --lines "$m" --rate "$PACED_RATE" --timeout 120 || true
        done
        stop_server
    done
    # Registration; the largest size doubles as the idle and memory measurement. The
    # server is restarted before every run so that each measures a fresh heap.
    for n in $REGS $IDLE_N; do
        hold=0; cell="register-$n"
        [ "$n" = "$IDLE_N" ] && hold=$IDLE_HOLD
        for r in $(seq 1 "$RUNS"); do
            start_server "$server"
            ok=1
            run_gen "$server" "$cell" --scenario register --clients "$n" --hold "$hold" \
                --timeout "$REG_TIMEOUT" || ok=0
            if [ "$server" = quarn ] && [ "$OURS_KIND" = quarn-core-server ]; then
                kill -USR1 "$SPID" 2>/dev/null || true; sleep 0.3
                cat "$SLOG" >>"$WORK/sweep.log"
                SWEEP_LOG="$WORK/sweep.log"
            fi
            stop_server
            # A run that did not finish in time is not repeated.
            [ "$ok" = 1 ] || break
        done
    done
done

# The console program keeps its sweep figure to itself: measure the sweep on the core
# runner with 10,000 idle connections and a short sweep period.
if [ "$SMOKE" = 0 ] && [ -z "$SWEEP_LOG" ] && case " $SERVERS " in *" quarn "*) true ;; *) false ;; esac; then
    log "== sweep with $IDLE_N idle connections on the core runner"
    SAVED_OURS=$OURS; SAVED_KIND=$OURS_KIND; OURS=$CORE; OURS_KIND=quarn-core-server
    start_server quarn "--sweep-ms 5000"
    run_gen quarn-core sweep --scenario register --clients "$IDLE_N" --hold 12 \
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
# The table.
TABLE="$WORK/table.md"
has() { case " $SERVERS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
fmt() { # fmt VALUE KIND
    [ -n "$1" ] || { echo "n/a"; return; }
    case "$2" in
        rate) awk -v v="$1" 'BEGIN { if (v >= 1e6) printf "%.2f M", v / 1e6; else if (v >= 1e4) printf "%.0f k", v / 1e3; else printf "%.0f", v }' ;;
        ms) awk -v v="$1" 'BEGIN { printf "%.2f ms", v / 1000 }' ;;
        s) awk -v v="$1" 'BEGIN { printf "%.2f s", v }' ;;
        kib) awk -v v="$1" 'BEGIN { printf "%.1f KiB", v / 1024 }' ;;
        pct) awk -v v="$1" 'BEGIN { printf "%.2f %%", v * 100 }' ;;
        *) echo "$1" ;;
    esac
}
ratio() { # ratio OURS PEER
    [ -n "$1" ] && [ -n "$2" ] || { echo "n/a"; return; }
    awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }'
}
gen() { # gen SERVER CELL: the generator's CPU beside a figure
    local g
    g=$(value "$1" "$2" gen_cpu)
    [ -n "$g" ] && echo " (gen $(awk -v v="$g" 'BEGIN { printf "%.2f", v }'))"
}
cell_text() { # cell_text SERVER CELL KEY KIND [nogen]
    local v
    v=$(value "$1" "$2" "$3")
    if [ -z "$v" ]; then echo "n/a"; return; fi
    local ok; ok=$(okruns "$1" "$2")
    local t; t=$(fmt "$v" "$4")
    [ "$ok" -gt 0 ] || t="$t (incomplete)"
    [ "${5:-}" = nogen ] || t="$t$(gen "$1" "$2")"
    echo "$t"
}
verdict() { # verdict OURS PEER OP FACTOR: OP ge (ours >= factor*peer) or le (ours <= peer)
    [ -n "$1" ] && [ -n "$2" ] || { echo "not measured"; return; }
    awk -v a="$1" -v b="$2" -v op="$3" -v f="${4:-1}" 'BEGIN {
        if (op == "ge") print (a >= f * b) ? "met" : "missed"; else print (a <= f * b) ? "met" : "missed" }'
}
{
    echo "| Scenario | Figure | Quarn | InspIRCd | ngIRCd | Quarn / InspIRCd | Quarn / ngIRCd | Goal | Met |"
    echo "|---|---|---|---|---|---|---|---|---|"
    row() { # row SCEN FIGURE CELL KEY KIND GOALTEXT OP FACTOR [nogen]
        local q i n
        q=$(value quarn "$3" "$4"); i=$(value inspircd "$3" "$4"); n=$(value ngircd "$3" "$4")
        local v="—"
        if [ -n "$7" ] && has inspircd; then v=$(verdict "$q" "$i" "$7" "$8"); fi
        [ -n "$7" ] || v="—"
        echo "| $1 | $2 | $(cell_text quarn "$3" "$4" "$5" ${9:-}) | $(has inspircd && cell_text inspircd "$3" "$4" "$5" ${9:-} || echo —) | $(has ngircd && cell_text ngircd "$3" "$4" "$5" ${9:-} || echo —) | $(ratio "$q" "$i") | $(ratio "$q" "$n") | $6 | $v |"
    }
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        row "burst $n/$s/$m" "delivered lines/s" "burst-$n-$s-$m" lines_per_s rate ">= InspIRCd" ge 1
        row "burst $n/$s/$m" "server CPU µs per line" "burst-$n-$s-$m" server_us_per_line "" "" "" "" nogen
    done
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        row "paced $n/$s/$m" "p50 latency" "paced-$n-$s-$m" p50_us ms "" "" ""
        row "paced $n/$s/$m" "p99 latency" "paced-$n-$s-$m" p99_us ms "<= InspIRCd" le 1
        row "paced $n/$s/$m" "max latency" "paced-$n-$s-$m" max_us ms "" "" ""
        row "paced $n/$s/$m" "delivered lines/s" "paced-$n-$s-$m" lines_per_s rate "" "" ""
    done
    for n in $REGS $IDLE_N; do
        row "register $n" "connections/s (joined)" "register-$n" conn_per_s rate ">= 2x InspIRCd" ge 2 nogen
        row "register $n" "time until all joined" "register-$n" joined_s s "" "" "" nogen
    done
    q=$(value quarn "register-$IDLE_N" rss_per_conn_b)
    echo "| idle $IDLE_N | resident memory per connection | $(cell_text quarn "register-$IDLE_N" rss_per_conn_b kib nogen) | $(has inspircd && cell_text inspircd "register-$IDLE_N" rss_per_conn_b kib nogen || echo —) | $(has ngircd && cell_text ngircd "register-$IDLE_N" rss_per_conn_b kib nogen || echo —) | $(ratio "$q" "$(value inspircd "register-$IDLE_N" rss_per_conn_b)") | $(ratio "$q" "$(value ngircd "register-$IDLE_N" rss_per_conn_b)") | <= 16 KiB | $(verdict "$q" 16384 le 1) |"
    q=$(value quarn "register-$IDLE_N" idle_cpu)
    echo "| idle $IDLE_N | server CPU, share of one core | $(cell_text quarn "register-$IDLE_N" idle_cpu pct nogen) | $(has inspircd && cell_text inspircd "register-$IDLE_N" idle_cpu pct nogen || echo —) | $(has ngircd && cell_text ngircd "register-$IDLE_N" idle_cpu pct nogen || echo —) | — | — | < 1 % | $(verdict "$q" 0.01 le 1) |"
    echo "| idle $IDLE_N | longest sweep lock hold | ${SWEEP_MS:-n/a}${SWEEP_MS:+ ms} | — | — | — | — | <= 5 ms | $(verdict "$SWEEP_MS" 5 le 1) |"
    echo "| register $IDLE_N | longest sweep lock hold during the storm | ${SWEEP_STORM_MS:-n/a}${SWEEP_STORM_MS:+ ms} | — | — | — | — | — | — |"
} >"$TABLE"

echo
echo "Quarn: $OURS_KIND; runs per figure: $RUNS (median); (gen X) = load generator CPU in cores"
cat "$TABLE"
echo

# ---------------------------------------------------------------------------------------
# Plot and BENCHMARKS.md.
if [ "$WRITE" = 1 ]; then
    DAT="$WORK/fanout.dat"
    : >"$DAT"
    for size in $BURSTS; do
        IFS=: read -r n s m <<<"$size"
        echo "$n \"$n/$s/$m\" $(value quarn "burst-$n-$s-$m" lines_per_s || true) $(value inspircd "burst-$n-$s-$m" lines_per_s || true) $(value ngircd "burst-$n-$s-$m" lines_per_s || true)" >>"$DAT"
    done
    sed -i 's/  */ /g; s/ $//' "$DAT"
    awk 'NF < 5 { for (i = NF + 1; i <= 5; i++) $i = "NaN" } { print }' "$DAT" >"$DAT.full"
    if command -v gnuplot >/dev/null; then
        gnuplot <<EOF || log "gnuplot failed"
set terminal pngcairo size 900,540 noenhanced
set output "$ROOT/bench/fanout.png"
set title "Fan-out bursts on loopback: delivered lines/s (median of $RUNS)"
set xlabel "clients in the channel (label: clients/senders/lines per sender)"
set ylabel "delivered lines per second"
set format y "%.1s %c"
set key top right
set grid
set xrange [0:1200]
set yrange [0:*]
plot "$DAT.full" using 1:3:xtic(2) with linespoints lw 2 pt 7 title "Quarn", \
     "" using 1:4 with linespoints lw 2 pt 5 title "InspIRCd 3.15", \
     "" using 1:5 with linespoints lw 2 pt 9 title "ngIRCd 26.1"
EOF
    fi
    {
        echo "# Benchmarks"
        echo
        echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bench/compare.sh\` on"
        echo "$(lscpu | awk -F: '/^Model name/ { gsub(/^ +/, "", $2); print $2 }'), $(nproc) cores, $(free -g | awk '/^Mem/ { print $2 }') GiB,"
        echo "\`$(uname -srmo)\`; the machine was shared with other work, so expect noise."
        echo
        echo "Servers: Quarn ($OURS_KIND, thread per connection), InspIRCd $(dpkg-query -W -f='${Version}' inspircd 2>/dev/null || echo '?')"
        echo "and ngIRCd $(dpkg-query -W -f='${Version}' ngircd 2>/dev/null || echo '?') (Debian packages, single-threaded event loops), each alone on loopback,"
        echo "configured without clone limits, flood penalties, DNS or ident. Load: \`quarn-loadgen\`"
        echo "(one epoll thread) with every client in the channel #bench, spread over loopback source"
        echo "addresses 127.1.x.y, 16 clients each. Figures are medians of $RUNS runs; \"(gen X)\" is the"
        echo "generator's own CPU use in cores during the measurement, which shares the 2 cores."
        echo
        echo "- burst N/S/M: N clients, S of them send M lines each as fast as their sockets take"
        echo "  them; delivered lines/s counted at the receivers, server CPU per delivered line."
        echo "- paced N/S/M: the same sizes spread out to about $PACED_RATE delivered lines/s;"
        echo "  latency from the send timestamp carried in each line."
        echo "- register N: N clients connect, register and join (at most 256 at a time not yet"
        echo "  registered for Quarn, 2000 for InspIRCd, whose registrations complete on a 1 s timer,"
        echo "  10 for ngIRCd, whose listen backlog is 10); connections per second until all joined."
        echo "- idle $IDLE_N: after the $IDLE_N-client registration the clients stay idle for $IDLE_HOLD s; resident"
        echo "  memory growth per connection and server CPU over that time (servers restarted before"
        echo "  every run). The sweep figures are TNetIRCServer::LastSweepLockTime() on the core"
        echo "  runner sweeping every 5 s: the last two sweeps of the idle hold, and every sweep."
        echo
        cat "$TABLE"
        echo
        echo "![delivered lines/s against clients](bench/fanout.png)"
        echo
        echo "## Reproduce"
        echo
        echo '```'
        echo "bash bench/compare.sh"
        echo '```'
        echo
        echo "As root (it installs inspircd, ngircd and gnuplot-nox when missing); about half an hour."
        echo "\`bash bench/compare.sh --smoke\` runs small sizes against this server alone (CI)."
        if [ -f "$ROOT/bench/NOTES.md" ]; then echo; cat "$ROOT/bench/NOTES.md"; fi
    } >"$ROOT/BENCHMARKS.md"
    log "wrote BENCHMARKS.md and bench/fanout.png"
fi
[ "$WRITE" = 0 ] || cp "$RESULTS" "$ROOT/bench/last-results.txt"

if [ "$FAILED" -gt 0 ]; then
    log "$FAILED run(s) did not complete"
    [ "$SMOKE" = 1 ] && exit 1
fi
exit 0
