#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a while (not part of CI).
#   scripts/fuzz.sh [seconds per target, default 300]
# Corpora stay in build/fuzz/corpus/<target>; a crash leaves its input in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if ! command -v clang++ > /dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends clang
fi
seconds=${1:-300}
dir=build/fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DFLEET_FUZZ=ON -DFLEET_BENCH=OFF
cmake --build "$dir" --target TaskTextFuzz RpcFrameFuzz machined
mkdir -p "$dir/findings"
status=0
for target in TaskTextFuzz RpcFrameFuzz; do
    mkdir -p "$dir/corpus/$target"
    echo "== fuzz: $target for $seconds s"
    ASAN_OPTIONS=detect_leaks=1 "$dir/bin/$target" "$dir/corpus/$target" \
        -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$target-" || status=1
done
exit $status
