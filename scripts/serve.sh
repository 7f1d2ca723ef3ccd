#!/usr/bin/env bash
# Builds the server and starts it in the current directory; arguments go to the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-packages.sh" g++ cmake make
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DDNS_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" --target velquorn-dns >/dev/null
exec "$root/build/release/velquorn-dns" "$@"
