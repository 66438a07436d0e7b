#!/usr/bin/env bash
# Builds qrngd and shows it at work. There is no board on this machine, so the
# daemon runs against the simulated board (qrngd-sim): it streams into a FIFO
# under build/, a consumer reads from it, and the capture is checked against the
# simulated board's known content (qrng-verify) and with FIPS 140-2 tests (rngtest).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" rng-tools5
build_tree build >/dev/null
echo "Built $ROOT/build/qrngd (production) and $ROOT/build/qrngd-sim (simulated board)."

MIB=${QRNGD_DEMO_MIB:-256}
SEED=${QRNGD_DEMO_SEED:-$RANDOM$RANDOM}
WORK="$ROOT/build/demo"
FIFO="$WORK/qrandom"
PREFIX="qrngd-demo-$$"
mkdir -p "$WORK"
rm -f "$WORK/capture.bin" "$WORK/daemon.log"

# The simulated M.2 module with 4 chips generating 64 MiB/s; the daemon delivers
# only fresh data (-r) and logs to standard output (-s -v 3).
export QRNG_SIM="board=m2,rate=64,seed=$SEED"
"$ROOT/build/qrngd-sim" -s -v 3 -r -x "$PREFIX" -p "$FIFO" >"$WORK/daemon.log" 2>&1 &
DAEMON=$!
trap 'kill $DAEMON 2>/dev/null || true' EXIT
echo "Started qrngd-sim (pid $DAEMON) with $QRNG_SIM, streaming into $FIFO."

for _ in $(seq 100); do [ -p "$FIFO" ] && break; sleep 0.1; done
echo "Reading $MIB MiB from the FIFO..."
start=$(date +%s.%N)
head -c "${MIB}M" "$FIFO" >"$WORK/capture.bin"
end=$(date +%s.%N)
got=$(stat -c %s "$WORK/capture.bin")

# The README's recipe for the kernel's random pool: 64 bytes mixed into it.
if timeout 10 dd if="$FIFO" of=/dev/urandom bs=64 count=1 iflag=fullblock status=none; then
    mixed="64 bytes from the FIFO mixed into the kernel's random pool (dd into /dev/urandom)"
else
    mixed="mixing 64 bytes into the kernel's random pool failed (dd status $?)"
fi

kill -TERM $DAEMON
set +e
wait $DAEMON
status=$?
set -e
trap - EXIT

echo
echo "Daemon log (first and last lines):"
head -n 4 "$WORK/daemon.log" | sed 's/^/  /'
echo "  ..."
tail -n 3 "$WORK/daemon.log" | sed 's/^/  /'
echo
awk -v b="$got" -v s="$start" -v e="$end" \
    'BEGIN { printf "Delivered %.1f MiB in %.2f s (%.1f MiB/s, including the board'"'"'s warm-up)\n", b/1048576, e-s, b/1048576/(e-s) }'

echo
echo "qrng-verify (every word against the simulated board's content):"
if "$ROOT/build/qrng-verify" --seed "$SEED" <"$WORK/capture.bin" | sed 's/^/  /'; then
    verdict_verify=PASS
else
    verdict_verify=FAIL
fi

echo
echo "rngtest (FIPS 140-2) over the first 50 MB:"
head -c 50000000 "$WORK/capture.bin" | rngtest 2>&1 | grep -E 'successes|failures:|FIPS 140-2\(' | sed 's/^/  /' || true

echo
echo "$mixed"
echo "qrng-verify: $verdict_verify"
echo "qrngd-sim exit status after SIGTERM: $status"
rm -f "$WORK/capture.bin" "/var/lock/qrng_$PREFIX.lock"
[ "$verdict_verify" = PASS ] && [ "$status" -eq 0 ]
