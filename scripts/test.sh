#!/usr/bin/env bash
# Builds qrngd with warnings as errors and runs the whole test suite: once in a
# plain build (with the installation and packaging tests), once built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}"

jobs=$(( $(nproc) * 2 ))

echo "== plain build =="
build_tree build
(cd "$ROOT/build" && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
build_tree build-asan -DQRNGD_SANITIZE=address -DQRNGD_PACKAGING_TESTS=OFF
(cd "$ROOT/build-asan" && \
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer build: the engine's threads, in process and end to end =="
build_tree build-tsan -DQRNGD_SANITIZE=thread -DQRNGD_PACKAGING_TESTS=OFF
(cd "$ROOT/build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs" -R 'EngineTest|EndToEnd')

# ---- Fuzzing (fuzz/): the option parser and the simulator's configuration parser ----
echo "== fuzzing =="
"$ROOT/fuzz/run.sh" 20
