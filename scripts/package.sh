#!/usr/bin/env bash
# Builds the Debian package build/package/velquorn-dns_VERSION_ARCH.deb from the sources (installs the compiler,
# CMake and dpkg-dev when missing). Install it with: sudo apt install ./build/package/velquorn-dns_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-packages.sh" g++ cmake make dpkg-dev file
build=$root/build/package
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
ls "$build"/velquorn-dns_*.deb
