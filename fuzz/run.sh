#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer in build-fuzz and runs each for a
# bounded time (default 20 s) on a copy of its seed corpus in fuzz/corpus, so the
# committed corpus never grows. Prints each run's executions and fails on any
# crash, sanitizer report or broken invariant; the input that triggered it is
# kept in build-fuzz/artifacts/.
#
#   fuzz/run.sh [SECONDS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"

seconds=${1:-20}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [SECONDS]  (a positive whole number of seconds per target)" >&2
    exit 2
fi

ensure_packages cmake make clang libclang-rt-14-dev

build="$ROOT/build-fuzz"
CXX=clang++ cmake -S "$ROOT" -B "$build" -DQRNGD_FUZZ=ON -DQRNGD_TESTS=OFF -DQRNGD_WERROR=ON >/dev/null
cmake --build "$build" -j 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

status=0
for target in options simconfig; do
    corpus="$work/$target"
    cp -r "$ROOT/fuzz/corpus/$target" "$corpus"
    log="$work/$target.log"
    echo "-- fuzz_$target: $seconds s"
    if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -artifact_prefix="$build/artifacts/fuzz_$target-" "$corpus" >"$log" 2>&1; then
        grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" || { tail -n 20 "$log"; status=1; }
    else
        tail -n 60 "$log"
        echo "fuzz_$target FAILED; the input is in $build/artifacts/" >&2
        status=1
    fi
done
exit $status
