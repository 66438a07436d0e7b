#!/usr/bin/env bash
# Installs the build under a temporary prefix and checks the units there with
# systemd-analyze verify, as instances for the board xdma0: the daemon's (its
# ExecStart names the daemon installed there), the socket holding its FIFO and
# the no-op service that socket starts.
# Usage: unit_verify.sh BUILD_DIR
set -euo pipefail
build=$1
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze not installed (Debian package systemd)"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/root" >/dev/null
unitdir="$tmp/root/lib/systemd/system"
units=()
for template in qrngd@.service qrngd-fifo@.socket qrngd-fifo@.service; do
    [ -f "$unitdir/$template" ] || { echo "FAIL: $template not installed" >&2; exit 1; }
    instance=${template/@/@xdma0}
    cp "$unitdir/$template" "$unitdir/$instance"
    units+=("$unitdir/$instance")
done
set +e
out=$(cd "$unitdir" && SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "${units[@]}" 2>&1)
status=$?
set -e
echo "systemd-analyze verify ${units[*]##*/}: status $status"
[ -n "$out" ] && echo "$out"
[ $status -eq 0 ] || exit 1
# Any complaint about the units themselves is a failure; messages about other
# units of the machine it runs on are not.
if grep -q 'qrngd' <<<"$out"; then
    echo "FAIL: systemd-analyze complains about the units" >&2
    exit 1
fi
