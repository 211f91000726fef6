#!/usr/bin/env bash
# The test command: installs what is missing, builds from nothing (once plain, once with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
status=0
for kind in release asan; do
    dir=build/$kind
    if [ "$kind" = asan ]; then
        extra=(-DCMAKE_BUILD_TYPE=Debug -DFLEET_SANITIZE=ON -DFLEET_BENCH=OFF)
    else
        extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    fi
    cmake -S . -B "$dir" -G Ninja "${extra[@]}"
    cmake --build "$dir" -j "$jobs"
    echo "== tests: $kind build"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 || status=1
done
exit $status
