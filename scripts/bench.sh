#!/usr/bin/env bash
# Builds and runs the in-process benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-packages.sh" g++ cmake make libbenchmark-dev
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DDNS_TESTS=OFF -DDNS_BENCHMARKS=ON >/dev/null
cmake --build "$root/build/bench" -j"$(nproc)" --target dns_bench >/dev/null
"$root/build/bench/dns_bench" "$@"
