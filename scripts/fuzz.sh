#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each for
# SECONDS (default 30) from the seed corpus in fuzz/corpus. A crash fails the run with the reproducer's bytes.
# Usage: fuzz.sh [SECONDS] [TARGET...]   (targets: datagram stream file keeper editor keys)
set -euo pipefail
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(datagram stream file keeper editor keys)
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-packages.sh" clang libclang-rt-14-dev cmake make
build=$root/build/fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDNS_WERROR=ON -DDNS_FUZZ=ON \
    >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
status=0
for target in "${targets[@]}"; do
    work=$(mktemp -d)
    mkdir "$work/corpus" "$work/artifacts"
    cp "$root/fuzz/corpus/$target/"* "$work/corpus/"
    if "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
        echo "fuzz $target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$work/log")"
    else
        status=1
        echo "fuzz $target: FAILED"
        tail -n 40 "$work/log"
        for reproducer in "$work/artifacts/"*; do
            echo "reproducer $(basename "$reproducer"):"
            od -An -tx1 "$reproducer" | head -n 20
        done
    fi
    rm -rf "$work"
done
exit $status
