#!/usr/bin/env bash
# Builds qrngd and shows it at work. There is no board on this machine, so the
# daemon runs against the simulated board (qrngd-sim).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
build_tree build

echo
"$ROOT/build/qrngd" -h
