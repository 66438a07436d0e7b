#!/usr/bin/env bash
# Installs the build under a temporary prefix and checks the unit template there
# with systemd-analyze verify; its ExecStart names the daemon installed there.
# Usage: unit_verify.sh BUILD_DIR
set -euo pipefail
build=$1
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze not installed (Debian package systemd)"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/root" >/dev/null
unitdir="$tmp/root/lib/systemd/system"
# An instance for the board xdma0.
cp "$unitdir/qrngd@.service" "$unitdir/qrngd@xdma0.service"
set +e
out=$(cd "$unitdir" && SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$unitdir/qrngd@xdma0.service" 2>&1)
status=$?
set -e
echo "systemd-analyze verify qrngd@xdma0.service: status $status"
[ -n "$out" ] && echo "$out"
[ $status -eq 0 ] || exit 1
# Any complaint about the unit itself is a failure; messages about other units
# of the machine it runs on are not.
if grep -q 'qrngd@' <<<"$out"; then
    echo "FAIL: systemd-analyze complains about the unit" >&2
    exit 1
fi
