# Shared by bench/run, bench/stress, bench/soak and bench/memcheck: the Release
# build of the helpers, small calculators and starting and stopping the simulated
# daemon. Sourced, not run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$ROOT/scripts/common.sh"

B="$ROOT/build-bench"
CONSUMER="$B/bench/qrng-bench-consumer"
LOCATE="$B/bench/qrng-bench-locate"
WRITER="$B/bench/qrng-bench-writer"
HEALTH="$B/bench/qrng-bench-health"
VERIFY="$B/qrng-verify"
# The daemon measured: build-bench's, or the one in BENCH_BUILD (another build
# directory, for instance of an older commit); the helpers always come from build-bench.
SIM="${BENCH_BUILD:-$B}/qrngd-sim"

# bench_build TARGET...: configures build-bench (Release) and builds the targets.
bench_build() {
    ensure_packages "${BUILD_PACKAGES[@]}"
    echo "Building (Release) in $B ..."
    cmake -S "$ROOT" -B "$B" -DCMAKE_BUILD_TYPE=Release -DQRNGD_WERROR=ON -DQRNGD_TESTS=OFF >/dev/null
    cmake --build "$B" -j 2 --target "$@" >/dev/null
}

# ref_build COMMIT: builds the qrngd-sim of another commit of this repository,
# Release with the same flags, from its sources (git archive) in
# $B/ref-<short hash>/src into $B/ref-<short hash>/build; sets REF_SIM to it and
# REF_COMMIT to the short hash. The sources are unpacked once per commit.
ref_build() {
    local full dir tmp
    full=$(git -C "$ROOT" rev-parse --verify --quiet "$1^{commit}") ||
        { echo "no commit '$1' in $ROOT" >&2; exit 2; }
    REF_COMMIT=$(git -C "$ROOT" rev-parse --short "$full")
    dir="$B/ref-$REF_COMMIT"
    if [ ! -f "$dir/src/CMakeLists.txt" ]; then
        echo "Unpacking $REF_COMMIT into $dir/src ..."
        rm -rf "$dir"
        tmp="$dir/src.tmp"
        mkdir -p "$tmp"
        git -C "$ROOT" archive "$full" | tar -x -C "$tmp"
        mv "$tmp" "$dir/src"
    fi
    echo "Building (Release) the reference $REF_COMMIT in $dir/build ..."
    cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DQRNGD_WERROR=ON -DQRNGD_TESTS=OFF >/dev/null
    cmake --build "$dir/build" -j 2 --target qrngd-sim >/dev/null
    REF_SIM="$dir/build/qrngd-sim"
}

# work_dir NAME: sets W to a fresh, empty $B/NAME.
work_dir() {
    W="$B/$1"
    rm -rf "$W"
    mkdir -p "$W"
}

# get KEY FILE: the value of the last key=value line for KEY, or nothing.
get() { [ -f "$2" ] && sed -n "s/^$1=//p" "$2" | tail -n 1; return 0; }
# calc 'AWK STATEMENTS': evaluates them (printf, print, exit) in awk.
calc() { awk "BEGIN { $1 }"; }
# fmt FORMAT VALUE: VALUE formatted, or "-" when it is empty.
fmt() { if [ -n "$2" ]; then calc "printf \"$1\", $2"; else printf -- -; fi; }
seed() { echo $((RANDOM * 32768 + RANDOM)); }

# start_daemon [--trace] CONFIG ARGS...: starts $SIM on a simulated board
# configured by CONFIG (QRNG_SIM), streaming into $FIFO with ARGS, logging at
# -v 3 into $LOG; its board counters go to $STATS when it exits, and with
# --trace every device access into $TRACE. Sets RUN, DPID, FIFO, LOG, STATS, TRACE.
# BENCH_FIFO, when set, is the FIFO of every run (a FIFO that outlives the daemon).
RUN=0
DPID=
PIDS=()
start_daemon() {
    local trace=
    if [ "$1" = --trace ]; then
        trace=1
        shift
    fi
    local config=$1
    shift
    RUN=$((RUN + 1))
    FIFO="${BENCH_FIFO:-$W/run$RUN.fifo}"
    LOG="$W/run$RUN.log"
    STATS="$W/run$RUN.stats"
    TRACE="$W/run$RUN.trace"
    rm -f "$STATS"
    if [ -n "$trace" ]; then
        : >"$TRACE"
        QRNG_SIM="$config" QRNG_SIM_TRACE="$TRACE" QRNG_SIM_STATS="$STATS" \
            stdbuf -oL "$SIM" -s -v 3 -x "bench-$$-$RUN" -p "$FIFO" "$@" >"$LOG" 2>&1 &
    else
        QRNG_SIM="$config" QRNG_SIM_STATS="$STATS" \
            stdbuf -oL "$SIM" -s -v 3 -x "bench-$$-$RUN" -p "$FIFO" "$@" >"$LOG" 2>&1 &
    fi
    DPID=$!
    PIDS+=("$DPID")
}

# wait_streaming: waits until the daemon's monitor has logged its first pass (at
# most 60 s).
wait_streaming() {
    local i
    for i in $(seq 1200); do
        grep -q 'Cycle:' "$LOG" && return 0
        kill -0 "$DPID" 2>/dev/null || break
        sleep 0.05
    done
    echo "run $RUN: the daemon never started streaming; log:" >&2
    cat "$LOG" >&2
    exit 1
}

# stop_pid PID: SIGTERM, then waits for it at most 30 s (SIGKILL after that); sets
# STATUS to its exit status.
stop_pid() {
    local i
    kill -TERM "$1" 2>/dev/null || true
    for i in $(seq 300); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null || true
    set +e
    wait "$1" 2>/dev/null
    STATUS=$?
    set -e
}

# stop_daemon: stops the daemon of the last start_daemon; sets DSTATUS.
stop_daemon() {
    stop_pid "$DPID"
    DSTATUS=$STATUS
    rm -f "/var/lock/qrng_bench-$$-$RUN.lock"
}

# stop_all: for an EXIT trap: stops whatever was started here and is still running.
stop_all() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    rm -f /var/lock/qrng_bench-$$-*.lock
}
