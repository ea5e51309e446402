# The end-to-end scripts' kit, sourced by them (bash): a scratch folder, the headless program
# started from another folder with its output captured, chat clients on file descriptors,
# and a clean-up that kills whatever is left. A script sets `binary` before sourcing.
#   start_program      copies $binary into $dir (once) and starts it headless; sets pid
#   wait_port PORT     until something listens there (fails when the program ends first)
#   open_client FD     a chat connection to port 6667 on descriptor FD
#   expect_line FD T   reads lines from FD until one equals T (CR stripped), 5 s at most
#   stop_program       SIGTERM, then waits up to 15 s; fails on another exit status than 0
#   http_get PORT PATH the response (head and body) of a GET on 127.0.0.1
dir=$(mktemp -d)
pid=""
e2e_cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    for fd in 3 4 5; do eval "exec $fd>&-" 2>/dev/null; done
    rm -rf "$dir"
}
trap e2e_cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- program output:"; cat "$dir/out.txt" 2>/dev/null; exit 1; }

start_program() {
    [ -x "$dir/quarn-lobby-server" ] || cp "$binary" "$dir/quarn-lobby-server"
    # Started from another folder: its files must land beside the executable.
    (cd / && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        "$dir/quarn-lobby-server" >>"$dir/out.txt" 2>>"$dir/err.txt") &
    pid=$!
}

wait_port() {
    for _ in $(seq 1 100); do
        if (exec 9<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        kill -0 "$pid" 2>/dev/null || fail "the program ended at start"
        sleep 0.1
    done
    fail "no listener on port $1"
}

open_client() {
    eval "exec $1<>/dev/tcp/127.0.0.1/6667" || fail "cannot connect to port 6667"
}

expect_line() {
    local line
    while IFS= read -r -t 5 line <&"$1"; do
        line=${line%$'\r'}
        [ "$line" = "$2" ] && return 0
    done
    fail "did not receive: $2"
}

stop_program() {
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 1 150); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "still running 15 s after SIGTERM"
    wait "$pid"
    local status=$?
    pid=""
    [ "$status" -eq 0 ] || fail "exit status $status"
}

http_get() {
    exec 5<>"/dev/tcp/127.0.0.1/$1" || fail "cannot connect to port $1"
    printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&5
    timeout 5 cat <&5
    exec 5>&-
}
